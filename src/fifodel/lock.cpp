// flock rather than a pid file alone: the kernel drops the lock with the
// process, however it ends, so a stale file never blocks a restart.
#include "lock.h"

#include <errno.h>
#include <fcntl.h>
#include <string.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <syslog.h>
#include <unistd.h>

#include "logging.h"
#include "paths.h"

namespace {

std::string ReadPid(int fd) {
  char buf[32] = {};
  ssize_t n = pread(fd, buf, sizeof buf - 1, 0);
  std::string pid(buf, n > 0 ? n : 0);
  while (!pid.empty() && (pid.back() == '\n' || pid.back() == ' '))
    pid.pop_back();
  return Printable(pid);
}

// `fifodel status` holds a shared lock for a moment; do not mistake it for
// a running service.
bool LockWithRetries(int fd) {
  for (int i = 0; i < 20; ++i) {
    if (flock(fd, LOCK_EX | LOCK_NB) == 0) return true;
    if (errno != EWOULDBLOCK) return false;
    usleep(50000);
  }
  errno = EWOULDBLOCK;
  return false;
}

}  // namespace

bool TakeInstanceLock() {
  mkdir(STATE_DIR, 0755);
  int fd = open(LOCK_FILE, O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0644);
  if (fd < 0) {
    lg(LOG_ERR, "fifodel: cannot open %s: %s", LOCK_FILE, strerror(errno));
    return true;
  }
  if (!LockWithRetries(fd)) {
    if (errno == EWOULDBLOCK) {
      lg(LOG_ERR, "fifodel: already running as pid %s (%s), exiting",
         ReadPid(fd).c_str(), LOCK_FILE);
      close(fd);
      return false;
    }
    lg(LOG_ERR, "fifodel: cannot lock %s: %s", LOCK_FILE, strerror(errno));
    return true;
  }
  // Readable by all: `fifodel status` may run as a monitoring user.
  fchmod(fd, 0644);
  std::string pid = std::to_string(getpid()) + "\n";
  if (ftruncate(fd, 0) != 0 ||
      pwrite(fd, pid.data(), pid.size(), 0) != static_cast<ssize_t>(pid.size()))
    lg(LOG_ERR, "fifodel: cannot write %s: %s", LOCK_FILE, strerror(errno));
  return true;  // fd stays open: the lock lasts as long as the process
}

bool InstanceRunning(std::string* pid) {
  pid->clear();
  int fd = open(LOCK_FILE, O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
  if (fd < 0) return false;
  bool fHeld = flock(fd, LOCK_SH | LOCK_NB) != 0 && errno == EWOULDBLOCK;
  if (fHeld) *pid = ReadPid(fd);
  close(fd);  // drops our shared lock, if we got it
  return fHeld;
}
