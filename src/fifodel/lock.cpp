// flock: the kernel drops it with the process, however it ends, so a stale
// file never blocks a restart. The directory /recordings rather than a file
// or a directory of the service's own: those could be replaced, or be
// unusable when one instance starts and usable when the next does, and two
// instances locking two objects would charge every tenant twice.
#include "lock.h"

#include <errno.h>
#include <fcntl.h>
#include <string.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <syslog.h>
#include <unistd.h>

#include <fstream>
#include <sstream>

#include "files.h"
#include "logging.h"
#include "paths.h"
#include "statedoc.h"

namespace {

long long StatePid() {
  std::stringstream text;
  text << std::ifstream(STATE_FILE).rdbuf();
  ServiceState st;
  return ParseState(text.str(), &st) && st.llPid > 0 ? st.llPid : 0;
}

// As the holder wrote it, or, where it could not, as it published it.
std::string ReadPid() {
  std::string pid;
  std::ifstream(PID_FILE) >> pid;
  long long llPublished = pid.empty() ? StatePid() : 0;
  if (llPublished) pid = std::to_string(llPublished);
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

// Whether process `pid` exists. A recycled id would make a dead service
// seem alive, but its document then grows stale: status says so.
bool Alive(long long pid) {
  const std::string proc = "/proc/" + std::to_string(pid);
  return pid > 0 && access(proc.c_str(), F_OK) == 0;
}

// Whether `fd` is still what RECORDINGS_DIR leads to.
bool StillThere(int fd, dev_t dev, ino_t ino) {
  struct stat st;
  return fd >= 0 &&
         fstatat(AT_FDCWD, RECORDINGS_DIR, &st, AT_SYMLINK_NOFOLLOW) == 0 &&
         st.st_dev == dev && st.st_ino == ino;
}

}  // namespace

InstanceLock::Result InstanceLock::Ensure() {
  if (StillThere(fd_, dev_, ino_)) return kTaken;
  if (fd_ >= 0) close(fd_);  // drops the lock on what is no longer there
  fd_ = -1;
  return Take();
}

InstanceLock::Result InstanceLock::Take() {
  int fd = OpenDir(RECORDINGS_DIR);
  struct stat st;
  if (fd >= 0 && fstat(fd, &st) == 0 && LockWithRetries(fd)) {
    fd_ = fd, dev_ = st.st_dev, ino_ = st.st_ino;
    fComplained_ = false;
    // Readable by all: `fifodel status` may run as a monitoring user.
    mkdir(STATE_DIR, 0755);
    WriteAtomically(STATE_DIR, PID_NAME, std::to_string(getpid()) + "\n", 0644,
                    false);
    return kTaken;
  }
  int err = errno;
  if (fd >= 0) close(fd);
  if (err == EWOULDBLOCK) {
    lg(LOG_ERR, "fifodel: already running as pid %s (%s), exiting",
       ReadPid().c_str(), RECORDINGS_DIR);
    return kHeldElsewhere;
  }
  if (!fComplained_)
    lg(LOG_ERR, "fifodel: cannot lock %s: %s; no pass runs until it can",
       RECORDINGS_DIR, strerror(err));
  fComplained_ = true;
  return kUnavailable;
}

Holder AskHolder() {
  Holder h;
  int fd = OpenDir(RECORDINGS_DIR);
  if (fd < 0) {
    h.strUnasked = RECORDINGS_DIR " cannot be opened (" +
                   std::string(strerror(errno)) + ")";
    long long pid = StatePid();
    h.fRunning = Alive(pid);
    if (h.fRunning) h.pid = std::to_string(pid);
    return h;
  }
  h.fRunning = flock(fd, LOCK_SH | LOCK_NB) != 0 && errno == EWOULDBLOCK;
  close(fd);  // drops our shared lock, if we got it
  if (h.fRunning) h.pid = ReadPid();
  return h;
}
