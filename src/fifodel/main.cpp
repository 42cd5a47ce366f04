// fifodel's entry: chooses the run mode, detaches when asked and hands over
// to the monitor, or runs one simulated pass. Every exit of the service has
// status 0; only `fifodel status` reports through its exit status.
#include <fcntl.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <string>

#include "db.h"
#include "fstring.h"
#include "journal.h"
#include "lock.h"
#include "logging.h"
#include "monitor.h"
#include "reclaim.h"
#include "status.h"

// Ends the process at once on SIGTERM and SIGINT, also in the middle of a
// pass: what a pass has done stays done, and nothing needs rolling back.
void signal_handler(int iSignal) {
  if (iSignal == SIGINT || iSignal == SIGTERM) _exit(0);
}

// Initialises the database library and runs the monitor. Never returns; a
// second instance ends here, with status 0 like every other exit.
[[noreturn]] void run_FIFO() {
  dbi_initialize_r(nullptr, &g_DbiInst);
  if (!TakeInstanceLock()) exit(0);
  // Counts left by a pass that was cut short go first, before a new pass
  // could add to them.
  ApplyPendingJournal();
  FIFO_check();
}

// Detaches: one fork, a new session, standard descriptors on /dev/null.
// Returns 0 in the parent, 1 when the fork or the new session fails; the
// child does not return otherwise.
int spawn_FIFO_mod() {
  pid_t pid = fork();
  if (pid < 0) return 1;
  if (pid > 0) return 0;
  if (setsid() < 0) return 1;
  close(0);
  close(1);
  close(2);
  open("/dev/null", O_RDWR);
  (void)!dup(0);
  (void)!dup(0);
  run_FIFO();
  return 0;
}

namespace {

// One simulated pass for the byte count in `acBytes`, then exit.
int Simulate(const char* acBytes) {
  puts("DEBUG test");
  g_useSysLogger = false;
  dbi_initialize_r(nullptr, &g_DbiInst);
  long long liBytes = strtoll(acBytes, nullptr, 10);
  bool fPruned = FIFO_delete(liBytes, true);
  // The message stays one literal, so that a grep finds it.
  // clang-format off
  if (fPruned) puts("FIFO_delete function returned true (means would have deleted some dirs)");
  // clang-format on
  puts("Clean exit!");
  return 0;
}

// A reader that went away (`fifodel debug | head`) must not end the service.
// A handler rather than SIG_IGN: an ignored SIGPIPE would be inherited by
// the shell commands the service runs.
void OnBrokenPipe(int) {}

void Handle(int sig, void (*handler)(int)) {
  struct sigaction sa;
  memset(&sa, 0, sizeof sa);
  sa.sa_handler = handler;
  sigemptyset(&sa.sa_mask);
  sa.sa_flags = SA_RESTART;
  sigaction(sig, &sa, nullptr);
}

// The value of "--metrics-dir DIR" anywhere on the command line, or "".
std::string MetricsDir(int argc, char** argv) {
  for (int i = 1; i + 1 < argc; ++i)
    if (strcmp(argv[i], "--metrics-dir") == 0) return argv[i + 1];
  return "";
}

}  // namespace

int main(int argc, char** argv) {
  Handle(SIGPIPE, OnBrokenPipe);
  if (argc >= 2 && strcmp(argv[1], "status") == 0)
    return StatusCommand(argc >= 3 && strcmp(argv[2], "--json") == 0);
  if (argc >= 3 && strcmp(argv[1], "--fifodelsim") == 0)
    return Simulate(argv[2]);

  puts("Starting Tolvex FIFO");
  Handle(SIGTERM, signal_handler);
  Handle(SIGINT, signal_handler);
  g_strMetricsDir = MetricsDir(argc, argv);

  if (argc >= 2 && strcmp(argv[1], "debug") == 0) {
    puts("Opened in debug mode.....");
    g_useSysLogger = false;
    run_FIFO();
  } else if (argc >= 2 && strcmp(argv[1], "nofork") == 0) {
    run_FIFO();
  }
  spawn_FIFO_mod();
  return 0;
}
