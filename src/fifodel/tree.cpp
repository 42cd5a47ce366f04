// Descriptor-based access to the recording tree. The tree is written by the
// recorder's own user, who must not be able to steer root anywhere else: no
// path is ever handed to the kernel whole, every step is resolved beneath a
// descriptor that already lies inside the tree.
#include "tree.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <linux/openat2.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <syslog.h>
#include <unistd.h>

#include "logging.h"
#include "paths.h"
#include "report.h"

namespace {

// Deeper trees than this are not recordings; refusing them keeps the number
// of open descriptors and the stack bounded.
const int kMaxDepth = 64;

int RawOpenat2(int dirfd, const char* path, unsigned long long flags,
               unsigned long long resolve) {
  struct open_how how;
  memset(&how, 0, sizeof how);
  how.flags = flags;
  how.resolve = resolve;
  return static_cast<int>(syscall(SYS_openat2, dirfd, path, &how, sizeof how));
}

int OpenDirectoryEntry(int parentfd, const char* name) {
  return RawOpenat2(parentfd, name,
                    O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC,
                    RESOLVE_BENEATH | RESOLVE_NO_SYMLINKS |
                        RESOLVE_NO_MAGICLINKS | RESOLVE_NO_XDEV);
}

// One removal walk: the file system it stays on, and the first entry it
// could not unlink.
struct Walk {
  dev_t dev;
  Leftover* left;
};

bool RemoveContents(int dirfd, const std::string& strPath, Walk* walk,
                    int depth);

// Something below a directory being removed stays; said once per process.
void Stays(const std::string& strPath, const char* acReason) {
  if (NoteStuck("directory " + strPath, acReason))
    lg(LOG_WARNING, "FIFO: %s stays: %s", Printable(strPath).c_str(), acReason);
}

// An entry that cannot be unlinked; only the first of a walk is kept, so
// that a tree that cannot go at all costs neither memory nor log lines.
bool FileStays(const std::string& strPath, Walk* walk) {
  if (walk->left->strPath.empty())
    *walk->left = {strPath, strerror(errno), errno};
  return false;
}

// Removes the directory `name` of `parentfd` after its contents.
bool RemoveDirectory(int parentfd, const char* name, const std::string& strPath,
                     Walk* walk, int depth) {
  int fd = OpenDirectoryEntry(parentfd, name);
  if (fd < 0) {
    if (errno == ENOENT) return true;
    Stays(strPath, ResolveFailure(errno));
    return false;
  }
  struct stat st;
  if (fstat(fd, &st) != 0 || st.st_dev != walk->dev) {
    Stays(strPath, "another file system");
    close(fd);
    return false;
  }
  bool fEmptied = RemoveContents(fd, strPath, walk, depth + 1);
  close(fd);
  if (!fEmptied) return false;
  return unlinkat(parentfd, name, AT_REMOVEDIR) == 0 ||
         FileStays(strPath, walk);
}

// Removes one entry of `dirfd`; directories only on the walk's file system.
bool RemoveEntry(int dirfd, const char* name, const std::string& strPath,
                 Walk* walk, int depth) {
  struct stat st;
  if (fstatat(dirfd, name, &st, AT_SYMLINK_NOFOLLOW) != 0)
    return errno == ENOENT;
  if (!S_ISDIR(st.st_mode))
    return unlinkat(dirfd, name, 0) == 0 || errno == ENOENT ||
           FileStays(strPath, walk);
  if (depth >= kMaxDepth) {
    Stays(strPath, "nested too deep");
    return false;
  }
  return RemoveDirectory(dirfd, name, strPath, walk, depth);
}

bool RemoveContents(int dirfd, const std::string& strPath, Walk* walk,
                    int depth) {
  int readfd = openat(dirfd, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  DIR* dir = readfd < 0 ? nullptr : fdopendir(readfd);
  if (dir == nullptr) {
    if (readfd >= 0) close(readfd);
    return false;
  }
  bool fAll = true;
  while (struct dirent* entry = readdir(dir)) {
    const char* name = entry->d_name;
    if (strcmp(name, ".") == 0 || strcmp(name, "..") == 0) continue;
    if (!RemoveEntry(dirfd, name, strPath + "/" + name, walk, depth))
      fAll = false;
    // Nothing more can go from a read-only file system.
    if (walk->left->err == EROFS) break;
  }
  closedir(dir);
  return fAll;
}

}  // namespace

int OpenBeneath(int dirfd, const std::string& rel, bool fSameMount) {
  unsigned long long resolve =
      RESOLVE_BENEATH | RESOLVE_NO_SYMLINKS | RESOLVE_NO_MAGICLINKS;
  if (fSameMount) resolve |= RESOLVE_NO_XDEV;
  return RawOpenat2(dirfd, rel.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC,
                    resolve);
}

const char* ResolveFailure(int err) {
  switch (err) {
    case ELOOP:
      return "a symbolic link";
    case EXDEV:
      return "outside " RECORDINGS_DIR " or on another file system";
    default:
      return strerror(err);
  }
}

Tree::~Tree() {
  if (heldFd_ >= 0) close(heldFd_);
  if (rootfd_ >= 0) close(rootfd_);
}

bool Tree::Open() {
  rootfd_ = open(RECORDINGS_DIR, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  return rootfd_ >= 0;
}

int Tree::Dir(const std::string& rel) {
  if (rel != heldRel_ || heldRel_.empty()) {
    if (heldFd_ >= 0) close(heldFd_);
    heldRel_ = rel;
    heldFd_ = OpenBeneath(rootfd_, rel, false);
    heldErr_ = heldFd_ < 0 ? errno : 0;
  }
  errno = heldErr_;
  return heldFd_;
}

bool RemoveTree(int parentfd, const char* name, const std::string& strPath,
                Leftover* left) {
  struct stat st;
  if (fstat(parentfd, &st) != 0) return false;
  Walk walk = {st.st_dev, left};
  RemoveEntry(parentfd, name, strPath, &walk, 0);
  return fstatat(parentfd, name, &st, AT_SYMLINK_NOFOLLOW) != 0 &&
         errno == ENOENT;
}

bool EmptyDirectory(const char* path, Leftover* left) {
  int fd = open(path, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
  if (fd < 0) return false;
  struct stat st;
  bool fEmptied = false;
  if (fstat(fd, &st) == 0) {
    Walk walk = {st.st_dev, left};
    fEmptied = RemoveContents(fd, path, &walk, 0);
  }
  close(fd);
  return fEmptied;
}
