// The file is opened for each chunk's lines (or a pruned directory's),
// appended and closed: a rotated file is simply created anew.
#include "audit.h"

#include <errno.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include "files.h"
#include "logging.h"
#include "paths.h"

namespace {

// Local time with its offset, so that lines compare with the tree's hours.
std::string Now() {
  time_t now = time(nullptr);
  struct tm tm;
  char buf[40];
  strftime(buf, sizeof buf, "%Y-%m-%dT%H:%M:%S%z", localtime_r(&now, &tm));
  return buf;
}

std::string Line(const std::string& strNow, long long llPass,
                 const std::string& fields) {
  return strNow + "\tpass=" + std::to_string(llPass) + "\t" + fields + "\n";
}

bool Append(const std::string& lines) {
  mkdir(AUDIT_DIR, 0755);
  int dirfd = OpenDir(AUDIT_DIR);
  // 0640, as logrotate creates it too; the unit's umask would make it 0600.
  int fd = dirfd < 0 ? -1 : OpenAppend(dirfd, AUDIT_NAME, 0640);
  // On the disk before the journal says so: a power loss must neither lose
  // a line nor make a replay write it again.
  bool ok = fd >= 0 && fchmod(fd, 0640) == 0 && WriteAll(fd, lines) &&
            fdatasync(fd) == 0;
  int err = errno;
  if (fd >= 0) close(fd);
  if (dirfd >= 0) close(dirfd);
  errno = err;
  return ok;
}

}  // namespace

// Fields are tab-separated: Printable escapes tabs inside paths, so a tab
// always separates.
bool AuditCalls(long long llPass, const std::vector<AuditedCall>& calls) {
  if (calls.empty()) return true;
  const std::string strNow = Now();
  std::string lines;
  for (const AuditedCall& call : calls) {
    std::string fields = "call=" + std::to_string(call.llId) +
                         "\ttenant=" + std::to_string(call.llTenantId) +
                         "\tbytes=" + std::to_string(call.llBytes);
    for (const std::string& file : call.files) fields += "\t" + Printable(file);
    lines += Line(strNow, llPass, fields);
  }
  return Append(lines);
}

bool AuditDirectory(long long llPass, const std::string& strPath) {
  return Append(Line(Now(), llPass, "pruned " + Printable(strPath)));
}
