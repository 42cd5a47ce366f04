// Writing whole texts to files that may fill up, and replacing files that
// others read, by descriptor of their directory.
#ifndef FIFODEL_FILES_H_
#define FIFODEL_FILES_H_

#include <sys/types.h>

#include <string>

// Writes all of `text` to `fd`, going on after short writes and signals.
// False, with errno, when it cannot: a file system that took part of the
// text and then nothing sets ENOSPC, which write itself leaves unset.
bool WriteAll(int fd, const std::string& text);

// Replaces the file `name` of the directory `dir` by one holding `text`,
// with `mode`, through "<name>.tmp" renamed over it: a reader sees the old
// or the new file, never part of one. `dir` is opened without following a
// symbolic link and everything else happens relative to it. With `fSync`
// the data is on the disk before the rename. False, with errno, on failure;
// no temporary is left.
bool WriteAtomically(const std::string& dir, const std::string& name,
                     const std::string& text, mode_t mode, bool fSync);

// Removes the file `name` of the directory `dir`; true when it is gone.
bool RemoveFile(const std::string& dir, const std::string& name);

#endif  // FIFODEL_FILES_H_
