// Writing whole texts to files that may fill up.
#ifndef FIFODEL_FILES_H_
#define FIFODEL_FILES_H_

#include <string>

// Writes all of `text` to `fd`, going on after short writes and signals.
// False, with errno, when it cannot: a file system that took part of the
// text and then nothing sets ENOSPC, which write itself leaves unset.
bool WriteAll(int fd, const std::string& text);

#endif  // FIFODEL_FILES_H_
