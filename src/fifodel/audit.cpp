// The file is opened for each chunk's lines (or a pruned directory's),
// appended and closed: a rotated file is simply created anew. A crash
// between marking a chunk and this write loses that chunk's lines.
#include "audit.h"

#include <errno.h>
#include <fcntl.h>
#include <string.h>
#include <sys/stat.h>
#include <syslog.h>
#include <time.h>
#include <unistd.h>

#include "files.h"
#include "logging.h"
#include "paths.h"

namespace {

const char* const kAuditDir = "/var/log/fifodel";

// Local time with its offset, so that lines compare with the tree's hours.
std::string Now() {
  time_t now = time(nullptr);
  struct tm tm;
  char buf[40];
  strftime(buf, sizeof buf, "%Y-%m-%dT%H:%M:%S%z", localtime_r(&now, &tm));
  return buf;
}

int OpenAudit() {
  const int flags = O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC | O_NOFOLLOW;
  int fd = open(AUDIT_FILE, flags, 0640);
  if (fd < 0 && errno == ENOENT && mkdir(kAuditDir, 0755) == 0)
    fd = open(AUDIT_FILE, flags, 0640);
  // The unit's umask would make it 0600; logrotate creates it 0640 too.
  if (fd >= 0) fchmod(fd, 0640);
  return fd;
}

std::string Line(const std::string& strNow, long long llPass,
                 const std::string& fields) {
  return strNow + "\tpass=" + std::to_string(llPass) + "\t" + fields + "\n";
}

// Appends whole lines; a failure is logged once until lines get through
// again, as it repeats for every chunk.
void Append(const std::string& lines) {
  static bool fComplained = false;
  int fd = OpenAudit();
  bool ok = fd >= 0 && WriteAll(fd, lines);
  int err = errno;
  if (fd >= 0) close(fd);
  if (!ok && !fComplained)
    lg(LOG_WARNING, "fifodel: cannot write %s: %s", AUDIT_FILE, strerror(err));
  fComplained = !ok;
}

}  // namespace

// Fields are tab-separated: Printable escapes tabs inside paths, so a tab
// always separates.
void AuditCalls(long long llPass, const std::vector<AuditedCall>& calls) {
  if (calls.empty()) return;
  const std::string strNow = Now();
  std::string lines;
  for (const AuditedCall& call : calls) {
    std::string fields = "call=" + std::to_string(call.llId) +
                         "\ttenant=" + std::to_string(call.llTenantId) +
                         "\tbytes=" + std::to_string(call.llBytes);
    for (const std::string& file : call.files) fields += "\t" + Printable(file);
    lines += Line(strNow, llPass, fields);
  }
  Append(lines);
}

void AuditDirectory(long long llPass, const std::string& strPath) {
  Append(Line(Now(), llPass, "pruned " + Printable(strPath)));
}
