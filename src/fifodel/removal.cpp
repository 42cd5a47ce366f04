// Removes single files. The secure-delete marker is read for every file so
// that an administrator can switch modes without restarting the service.
#include "removal.h"

#include <errno.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <syslog.h>
#include <unistd.h>

#include "logging.h"
#include "paths.h"

int RunShell(const char* cmd) {
  pid_t pid = fork();
  if (pid < 0) return -1;
  if (pid == 0) {
    execl("/bin/sh", "sh", "-c", cmd, static_cast<char*>(nullptr));
    _exit(127);
  }
  int status;
  while (waitpid(pid, &status, 0) < 0) {
    if (errno != EINTR) return -1;
  }
  return status;
}

namespace {

// file_exists without building a string: DeleteFn asks once per file.
bool PathExists(const char* acPath) {
  struct stat st;
  return stat(acPath, &st) == 0;
}

}  // namespace

bool file_exists(std::string strFileName) {
  return PathExists(strFileName.c_str());
}

std::string escapeShellArg(std::string arg) {
  std::string strRet = "'";
  for (int i = 0; i < static_cast<int>(arg.size()); ++i) {
    if (arg[i] == '\'') {
      strRet += "'\\''";
    } else {
      strRet += arg[i];
    }
  }
  strRet += "'";
  return strRet;
}

bool DeleteFn(const char* pathname) {
  if (!PathExists(SECURE_DELETE_MARKER)) return unlink(pathname) == 0;
  if (!PathExists(pathname)) return false;
  std::string cmd = "shred -u " + escapeShellArg(pathname);
  // Judged by what is left afterwards, not by shred's exit status.
  RunShell(cmd.c_str());
  lg(LOG_NOTICE, "FIFO shredding %s", pathname);
  return !PathExists(pathname);
}
