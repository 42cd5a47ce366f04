// Every open is relative to a directory descriptor opened without following
// links, so a swapped directory cannot redirect a write either.
#include "files.h"

#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// Closes `fd` keeping errno; false when the close failed on a good write.
bool Close(int fd, bool ok) {
  int err = errno;
  if (close(fd) != 0 && ok) return false;
  errno = err;
  return ok;
}

bool WriteTemporary(int dirfd, const std::string& tmp, const std::string& text,
                    mode_t mode, bool fSync) {
  // A leftover of any kind (a fifo, a link to a file elsewhere) goes first;
  // O_EXCL then guarantees an inode that nobody else can name.
  unlinkat(dirfd, tmp.c_str(), 0);
  int fd = openat(dirfd, tmp.c_str(),
                  O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, mode);
  // The unit's UMask=0077 would hide the file from readers that are not root.
  return fd >= 0 && Close(fd, fchmod(fd, mode) == 0 && WriteAll(fd, text) &&
                                  (!fSync || fdatasync(fd) == 0));
}

}  // namespace

bool WriteAll(int fd, const std::string& text) {
  for (size_t done = 0; done < text.size();) {
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
  struct stat st = {};
  if (fd < 0 ||
      (fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && st.st_nlink == 1))
    return fd;
  errno = S_ISREG(st.st_mode) ? EMLINK : EINVAL;
  close(fd);
  return -1;
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
  return Close(dirfd, ok);
}

bool RemoveFile(const std::string& dir, const std::string& name) {
  int dirfd = OpenDir(dir);
  if (dirfd < 0) return errno == ENOENT;
  return Close(dirfd, unlinkat(dirfd, name.c_str(), 0) == 0 || errno == ENOENT);
}
