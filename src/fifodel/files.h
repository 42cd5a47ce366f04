// The files the service writes (state, metrics, audit trail, journal, pid):
// always regular files it opened itself, whatever a user with write access
// to their directories planted there. Nothing here follows a symbolic link,
// blocks on a fifo or writes through a second hard link.
#ifndef FIFODEL_FILES_H_
#define FIFODEL_FILES_H_

#include <sys/types.h>

#include <string>

// All of `text`, going on after short writes and signals; false, with errno
// (ENOSPC for a file system that took part and then nothing), when it cannot.
bool WriteAll(int fd, const std::string& text);

// The directory `dir`, not through a symbolic link, readable (to be synced
// or locked). -1 with errno.
int OpenDir(const std::string& dir);

// `name` of `dirfd` for appending, created with `mode` (and the directory
// synced) when missing. -1 with errno for a link (ELOOP), anything not a
// regular file (EINVAL; ENXIO for a fifo nobody reads) and a file with
// another hard link (EMLINK).
int OpenAppend(int dirfd, const std::string& name, mode_t mode);

// Replaces `name` of the directory `dir` with a file holding `text`: a fresh
// "<name>.tmp" (any leftover removed first, then made exclusively), synced
// with `fSync`, renamed over it, the directory synced. Readers see the old
// or the new file, never part of one. False, with errno; no temporary stays.
bool WriteAtomically(const std::string& dir, const std::string& name,
                     const std::string& text, mode_t mode, bool fSync);

bool RemoveFile(const std::string& dir, const std::string& name);  // gone?

#endif  // FIFODEL_FILES_H_
