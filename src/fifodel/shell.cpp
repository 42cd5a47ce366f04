// Forks and waits by hand rather than through system(3), which blocks SIGINT
// in the caller: a stop request must end the service even while it waits.
#include "shell.h"

#include <errno.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

int Wait(pid_t pid) {
  int status;
  while (waitpid(pid, &status, 0) < 0) {
    if (errno != EINTR) return -1;
  }
  return status;
}

}  // namespace

int RunShell(const char* cmd) {
  pid_t pid = fork();
  if (pid < 0) return -1;
  if (pid == 0) {
    execl("/bin/sh", "sh", "-c", cmd, static_cast<char*>(nullptr));
    _exit(127);
  }
  return Wait(pid);
}

bool RunWithStdout(const char* const argv[], int fd) {
  pid_t pid = fork();
  if (pid < 0) return false;
  if (pid == 0) {
    if (dup2(fd, 1) != 1) _exit(127);
    execvp(argv[0], const_cast<char* const*>(argv));
    _exit(127);
  }
  int status = Wait(pid);
  return status >= 0 && WIFEXITED(status) && WEXITSTATUS(status) == 0;
}
