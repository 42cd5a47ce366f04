#include "files.h"

#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

int OpenDir(const std::string& dir) {
  return open(dir.c_str(), O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
}

// Writes the temporary `tmp` of `dirfd`; left in place on failure.
bool WriteTemporary(int dirfd, const std::string& tmp, const std::string& text,
                    mode_t mode, bool fSync) {
  int fd = openat(dirfd, tmp.c_str(),
                  O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, mode);
  if (fd < 0) return false;
  // The unit's UMask=0077 would hide the file from readers that are not root.
  bool ok = fchmod(fd, mode) == 0 && WriteAll(fd, text) &&
            (!fSync || fdatasync(fd) == 0);
  int err = errno;
  if (close(fd) != 0 && ok) return false;
  errno = err;
  return ok;
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

bool WriteAtomically(const std::string& dir, const std::string& name,
                     const std::string& text, mode_t mode, bool fSync) {
  int dirfd = OpenDir(dir);
  if (dirfd < 0) return false;
  const std::string tmp = name + ".tmp";
  bool ok = WriteTemporary(dirfd, tmp, text, mode, fSync) &&
            renameat(dirfd, tmp.c_str(), dirfd, name.c_str()) == 0;
  int err = errno;
  if (!ok) unlinkat(dirfd, tmp.c_str(), 0);
  close(dirfd);
  errno = err;
  return ok;
}

bool RemoveFile(const std::string& dir, const std::string& name) {
  int dirfd = OpenDir(dir);
  if (dirfd < 0) return errno == ENOENT;
  bool ok = unlinkat(dirfd, name.c_str(), 0) == 0 || errno == ENOENT;
  close(dirfd);
  return ok;
}
