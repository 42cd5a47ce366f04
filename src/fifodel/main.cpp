// fifodel's entry: chooses the run mode, detaches when asked and hands over
// to the monitor, or runs one simulated pass. Every exit has status 0.
#include <fcntl.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include "db.h"
#include "fstring.h"
#include "logging.h"
#include "monitor.h"
#include "reclaim.h"

// Ends the process at once on SIGTERM and SIGINT, also in the middle of a
// pass: what a pass has done stays done, and nothing needs rolling back.
void signal_handler(int iSignal) {
  if (iSignal == SIGINT || iSignal == SIGTERM) _exit(0);
}

// Initialises the database library and runs the monitor. Never returns.
void run_FIFO() {
  dbi_initialize_r(nullptr, &g_DbiInst);
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

}  // namespace

int main(int argc, char** argv) {
  if (argc >= 3 && strcmp(argv[1], "--fifodelsim") == 0)
    return Simulate(argv[2]);

  puts("Starting Tolvex FIFO");
  struct sigaction sigact;
  memset(&sigact, 0, sizeof sigact);
  sigact.sa_handler = signal_handler;
  sigemptyset(&sigact.sa_mask);
  sigact.sa_flags = SA_RESTART;
  sigaction(SIGTERM, &sigact, nullptr);
  sigaction(SIGINT, &sigact, nullptr);

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
