// Times come back as Unix seconds: startdate has no time zone, and is read in
// the server's, as the recorders write it.
#include "survey.h"

#include <errno.h>
#include <fcntl.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>

#include "db.h"
#include "paths.h"
#include "tree.h"

namespace {

const char kEpoch[] = "extract(epoch FROM min(startdate)::timestamptz)::bigint";

// A bigint column, 0 for NULL (no such call).
long long Number(dbi_result result, unsigned idx) {
  return dbi_result_field_is_null_idx(result, idx)
             ? 0
             : dbi_result_get_longlong_idx(result, idx);
}

bool Figures(dbi_conn conn, Survey* s) {
  dbi_result result = DbQuery(conn, FiguresStatement());
  bool ok = result && dbi_result_next_row(result);
  if (ok) {
    s->llBacklog = Number(result, 1);
    s->tBacklogOldest = Number(result, 2);
    s->tOldestOnDisk = Number(result, 3);
  }
  if (result) dbi_result_free(result);
  return ok;
}

bool StuckCalls(dbi_conn conn, const std::vector<long long>& ids, Survey* s) {
  if (ids.empty()) return true;
  dbi_result result = DbQuery(conn, StuckCallsStatement(ids));
  while (result && dbi_result_next_row(result)) {
    const char* dir = dbi_result_get_string_idx(result, 2);
    const char* name = dbi_result_get_string_idx(result, 3);
    s->waiting[strtoll(dbi_result_get_string_idx(result, 1), nullptr, 10)] =
        std::string(dir ? dir : "") + "/" + (name ? name : "");
  }
  if (result) dbi_result_free(result);
  return result != nullptr;
}

// Only a name known to be missing is: a link, a mount or a way that cannot
// be resolved leaves the item where it is.
bool NameMissing(int rootfd, std::string rel) {
  rel.erase(0, rel.find_first_not_of('/'));
  size_t slash = rel.rfind('/');
  int fd = OpenBeneath(rootfd,
                       slash == std::string::npos ? "." : rel.substr(0, slash),
                       false, true);
  if (fd < 0) return errno == ENOENT;
  struct stat st;
  bool fGone =
      fstatat(fd, rel.c_str() + (slash + 1), &st, AT_SYMLINK_NOFOLLOW) != 0 &&
      errno == ENOENT;
  close(fd);
  return fGone;
}

}  // namespace

std::string FiguresStatement() {
  return std::string(
             "SELECT (SELECT count(*) FROM calls WHERE isarchived = 0 "
             "AND flags & 4 = 0), (SELECT ") +
         kEpoch +
         " FROM calls WHERE isarchived = 0 AND flags & 4 = 0), (SELECT " +
         kEpoch + " FROM calls WHERE isarchived = 1)";
}

std::string StuckCallsStatement(const std::vector<long long>& ids) {
  std::string list;
  for (long long id : ids)
    list += (list.empty() ? "" : ",") + std::to_string(id);
  return "SELECT id::text, directory, filename FROM calls WHERE id IN (" +
         list + ") AND isarchived = 1 AND flags & 4 = 0";
}

Survey TakeSurvey(const std::vector<long long>& stuckCalls) {
  Survey s;
  s.asked = stuckCalls;
  dbi_conn conn;
  if (getDbConnection(&conn) != 0) return s;
  if (Figures(conn, &s) && StuckCalls(conn, stuckCalls, &s)) s.fOk = true;
  dbi_conn_close(conn);
  if (!s.fOk) s = Survey{false, -1, 0, 0, {}, stuckCalls};
  return s;
}

bool Vanished(const StuckKey& key, const Survey& s, int rootfd) {
  std::string rel;
  if (key.kind == StuckKey::kCall) {
    if (std::find(s.asked.begin(), s.asked.end(), key.llCall) == s.asked.end())
      return false;  // met after the survey began
    auto it = s.waiting.find(key.llCall);
    if (it == s.waiting.end()) return true;
    rel = it->second;
  } else if (key.strPath.compare(0, sizeof RECORDINGS_DIR,
                                 RECORDINGS_DIR "/") == 0) {
    rel = key.strPath.substr(sizeof RECORDINGS_DIR);
  } else {
    return false;
  }
  return NameMissing(rootfd, rel);
}

void Surveyor::Ask(const std::vector<long long>& stuckCalls) {
  if (pending_.valid()) return;
  pending_ = thread_.Send([stuckCalls] { return TakeSurvey(stuckCalls); });
}

bool Surveyor::Await(double seconds) {
  return pending_.valid() &&
         pending_.wait_for(std::chrono::duration<double>(seconds)) ==
             std::future_status::ready;
}

std::optional<Survey> Surveyor::Take() {
  if (!pending_.valid() ||
      pending_.wait_for(std::chrono::seconds(0)) != std::future_status::ready)
    return std::nullopt;
  return pending_.get();
}
