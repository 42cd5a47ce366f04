// The files the service writes (state, metrics, audit trail, journal, pid):
// always regular files it opened itself, whatever a user with write access
// to their directories planted there. Nothing here ever follows a symbolic
// link, blocks on a fifo or writes through a second hard link.
#ifndef FIFODEL_FILES_H_
#define FIFODEL_FILES_H_

#include <sys/types.h>

#include <string>

// Writes all of `text` to `fd`, going on after short writes and signals.
// False, with errno, when it cannot: a file system that took part of the
// text and then nothing sets ENOSPC, which write itself leaves unset.
bool WriteAll(int fd, const std::string& text);

// Opens the directory `dir` without following a symbolic link (O_RDONLY,
// so that it can be fsynced and locked). -1 with errno.
int OpenDir(const std::string& dir);

// Opens `name` of `dirfd` for appending, created with `mode` when missing
// (and its directory synced then). Refuses, with errno, a symbolic link
// (ELOOP), a fifo or anything else that is not a regular file (EINVAL, or
// ENXIO for a fifo nobody reads) and a regular file that has another hard
// link (EMLINK). Returns the descriptor or -1.
int OpenAppend(int dirfd, const std::string& name, mode_t mode);

// Replaces the file `name` of the directory `dir` by one holding `text`,
// with `mode`, through a fresh "<name>.tmp" (whatever was there is removed
// first, then it is created exclusively) renamed over it: a reader sees the
// old or the new file, never part of one. With `fSync` the data is on the
// disk before the rename; the directory is synced after it either way. False,
// with errno, on failure; no temporary is left.
bool WriteAtomically(const std::string& dir, const std::string& name,
                     const std::string& text, mode_t mode, bool fSync);

// Removes the file `name` of the directory `dir`; true when it is gone.
bool RemoveFile(const std::string& dir, const std::string& name);

#endif  // FIFODEL_FILES_H_
