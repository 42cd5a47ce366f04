// Removal of one file of a call's recording: unlinked, or shredded while the
// secure-delete marker exists.
#ifndef FIFODEL_REMOVAL_H_
#define FIFODEL_REMOVAL_H_

#include <string>

// Removes `pathname`. Without the secure-delete marker: unlink, true exactly
// when it succeeded, nothing logged. With it: "shred -u" through the shell,
// logged as "FIFO shredding %s", true when the path is gone afterwards; a
// missing path gives false with no command and no line. The marker is looked
// up on every call.
bool DeleteFn(const char* pathname);

// `arg` as one POSIX shell word: in single quotes, each quote inside written
// as '\''.
std::string escapeShellArg(std::string arg);

// Runs `cmd` through /bin/sh -c and waits for it; returns its wait status,
// or -1 when it could not be started. Unlike system(3) it leaves SIGINT and
// SIGQUIT alone in the caller, so that the service can be stopped while a
// command runs.
int RunShell(const char* cmd);

// True when stat succeeds on the name, whatever kind of object it names.
bool file_exists(std::string strFileName);

#endif  // FIFODEL_REMOVAL_H_
