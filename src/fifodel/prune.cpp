// Removes directories of the recording tree that are older than the oldest
// archived call. The tree's own year, month, day and hour names tell what is
// older, but names come from a recorder's clock: the database is asked
// whether a call not reclaimed yet still lives there, since its files must
// never go uncharged with the directory, and the tree itself whether
// anything there is still being written.
#include "prune.h"

#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <syslog.h>
#include <time.h>
#include <unistd.h>

#include "audit.h"
#include "faults.h"
#include "logging.h"
#include "paths.h"
#include "tree.h"

namespace {

struct Hour {
  int year, month, day, hour;
  long long Key() const {
    return ((year * 100LL + month) * 100 + day) * 100 + hour;
  }
};

// Parses "YYYY/MM/DD/HH"; false unless the form and every range are right.
bool ParseHourDirectory(const std::string& str, Hour* h) {
  static const char expectedFormat[] = "0000/00/00/00";
  if (str.size() != sizeof expectedFormat - 1) return false;
  for (size_t i = 0; i < str.size(); ++i) {
    bool ok = expectedFormat[i] == '0' ? (str[i] >= '0' && str[i] <= '9')
                                       : str[i] == '/';
    if (!ok) return false;
  }
  *h = {atoi(str.substr(0, 4).c_str()), atoi(str.substr(5, 2).c_str()),
        atoi(str.substr(8, 2).c_str()), atoi(str.substr(11, 2).c_str())};
  // Any day up to 31 is accepted, whatever the month.
  return h->year >= 2010 && h->month >= 1 && h->month <= 12 && h->day >= 1 &&
         h->day <= 31 && h->hour >= 0 && h->hour <= 23;
}

Hour HourOf(const struct tm& t) {
  return {t.tm_year + 1900, t.tm_mon + 1, t.tm_mday, t.tm_hour};
}

// The current hour in local time and in UTC: which of the two the recorder
// names its directories by is not known here.
struct Now {
  Hour local, utc;
};

Now CurrentHours() {
  time_t now = time(nullptr);
  struct tm local, utc;
  localtime_r(&now, &local);
  gmtime_r(&now, &utc);
  return {HourOf(local), HourOf(utc)};
}

// Later than the current hour in both: a clock an hour off must not stop
// pruning.
bool InTheFuture(const Hour& h, const Now& now) {
  return h.Key() > now.local.Key() && h.Key() > now.utc.Key();
}

// Whether the directory named by the first `level` + 1 of `at` (year,
// month, day, hour) ends before the earlier of the two current hours
// begins: the hour a recorder writes into, whichever way it names it and
// wherever its clock stepped back to, is never pruned.
bool WhollyBefore(const int at[4], int level, const Now& now) {
  const Hour& e = now.local.Key() < now.utc.Key() ? now.local : now.utc;
  const int earlier[] = {e.year, e.month, e.day, e.hour};
  for (int i = 0; i <= level; ++i)
    if (at[i] != earlier[i]) return at[i] < earlier[i];
  return false;
}

bool Stays(const PruneContext& ctx, const std::string& strPath,
           const std::string& strWhy) {
  ReportStuck(ctx.known, LOG_WARNING,
              {{StuckKey::kDirectory, 0, strPath}, strWhy}, &ctx.report->stuck,
              &ctx.report->llStuckMore);
  return false;
}

// False, having said why, while a call not yet reclaimed lives below
// `strRel`.
bool MayGo(const std::string& strPath, const std::string& strRel,
           const PruneContext& ctx) {
  long long llId = 0;
  FaultPoint("pending-question");
  int found = ctx.pending(strRel, &llId);
  if (found == 0) return true;
  return Stays(
      ctx, strPath,
      found > 0 ? "call " + std::to_string(llId) + " in it is not reclaimed yet"
                : "the database cannot tell what lives in it");
}

// False, having said why, while something below `strRel` was written within
// the last hour or is dated later: a recording in progress has no row yet,
// and a recorder whose clock stepped back may be writing into an hour that
// looks stale. A file copied in with old times still has a recent change
// time.
bool Quiet(const std::string& strPath, const std::string& strRel,
           const PruneContext& ctx) {
  RecentLook look =
      FindRecent(ctx.rootfd, RECORDINGS_DIR, strRel, time(nullptr) - 3600);
  if (!look.strRecent.empty())
    return Stays(ctx, strPath,
                 "it holds " + look.strRecent +
                     ", written within the last hour or dated later");
  return look.strCannot.empty() ||
         Stays(ctx, strPath, "cannot look at all it holds: " + look.strCannot);
}

// Removes `strRel`; true when it is gone.
bool Remove(const std::string& strPath, const std::string& strRel,
            const PruneContext& ctx) {
  WalkResult walk = RemoveTree(ctx.rootfd, RECORDINGS_DIR, strRel);
  for (const auto& [path, why] : walk.stays) Stays(ctx, path, why);
  if (!walk.fDone) {
    if (!walk.strLeftover.empty())
      Stays(ctx, strPath, walk.strLeftover + ": " + walk.strLeftoverWhy);
    return false;
  }
  StuckKey key{StuckKey::kDirectory, 0, strPath};
  if (ctx.known.Has(key)) ctx.report->loosened.push_back(key);
  AuditDirectory(ctx.report->llNumber, strPath);
  ++ctx.report->llDirsPruned;
  return true;
}

}  // namespace

bool deleteDirectory(std::string strDirectory, bool fSim,
                     const PruneContext& ctx) {
  const std::string strPrefix = RECORDINGS_DIR "/";
  if (strDirectory.compare(0, strPrefix.size(), strPrefix) != 0) return false;
  const std::string strRel = strDirectory.substr(strPrefix.size());
  size_t slash = strRel.rfind('/');
  int parentfd = OpenBeneath(
      ctx.rootfd, slash == std::string::npos ? "." : strRel.substr(0, slash),
      false);
  if (parentfd < 0)
    return (errno == ELOOP || errno == EXDEV) &&
           Stays(ctx, strDirectory, ResolveFailure(errno));
  struct stat st;
  bool fExists = fstatat(parentfd, strRel.c_str() + (slash + 1), &st,
                         AT_SYMLINK_NOFOLLOW) == 0;
  close(parentfd);
  if (!fExists || !MayGo(strDirectory, strRel, ctx) ||
      !Quiet(strDirectory, strRel, ctx))
    return false;
  lg(LOG_NOTICE, "FIFO delete directory: %s ", strDirectory.c_str());
  return fSim || Remove(strDirectory, strRel, ctx);
}

bool FifoOldestEntry(std::string strDirectory, bool fSim,
                     const PruneContext& ctx) {
  lg(LOG_NOTICE, "FIFO oldest entry in directory %s ",
     Printable(strDirectory).c_str());
  Hour h;
  if (!ParseHourDirectory(strDirectory, &h)) return false;
  const Now now = CurrentHours();
  if (InTheFuture(h, now)) {
    lg(LOG_ERR, "FIFO oldest entry %s lies in the future: nothing pruned",
       strDirectory.c_str());
    return false;
  }
  static const char* const kLevels[] = {
      RECORDINGS_DIR "/%04d", RECORDINGS_DIR "/%04d/%02d",
      RECORDINGS_DIR "/%04d/%02d/%02d", RECORDINGS_DIR "/%04d/%02d/%02d/%02d"};
  const int lowest[] = {2010, 1, 1, 0};
  bool toReturn = false;
  char buf[100];
  // Earlier years, then earlier months, days and hours of the call's year,
  // month and day; one that is missing does not stop the rest.
  for (int level = 0; level < 4; ++level) {
    int at[] = {h.year, h.month, h.day, h.hour};
    for (--at[level]; at[level] >= lowest[level]; --at[level]) {
      if (!WhollyBefore(at, level, now)) continue;
      snprintf(buf, sizeof buf, kLevels[level], at[0], at[1], at[2], at[3]);
      if (deleteDirectory(buf, fSim, ctx)) toReturn = true;
    }
  }
  return toReturn;
}
