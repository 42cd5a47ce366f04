// Removal of one file of a call's recording, by descriptor: unlinked, or
// overwritten first while the secure-delete marker exists.
#ifndef FIFODEL_REMOVAL_H_
#define FIFODEL_REMOVAL_H_

#include <sys/stat.h>

#include <string>

// The marker directory, held open for the marker lookups of one pass.
class ConfDir {
 public:
  ConfDir();
  ConfDir(const ConfDir&) = delete;
  ConfDir& operator=(const ConfDir&) = delete;
  ~ConfDir();
  // True while the secure-delete marker exists. Looked up anew whenever the
  // directory's entries changed since the last call, or lately.
  bool SecureDelete();

 private:
  int fd_;
  struct timespec seen_ = {};  // the directory's ctime at the last lookup
  bool fSecure_ = false;
};

// Removes the name `name` of the directory `dirfd`, which fstatat without
// following links found to be a regular file or a symbolic link. Unless
// `fSecure` (the secure-delete marker exists, as the caller just looked up)
// the name is unlinked, nothing logged. Otherwise a regular file with one link
// is opened without following links and overwritten through that descriptor by
// "shred -", then unlinked, logged as "FIFO shredding %s" with `pathname`; a
// file that is anything else by then (a link swapped in, a second hard link) is
// only unlinked, and the log says so. True when the name is gone; false,
// with errno, when it stays: also when the file could not be opened or shred
// failed, so that nothing unshredded goes in secure mode. *pfShredded, when
// given, tells whether the bytes were overwritten.
bool DeleteFn(int dirfd, const char* name, const char* pathname, bool fSecure,
              bool* pfShredded = nullptr);

// `arg` as one POSIX shell word: in single quotes, each quote inside written
// as '\''.
std::string escapeShellArg(std::string arg);

// True when the name exists, whatever kind of object it names (links are
// followed, as the marker files may be links).
bool file_exists(std::string strFileName);

#endif  // FIFODEL_REMOVAL_H_
