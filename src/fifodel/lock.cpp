// flock: the kernel drops it with the process, however it ends, so a stale
// file never blocks a restart. A directory rather than a file in it: a file
// can be replaced by a directory, a dangling link or a fifo, and a guard
// that then fails open lets two instances charge every tenant twice.
#include "lock.h"

#include <errno.h>
#include <string.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <syslog.h>
#include <unistd.h>

#include <fstream>

#include "files.h"
#include "logging.h"
#include "paths.h"

namespace {

std::string ReadPid() {
  std::string pid;
  std::ifstream(PID_FILE) >> pid;
  return Printable(pid.substr(0, 20));
}

// `fifodel status` holds a shared lock for a moment: no running service.
bool LockWithRetries(int fd) {
  for (int i = 0; i < 20; ++i, usleep(50000)) {
    if (flock(fd, LOCK_EX | LOCK_NB) == 0) return true;
    if (errno != EWOULDBLOCK) return false;
  }
  return false;
}

}  // namespace

InstanceLock::Result InstanceLock::Take() {
  mkdir(STATE_DIR, 0755);
  int fd = OpenDir(STATE_DIR);
  if (fd < 0) fd = OpenDir(RECORDINGS_DIR);
  if (fd >= 0 && LockWithRetries(fd)) {
    fd_ = fd;
    // Readable by all: `fifodel status` may run as a monitoring user.
    WriteAtomically(STATE_DIR, PID_NAME, std::to_string(getpid()) + "\n", 0644,
                    false);
    return kTaken;
  }
  int err = errno;
  if (fd >= 0) close(fd);
  if (err == EWOULDBLOCK) {
    lg(LOG_ERR, "fifodel: already running as pid %s (%s), exiting",
       ReadPid().c_str(), STATE_DIR);
    return kHeldElsewhere;
  }
  if (!fComplained_)
    lg(LOG_ERR, "fifodel: cannot lock %s: %s; no pass runs until it can",
       STATE_DIR, strerror(err));
  fComplained_ = true;
  return kUnavailable;
}

bool InstanceRunning(std::string* pid) {
  int fd = OpenDir(STATE_DIR);
  bool fHeld =
      fd >= 0 && flock(fd, LOCK_SH | LOCK_NB) != 0 && errno == EWOULDBLOCK;
  *pid = fHeld ? ReadPid() : "";
  if (fd >= 0) close(fd);  // drops our shared lock, if we got it
  return fHeld;
}
