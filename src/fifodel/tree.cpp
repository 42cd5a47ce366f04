// No path is ever handed to the kernel whole: the tree belongs to the
// recorder's user, who must not be able to steer root anywhere else.
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

// Deeper trees are no recordings; refusing them bounds descriptors and stack.
const int kMaxDepth = 64;

struct Walk {
  int basefd;
  std::string strBase;
  dev_t dev;  // the file system it stays on
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

// Unlinks `name` of the directory `dirfd`, which `rel` must still lead to.
bool Unlink(Walk* w, int dirfd, const std::string& rel, const char* name,
            int flags) {
  FaultPoint("prune-walk");
  if (!StillAt(dirfd, w->basefd, rel)) {
    w->fStop = true;
    return Stays(w, rel, "moved away during the removal");
  }
  if (unlinkat(dirfd, name, flags) == 0 || errno == ENOENT) return true;
  if (w->r->strLeftover.empty()) {
    w->r->strLeftover = w->strBase + "/" + Join(rel, name);
    w->r->strLeftoverWhy = strerror(errno);
  }
  w->fStop = w->fStop || errno == EROFS;
  return false;
}

bool RemoveContents(Walk* w, int dirfd, const std::string& rel, int depth);

bool RemoveEntry(Walk* w, int dirfd, const std::string& rel, const char* name,
                 int depth) {
  struct stat st;
  if (fstatat(dirfd, name, &st, AT_SYMLINK_NOFOLLOW) != 0)
    return errno == ENOENT;
  if (!S_ISDIR(st.st_mode)) return Unlink(w, dirfd, rel, name, 0);
  const std::string sub = Join(rel, name);
  if (depth >= kMaxDepth) return Stays(w, sub, "nested too deep");
  if (st.st_dev != w->dev) return Stays(w, sub, "another file system");
  // A bind mount of the same file system is caught by RESOLVE_NO_XDEV.
  int fd = OpenBeneath(dirfd, name, true);
  if (fd < 0) return errno == ENOENT || Stays(w, sub, ResolveFailure(errno));
  bool fEmptied = RemoveContents(w, fd, sub, depth + 1);
  close(fd);
  return fEmptied && Unlink(w, dirfd, rel, name, AT_REMOVEDIR);
}

bool RemoveContents(Walk* w, int dirfd, const std::string& rel, int depth) {
  int readfd = openat(dirfd, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  DIR* dir = readfd < 0 ? nullptr : fdopendir(readfd);
  if (!dir) {
    if (readfd >= 0) close(readfd);
    return false;
  }
  bool fAll = true;
  while (struct dirent* e = w->fStop ? nullptr : readdir(dir))
    if (strcmp(e->d_name, ".") != 0 && strcmp(e->d_name, "..") != 0)
      fAll = RemoveEntry(w, dirfd, rel, e->d_name, depth) && fAll;
  closedir(dir);
  return fAll && !w->fStop;
}

struct Look {
  std::string strBase;
  dev_t dev;
  time_t tSince;
  RecentLook* r;
};

// False once the look has its answer: something recent, or no way to tell.
bool Cannot(Look* l, const std::string& rel, int err) {
  l->r->strCannot = l->strBase + "/" + rel + ": " + strerror(err);
  return false;
}

bool LookInto(Look* l, int dirfd, const std::string& rel, int depth);

bool LookAt(Look* l, int dirfd, const std::string& rel, const char* name,
            int depth) {
  struct stat st;
  if (fstatat(dirfd, name, &st, AT_SYMLINK_NOFOLLOW) != 0)
    return errno == ENOENT || Cannot(l, Join(rel, name), errno);
  if (!S_ISDIR(st.st_mode)) {
    if (st.st_mtim.tv_sec < l->tSince && st.st_ctim.tv_sec < l->tSince)
      return true;
    l->r->strRecent = l->strBase + "/" + Join(rel, name);
    return false;
  }
  // Where a removal does not go, nothing can be lost to it.
  if (depth >= kMaxDepth || st.st_dev != l->dev) return true;
  const std::string sub = Join(rel, name);
  int fd = OpenBeneath(dirfd, name, true);
  if (fd < 0)
    return errno == ENOENT || errno == ELOOP || errno == EXDEV ||
           Cannot(l, sub, errno);
  bool fOn = LookInto(l, fd, sub, depth + 1);
  close(fd);
  return fOn;
}

bool LookInto(Look* l, int dirfd, const std::string& rel, int depth) {
  int readfd = openat(dirfd, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  DIR* dir = readfd < 0 ? nullptr : fdopendir(readfd);
  if (!dir) {
    if (readfd >= 0) close(readfd);
    return Cannot(l, rel, errno);
  }
  bool fOn = true;
  struct dirent* e;
  while (fOn && (errno = 0, e = readdir(dir)))
    if (strcmp(e->d_name, ".") != 0 && strcmp(e->d_name, "..") != 0)
      fOn = LookAt(l, dirfd, rel, e->d_name, depth);
  if (fOn && errno != 0) fOn = Cannot(l, rel, errno);
  closedir(dir);
  return fOn;
}

}  // namespace

int OpenBeneath(int dirfd, const std::string& rel, bool fSameMount,
                bool fPathOnly) {
  struct open_how how;
  memset(&how, 0, sizeof how);
  how.flags = (fPathOnly ? O_PATH : O_RDONLY) | O_DIRECTORY | O_CLOEXEC;
  how.resolve = RESOLVE_BENEATH | RESOLVE_NO_SYMLINKS | RESOLVE_NO_MAGICLINKS |
                (fSameMount ? RESOLVE_NO_XDEV : 0);
  return static_cast<int>(
      syscall(SYS_openat2, dirfd, rel.c_str(), &how, sizeof how));
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
  if (err == ELOOP) return "a symbolic link";
  if (err == EXDEV)
    return "outside " RECORDINGS_DIR " or on another file system";
  return strerror(err);
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
  size_t slash = rel.rfind('/');
  const std::string parent =
      slash == std::string::npos ? "." : rel.substr(0, slash);
  const char* name = rel.c_str() + (slash + 1);  // npos + 1 is 0
  int parentfd =
      fstat(basefd, &st) == 0 ? OpenBeneath(basefd, parent, true) : -1;
  if (parentfd < 0) return r;
  Walk w = {basefd, strBase, st.st_dev, &r};
  RemoveEntry(&w, parentfd, parent, name, 0);
  r.fDone =
      fstatat(parentfd, name, &st, AT_SYMLINK_NOFOLLOW) != 0 && errno == ENOENT;
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

RecentLook FindRecent(int basefd, const std::string& strBase,
                      const std::string& rel, time_t tSince) {
  RecentLook r;
  struct stat st;
  size_t slash = rel.rfind('/');
  const std::string parent =
      slash == std::string::npos ? "." : rel.substr(0, slash);
  int parentfd =
      fstat(basefd, &st) == 0 ? OpenBeneath(basefd, parent, true) : -1;
  if (parentfd < 0) return r;  // nor can a removal reach it
  Look l = {strBase, st.st_dev, tSince, &r};
  LookAt(&l, parentfd, parent, rel.c_str() + (slash + 1), 0);
  close(parentfd);
  return r;
}
