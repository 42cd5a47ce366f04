// The one way the service reaches the recording tree as root: through
// descriptors, resolved beneath a held descriptor of /recordings, never
// through a symbolic link, never out of the tree, and for removals of whole
// directories never into another file system. A descriptor held for a while
// is used only while its path still resolves to it: a directory moved away
// meanwhile (an archive job) is left alone at its new place.
#ifndef FIFODEL_TREE_H_
#define FIFODEL_TREE_H_

#include <string>
#include <utility>
#include <vector>

// Opens `rel` (relative, no leading '/', "." for `dirfd` itself) beneath the
// directory `dirfd` as a directory with openat2 and RESOLVE_BENEATH |
// RESOLVE_NO_SYMLINKS | RESOLVE_NO_MAGICLINKS, plus RESOLVE_NO_XDEV when
// `fSameMount`; with `fPathOnly` as O_PATH, for a look at its identity only.
// Returns the descriptor (the caller closes it) or -1 with errno: ENOENT or
// ENOTDIR for a missing directory, ELOOP for a symbolic link on the way,
// EXDEV for a path that would leave `dirfd` (or cross a mount).
int OpenBeneath(int dirfd, const std::string& rel, bool fSameMount,
                bool fPathOnly = false);

// Whether the open directory `fd` is still what `rel` resolves to beneath
// `dirfd` (same device and inode).
bool StillAt(int fd, int dirfd, const std::string& rel);

// Why OpenBeneath failed, for a log line: "a symbolic link", "outside
// /recordings or on another file system", or strerror.
const char* ResolveFailure(int err);

// The descriptor of /recordings for the length of a pass.
class Tree {
 public:
  Tree() = default;
  Tree(const Tree&) = delete;
  Tree& operator=(const Tree&) = delete;
  ~Tree();
  // Opens /recordings. False, with errno, when it cannot be opened.
  bool Open();
  int root() const { return rootfd_; }

 private:
  int rootfd_ = -1;
};

// What a removal walk did. `stays` names, by absolute path, what it left on
// purpose: a mount point, a tree nested too deep, a directory that moved
// away during the walk, each with the reason. `leftover` is the first entry
// it could not unlink, with strerror (empty when there was none): a tree
// that cannot go at all would otherwise say so for every file in it.
struct WalkResult {
  bool fDone = false;  // the entry is gone, or the directory empty
  std::vector<std::pair<std::string, std::string>> stays;
  std::string strLeftover, strLeftoverWhy;
};

// Removes the entry `rel` beneath `basefd` (whose absolute path, for the
// results, is `strBase`) and, when it is a directory, everything below it
// first, depth first, by descriptor. A symbolic link is removed as a link,
// never followed. A directory on another file system than `basefd` (a mount
// point, also a bind mount of the same one) stays. On a read-only file
// system the walk stops at the first failure.
WalkResult RemoveTree(int basefd, const std::string& strBase,
                      const std::string& rel);

// Removes everything below the directory `path` (itself opened without
// following a symbolic link), dot-files included, but not the directory
// itself, as RemoveTree does. fDone when it is empty afterwards.
WalkResult EmptyDirectory(const char* path);

#endif  // FIFODEL_TREE_H_
