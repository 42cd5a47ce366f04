// Every open here is relative to a directory descriptor opened without
// following links, so a swapped directory cannot redirect a write either.
#include "files.h"

#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// errno for what `fd` is, if it is not a lone regular file; 0 if it is.
int NotALoneFile(int fd) {
  struct stat st;
  if (fstat(fd, &st) != 0) return errno;
  if (!S_ISREG(st.st_mode)) return EINVAL;
  return st.st_nlink == 1 ? 0 : EMLINK;
}

// Closes `fd` keeping errno; false when the close failed on a good write.
bool CloseKeepingErrno(int fd, bool ok) {
  int err = errno;
  if (close(fd) != 0 && ok) return false;
  errno = err;
  return ok;
}

bool WriteTemporary(int dirfd, const std::string& tmp, const std::string& text,
                    mode_t mode, bool fSync) {
  // A leftover of any kind (a fifo, a link to a file elsewhere) goes first;
  // O_EXCL then guarantees a new inode that nobody else can name.
  unlinkat(dirfd, tmp.c_str(), 0);
  int fd = openat(dirfd, tmp.c_str(),
                  O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, mode);
  if (fd < 0) return false;
  // The unit's UMask=0077 would hide the file from readers that are not root.
  bool ok = fchmod(fd, mode) == 0 && WriteAll(fd, text) &&
            (!fSync || fdatasync(fd) == 0);
  return CloseKeepingErrno(fd, ok);
}

}  // namespace

bool WriteAll(int fd, const std::string& text) {
  size_t done = 0;
  while (done < text.size()) {
    ssize_t n = write(fd, text.data() + done, text.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      if (n == 0) errno = ENOSPC;
      return false;
    }
    done += static_cast<size_t>(n);
  }
  return true;
}

int OpenDir(const std::string& dir) {
  return open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
}

int OpenAppend(int dirfd, const std::string& name, mode_t mode) {
  const int flags = O_WRONLY | O_APPEND | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC;
  int fd = openat(dirfd, name.c_str(), flags);
  if (fd < 0 && errno == ENOENT) {
    fd = openat(dirfd, name.c_str(), flags | O_CREAT | O_EXCL, mode);
    // A new name must survive a power loss as long as what it holds.
    if (fd >= 0) fsync(dirfd);
  }
  if (fd < 0) return -1;
  if (int err = NotALoneFile(fd)) {
    close(fd);
    errno = err;
    return -1;
  }
  return fd;
}

bool WriteAtomically(const std::string& dir, const std::string& name,
                     const std::string& text, mode_t mode, bool fSync) {
  int dirfd = OpenDir(dir);
  if (dirfd < 0) return false;
  const std::string tmp = name + ".tmp";
  bool ok = WriteTemporary(dirfd, tmp, text, mode, fSync) &&
            renameat(dirfd, tmp.c_str(), dirfd, name.c_str()) == 0 &&
            fsync(dirfd) == 0;
  if (!ok) {
    int err = errno;
    unlinkat(dirfd, tmp.c_str(), 0);
    errno = err;
  }
  return CloseKeepingErrno(dirfd, ok);
}

bool RemoveFile(const std::string& dir, const std::string& name) {
  int dirfd = OpenDir(dir);
  if (dirfd < 0) return errno == ENOENT;
  bool ok = unlinkat(dirfd, name.c_str(), 0) == 0 || errno == ENOENT;
  return CloseKeepingErrno(dirfd, ok);
}
