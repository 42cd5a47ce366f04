// Each line is opened, appended with one write and closed: lines of one
// process never interleave, a rotated file is simply created anew, and a
// crash loses at most the line being written.
#include "audit.h"

#include <errno.h>
#include <fcntl.h>
#include <string.h>
#include <sys/stat.h>
#include <syslog.h>
#include <time.h>
#include <unistd.h>

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

// Appends "<time>\tpass=<n>\t<fields>"; a failure is logged once until a
// line gets through again, as it repeats for every call.
void Append(long long llPass, const std::string& fields) {
  static bool fComplained = false;
  std::string line =
      Now() + "\tpass=" + std::to_string(llPass) + "\t" + fields + "\n";
  int fd = OpenAudit();
  bool ok = fd >= 0 && write(fd, line.data(), line.size()) ==
                           static_cast<ssize_t>(line.size());
  int err = errno;
  if (fd >= 0) close(fd);
  if (!ok && !fComplained)
    lg(LOG_WARNING, "fifodel: cannot write %s: %s", AUDIT_FILE, strerror(err));
  fComplained = !ok;
}

}  // namespace

// Fields are tab-separated: Printable escapes tabs inside paths, so a tab
// always separates.
void AuditCall(long long llPass, long long llId, long long llTenant,
               long long llBytes, const std::vector<std::string>& files) {
  std::string fields = "call=" + std::to_string(llId) +
                       "\ttenant=" + std::to_string(llTenant) +
                       "\tbytes=" + std::to_string(llBytes);
  for (const std::string& file : files) fields += "\t" + Printable(file);
  Append(llPass, fields);
}

void AuditDirectory(long long llPass, const std::string& strPath) {
  Append(llPass, "pruned " + Printable(strPath));
}
