// The one way the service reaches the recording tree as root: through
// descriptors, resolved beneath a held descriptor of /recordings, never
// through a symbolic link, never out of the tree, and for removals of whole
// directories never into another file system.
#ifndef FIFODEL_TREE_H_
#define FIFODEL_TREE_H_

#include <string>

// Opens `rel` (relative, no leading '/') beneath the directory `dirfd` as a
// directory with openat2 and RESOLVE_BENEATH | RESOLVE_NO_SYMLINKS |
// RESOLVE_NO_MAGICLINKS, plus RESOLVE_NO_XDEV when `fSameMount`. Returns the
// descriptor (the caller closes it) or -1 with errno: ENOENT or ENOTDIR for a
// missing directory, ELOOP for a symbolic link on the way, EXDEV for a path
// that would leave `dirfd` (or cross a mount, with `fSameMount`).
int OpenBeneath(int dirfd, const std::string& rel, bool fSameMount);

// Why OpenBeneath failed, for a log line: "a symbolic link", "outside
// /recordings or on another file system", or strerror.
const char* ResolveFailure(int err);

// A pass's view of /recordings: the root descriptor, opened by Open, and the
// directory a call lives in, held while the following calls live there too.
class Tree {
 public:
  Tree() = default;
  Tree(const Tree&) = delete;
  Tree& operator=(const Tree&) = delete;
  ~Tree();

  // Opens /recordings. False, with errno, when it cannot be opened.
  bool Open();
  int root() const { return rootfd_; }

  // The directory `rel` below /recordings, as OpenBeneath resolves it, or -1
  // with errno. The descriptor stays the Tree's: valid until the next call.
  int Dir(const std::string& rel);

 private:
  int rootfd_ = -1;
  std::string heldRel_;
  int heldFd_ = -1;
  int heldErr_ = 0;
};

// The first entry a removal could not unlink (empty when there was none),
// for the caller to report once: a tree that cannot go at all would
// otherwise say so for every file in it.
struct Leftover {
  std::string strPath;
  std::string strWhy;
  int err = 0;
};

// Removes the entry `name` of the directory `parentfd` and, when it is a
// directory, everything below it first, depth first, by descriptor. A
// symbolic link is removed as a link, never followed. A directory on another
// file system (a mount point, also a bind mount of the same one) stays, with
// one LOG_WARNING line naming it by `strPath`, the absolute path of `name`.
// An entry that cannot be unlinked stays, and the first such goes to
// *left; on a read-only file system the walk stops there. True when `name`
// is gone afterwards.
bool RemoveTree(int parentfd, const char* name, const std::string& strPath,
                Leftover* left);

// Removes everything below the directory `path` (itself opened without
// following a symbolic link), dot-files included, but not the directory
// itself, as RemoveTree does. True when it is empty afterwards; false when
// it cannot be opened.
bool EmptyDirectory(const char* path, Leftover* left);

#endif  // FIFODEL_TREE_H_
