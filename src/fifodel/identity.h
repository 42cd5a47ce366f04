// What a file or directory is, as opposed to what it is called: the counter
// journal records it before a removal, so that a replay after a kill can
// tell the file it meant from a new one under the same name (a freed inode
// number is handed out again at once on ext4) and find a directory that an
// archive job moved meanwhile.
#ifndef FIFODEL_IDENTITY_H_
#define FIFODEL_IDENTITY_H_

#include <sys/stat.h>

#include <string>

// A file: its inode number and birth time (nanoseconds since the epoch; 0
// where the file system keeps none). A new file never shares both with a
// gone one.
struct FileId {
  unsigned long long ullIno = 0;
  long long llBirth = 0;
  bool operator==(const FileId& o) const {
    return ullIno == o.ullIno && llBirth == o.llBirth;
  }
};

// A directory: its file system's id (statfs f_fsid, which survives a
// remount and a move to another device), its FileId, and a file handle
// (name_to_handle_at, "type:hex"; empty where the file system has none)
// through which it is found wherever it was moved on that file system.
struct DirId {
  unsigned long long ullFs = 0;
  FileId id;
  std::string strHandle;
  bool operator==(const DirId& o) const {
    return ullFs == o.ullFs && id == o.id;
  }
};

// `name` of `dirfd` without following a link (or `dirfd` itself for ""):
// statx with the birth time. False, with errno, when it cannot be looked at.
bool StatxAt(int dirfd, const char* name, struct statx* stx);
FileId FileIdOf(const struct statx& stx);

// The identity of the open directory `fd`; false, with errno, when it
// cannot be had.
bool DirIdOf(int fd, DirId* dir);

// The directory `dir` opened through its handle, on the file system of
// `mountfd`, wherever it lies now, if it is still that directory; -1 with
// errno otherwise (ESTALE: it is gone).
int OpenDirByHandle(int mountfd, const DirId& dir);

#endif  // FIFODEL_IDENTITY_H_
