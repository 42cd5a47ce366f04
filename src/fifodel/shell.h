// Child processes of the service: the commands it runs and waits for.
#ifndef FIFODEL_SHELL_H_
#define FIFODEL_SHELL_H_

// Runs `cmd` through /bin/sh -c and waits for it; returns its wait status,
// or -1 when it could not be started. Unlike system(3) it leaves SIGINT and
// SIGQUIT alone in the caller, so that the service can be stopped while a
// command runs.
int RunShell(const char* cmd);

// Runs the program `argv[0]` (looked up on PATH) with `argv`, NULL-ended,
// its standard output on the descriptor `fd`, and waits for it. True when it
// ran and exited with status 0.
bool RunWithStdout(const char* const argv[], int fd);

#endif  // FIFODEL_SHELL_H_
