// Removes single files. The secure-delete marker is read for every file so
// that an administrator can switch modes without restarting the service.
// Nothing here takes a path whole: the tree belongs to another user, who
// could swap any component for a symbolic link at any moment.
#include "removal.h"

#include <errno.h>
#include <fcntl.h>
#include <syslog.h>
#include <time.h>
#include <unistd.h>

#include "logging.h"
#include "paths.h"
#include "shell.h"

namespace {

// Overwrites the open file `fd` in place; shred's "-" is its standard output.
bool Shred(int fd) {
  static const char* const argv[] = {"shred", "-", nullptr};
  return RunWithStdout(argv, fd);
}

// The file behind `fd` may be shredded: a regular file whose bytes no other
// name shares.
bool ShreddableFile(int fd) {
  struct stat st;
  return fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && st.st_nlink == 1;
}

// The open failed because the name is no file to overwrite: a symbolic link
// (O_NOFOLLOW), a fifo without a reader, a directory. Any other failure
// (no descriptors left, a read-only mount, an immutable file) keeps the
// file: nothing goes unshredded in secure mode.
bool NothingToShred(int err) {
  return err == ELOOP || err == ENXIO || err == EISDIR;
}

bool ShredAndUnlink(int dirfd, const char* name, const char* pathname,
                    bool* pfShredded) {
  // O_NONBLOCK: a fifo swapped in must not hold the pass.
  int fd = openat(dirfd, name,
                  O_WRONLY | O_NOFOLLOW | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0 && !NothingToShred(errno)) return false;
  if (fd < 0 || !ShreddableFile(fd)) {
    if (fd >= 0) close(fd);
    lg(LOG_NOTICE, "FIFO not shredding %s: not a single regular file",
       Printable(pathname).c_str());
    return unlinkat(dirfd, name, 0) == 0;
  }
  bool fShredded = Shred(fd);
  close(fd);
  lg(LOG_NOTICE, "FIFO shredding %s", Printable(pathname).c_str());
  // The caller reports errno: a failed overwrite has none of its own.
  if (!fShredded) errno = EIO;
  *pfShredded = fShredded;
  return fShredded && unlinkat(dirfd, name, 0) == 0;
}

}  // namespace

ConfDir::ConfDir() : fd_(open(CONF_DIR, O_PATH | O_DIRECTORY | O_CLOEXEC)) {}

ConfDir::~ConfDir() {
  if (fd_ >= 0) close(fd_);
}

// Making or removing the marker changes the directory's ctime: far cheaper
// to read than a lookup of a missing name. Timestamps are coarse, so a change
// of the last two seconds is always looked up.
bool ConfDir::SecureDelete() {
  struct stat st;
  if (fd_ < 0 || fstat(fd_, &st) != 0) return false;
  if (st.st_ctim.tv_sec != seen_.tv_sec ||
      st.st_ctim.tv_nsec != seen_.tv_nsec ||
      time(nullptr) - st.st_ctim.tv_sec < 2) {
    seen_ = st.st_ctim;
    fSecure_ = fstatat(fd_, SECURE_DELETE_NAME, &st, 0) == 0;
  }
  return fSecure_;
}

bool file_exists(std::string strFileName) {
  struct stat st;
  return fstatat(AT_FDCWD, strFileName.c_str(), &st, 0) == 0;
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

bool DeleteFn(int dirfd, const char* name, const char* pathname, bool fSecure,
              bool* pfShredded) {
  bool fShredded = false;
  bool fGone = fSecure ? ShredAndUnlink(dirfd, name, pathname, &fShredded)
                       : unlinkat(dirfd, name, 0) == 0;
  if (pfShredded) *pfShredded = fShredded;
  return fGone;
}
