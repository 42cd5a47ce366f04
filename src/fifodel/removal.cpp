// Removes single files. The secure-delete marker is read for every file so
// that an administrator can switch modes without restarting the service.
#include "removal.h"

#include <stdlib.h>
#include <sys/stat.h>
#include <syslog.h>
#include <unistd.h>

#include "logging.h"
#include "paths.h"

bool file_exists(std::string strFileName) {
  struct stat st;
  return stat(strFileName.c_str(), &st) == 0;
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
  if (!file_exists(SECURE_DELETE_MARKER)) return unlink(pathname) == 0;
  if (!file_exists(pathname)) return false;
  std::string cmd = "shred -u " + escapeShellArg(pathname);
  // Judged by what is left afterwards, not by shred's exit status.
  (void)!system(cmd.c_str());
  lg(LOG_NOTICE, "FIFO shredding %s", pathname);
  return !file_exists(pathname);
}
