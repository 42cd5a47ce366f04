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
#include <unistd.h>

#include "faults.h"
#include "paths.h"

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

// One removal walk: its base, the file system it stays on, what it did.
struct Walk {
  int basefd;
  std::string strBase;
  dev_t dev;
  WalkResult* r;
  bool fStop = false;  // nothing more can go: read-only, or moved away
};

std::string Join(const std::string& rel, const char* name) {
  return rel == "." ? name : rel + "/" + name;
}

bool Stays(Walk* w, const std::string& rel, const char* why) {
  w->r->stays.emplace_back(w->strBase + "/" + rel, why);
  return false;
}

// An entry that cannot be unlinked; only the first of a walk is kept.
bool Leftover(Walk* w, const std::string& rel) {
  if (w->r->strLeftover.empty()) {
    w->r->strLeftover = w->strBase + "/" + rel;
    w->r->strLeftoverWhy = strerror(errno);
  }
  w->fStop = w->fStop || errno == EROFS;
  return false;
}

// Unlinks `name` of the directory `dirfd` found at `rel`, if it is still
// there.
bool Unlink(Walk* w, int dirfd, const std::string& rel, const char* name,
            int flags) {
  FaultPoint("prune-walk");
  if (!StillAt(dirfd, w->basefd, rel)) {
    w->fStop = true;
    return Stays(w, rel, "moved away during the removal");
  }
  return unlinkat(dirfd, name, flags) == 0 || errno == ENOENT ||
         Leftover(w, Join(rel, name));
}

bool RemoveContents(Walk* w, int dirfd, const std::string& rel, int depth);

bool RemoveDirectory(Walk* w, int dirfd, const std::string& rel,
                     const char* name, int depth) {
  const std::string sub = Join(rel, name);
  int fd = OpenBeneath(dirfd, name, true);
  if (fd < 0) return errno == ENOENT || Stays(w, sub, ResolveFailure(errno));
  bool fEmptied = RemoveContents(w, fd, sub, depth + 1);
  close(fd);
  return fEmptied && Unlink(w, dirfd, rel, name, AT_REMOVEDIR);
}

// Removes one entry of `dirfd`; directories only on the walk's file system.
bool RemoveEntry(Walk* w, int dirfd, const std::string& rel, const char* name,
                 int depth) {
  struct stat st;
  if (fstatat(dirfd, name, &st, AT_SYMLINK_NOFOLLOW) != 0)
    return errno == ENOENT;
  if (!S_ISDIR(st.st_mode)) return Unlink(w, dirfd, rel, name, 0);
  if (st.st_dev != w->dev) return Stays(w, Join(rel, name), "another file system");
  if (depth >= kMaxDepth) return Stays(w, Join(rel, name), "nested too deep");
  return RemoveDirectory(w, dirfd, rel, name, depth);
}

bool RemoveContents(Walk* w, int dirfd, const std::string& rel, int depth) {
  int readfd = openat(dirfd, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  DIR* dir = readfd < 0 ? nullptr : fdopendir(readfd);
  if (dir == nullptr) {
    if (readfd >= 0) close(readfd);
    return false;
  }
  bool fAll = true;
  while (struct dirent* entry = readdir(dir)) {
    if (w->fStop) break;
    const char* name = entry->d_name;
    if (strcmp(name, ".") == 0 || strcmp(name, "..") == 0) continue;
    fAll = RemoveEntry(w, dirfd, rel, name, depth) && fAll;
  }
  closedir(dir);
  return fAll && !w->fStop;
}

}  // namespace

int OpenBeneath(int dirfd, const std::string& rel, bool fSameMount,
                bool fPathOnly) {
  unsigned long long resolve =
      RESOLVE_BENEATH | RESOLVE_NO_SYMLINKS | RESOLVE_NO_MAGICLINKS;
  if (fSameMount) resolve |= RESOLVE_NO_XDEV;
  return RawOpenat2(dirfd, rel.c_str(),
                    (fPathOnly ? O_PATH : O_RDONLY) | O_DIRECTORY | O_CLOEXEC,
                    resolve);
}

bool StillAt(int fd, int dirfd, const std::string& rel) {
  if (rel == ".") return true;  // the base itself is held, not resolved
  int now = OpenBeneath(dirfd, rel, false, true);
  struct stat a, b;
  bool fSame = now >= 0 && fstat(now, &a) == 0 && fstat(fd, &b) == 0 &&
               a.st_dev == b.st_dev && a.st_ino == b.st_ino;
  if (now >= 0) close(now);
  return fSame;
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
  if (rootfd_ >= 0) close(rootfd_);
}

bool Tree::Open() {
  rootfd_ = open(RECORDINGS_DIR, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  return rootfd_ >= 0;
}

WalkResult RemoveTree(int basefd, const std::string& strBase,
                      const std::string& rel) {
  WalkResult r;
  struct stat st;
  if (fstat(basefd, &st) != 0) return r;
  Walk w = {basefd, strBase, st.st_dev, &r};
  size_t slash = rel.rfind('/');
  const std::string parent = slash == std::string::npos ? "." : rel.substr(0, slash);
  int parentfd = OpenBeneath(basefd, parent, true);
  if (parentfd < 0) return r;
  RemoveEntry(&w, parentfd, parent, rel.c_str() + slash + 1, 0);
  r.fDone = fstatat(parentfd, rel.c_str() + slash + 1, &st,
                    AT_SYMLINK_NOFOLLOW) != 0 &&
            errno == ENOENT;
  close(parentfd);
  return r;
}

WalkResult EmptyDirectory(const char* path) {
  WalkResult r;
  int fd = open(path, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
  struct stat st;
  if (fd >= 0 && fstat(fd, &st) == 0) {
    Walk w = {fd, path, st.st_dev, &r};
    r.fDone = RemoveContents(&w, fd, ".", 0);
  }
  if (fd >= 0) close(fd);
  return r;
}
