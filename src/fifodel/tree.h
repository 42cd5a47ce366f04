// The one way the service reaches the recording tree as root: through
// descriptors resolved beneath a held descriptor of /recordings, never
// through a symbolic link, never out of the tree, for whole directories
// never into another file system. A descriptor held for a while is used
// only while its path still leads to it: a directory moved away meanwhile
// (an archive job) keeps its files at their new place.
#ifndef FIFODEL_TREE_H_
#define FIFODEL_TREE_H_

#include <time.h>

#include <string>
#include <utility>
#include <vector>

// Opens the directory `rel` ("." for `dirfd` itself) beneath `dirfd` with
// openat2 and RESOLVE_BENEATH | RESOLVE_NO_SYMLINKS | RESOLVE_NO_MAGICLINKS,
// plus RESOLVE_NO_XDEV with `fSameMount`; O_PATH with `fPathOnly`. -1 with
// errno: ENOENT or ENOTDIR when missing, ELOOP for a symbolic link on the
// way, EXDEV for a way out (or across a mount).
int OpenBeneath(int dirfd, const std::string& rel, bool fSameMount,
                bool fPathOnly = false);

// Whether the open directory `fd` is still what `rel` leads to beneath
// `dirfd` (same device and inode).
bool StillAt(int fd, int dirfd, const std::string& rel);

// Why OpenBeneath failed, for a log line.
const char* ResolveFailure(int err);

// The descriptor of /recordings for the length of a pass.
class Tree {
 public:
  Tree() = default;
  Tree(const Tree&) = delete;
  Tree& operator=(const Tree&) = delete;
  ~Tree();
  bool Open();  // false, with errno, when /recordings cannot be opened
  int root() const { return rootfd_; }

 private:
  int rootfd_ = -1;
};

// What a removal walk did: whether it is done (the entry gone, the
// directory empty); what it left on purpose (a mount point, a tree nested
// too deep, a directory moved away meanwhile), by absolute path with the
// reason; and the first entry it could not unlink, with strerror, since a
// tree that cannot go would otherwise be reported file by file.
struct WalkResult {
  bool fDone = false;
  std::vector<std::pair<std::string, std::string>> stays;
  std::string strLeftover, strLeftoverWhy;
};

// Removes the entry `rel` beneath `basefd` (whose absolute path is
// `strBase`) and everything below it, depth first, by descriptor: links as
// links, never a directory of another file system. On a read-only file
// system it stops at the first failure.
WalkResult RemoveTree(int basefd, const std::string& strBase,
                      const std::string& rel);

// The same for everything below the directory `path` (opened without
// following a link), dot files included, but not the directory itself.
WalkResult EmptyDirectory(const char* path);

// What a look below a directory found before it goes: the absolute path of
// an entry that is no directory and whose modification or change time is
// at or after the time asked about, or why it could not look everywhere a
// removal would reach; both empty when there is nothing of the kind.
struct RecentLook {
  std::string strRecent, strCannot;
};

// Looks at the entry `rel` beneath `basefd` (whose absolute path is
// `strBase`) and everything below it, stopping at the first entry that is no
// directory and was modified or changed at `tSince` or later. It goes where
// RemoveTree would, the same way: by descriptor, no link followed, not into
// another file system, no deeper. The times of directories do not count:
// they are what removing calls' files changes.
RecentLook FindRecent(int basefd, const std::string& strBase,
                      const std::string& rel, time_t tSince);

#endif  // FIFODEL_TREE_H_
