// fifodel's entry: chooses the run mode, detaches when asked and hands over
// to the monitor, or runs one simulated pass. Every exit of the service has
// status 0; only `fifodel status` and a command line that cannot be
// followed report through their exit status.
#include <fcntl.h>
#include <malloc.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <string>

#include "db.h"
#include "files.h"
#include "fstring.h"
#include "lock.h"
#include "logging.h"
#include "monitor.h"
#include "reclaim.h"
#include "replay.h"
#include "status.h"

// Ends the process at once on SIGTERM and SIGINT, also in the middle of a
// pass: what a pass has done stays done, and nothing needs rolling back.
void signal_handler(int iSignal) {
  if (iSignal == SIGINT || iSignal == SIGTERM) _exit(0);
}

// Initialises the database library and runs the monitor. Never returns; a
// second instance ends here, with status 0 like every other exit.
[[noreturn]] void run_FIFO(const ServiceOptions& opts) {
  dbi_initialize_r(nullptr, &g_DbiInst);
  InstanceLock lock;
  InstanceLock::Result taken = lock.Ensure();
  if (taken == InstanceLock::kHeldElsewhere) exit(0);
  // Counts left by a pass that was cut short go first, before a new pass
  // could add to them.
  if (taken == InstanceLock::kTaken) ApplyPendingJournal();
  FIFO_check(opts, &lock);
}

// Detaches: one fork, a new session, standard descriptors on /dev/null.
// Returns 0 in the parent, 1 when the fork or the new session fails; the
// child does not return otherwise.
int spawn_FIFO_mod(const ServiceOptions& opts) {
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
  run_FIFO(opts);
  return 0;
}

namespace {

const char kUsage[] =
    "usage: fifodel [debug | nofork] [--metrics-dir DIR]\n"
    "       fifodel --fifodelsim BYTES\n"
    "       fifodel status [--json]\n"
    "       fifodel --help | --version\n"
    "Keeps /recordings from filling, oldest archived calls first; see "
    "fifodel(8).\n";

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

// `fifodel status [--json]`; anything else is unknown, as monitoring
// plugins read 3.
int Status(int argc, char** argv) {
  bool fJson = false;
  for (int i = 2; i < argc; ++i) {
    if (strcmp(argv[i], "--json") != 0) {
      fprintf(stderr, "fifodel: unknown option %s\n%s", argv[i], kUsage);
      return 3;
    }
    fJson = true;
  }
  return StatusCommand(fJson);
}

// The directory of "--metrics-dir DIR" anywhere on the command line into
// `opts`; false, having said why, when it is missing or no directory. Opened
// as every cycle opens it, so that a link, never followed there, is refused
// at once rather than leaving the metrics silently unwritten.
bool MetricsDir(int argc, char** argv, ServiceOptions* opts) {
  for (int i = 1; i < argc; ++i) {
    if (strcmp(argv[i], "--metrics-dir") != 0) continue;
    int fd = i + 1 < argc ? OpenDir(argv[i + 1]) : -1;
    if (fd < 0) {
      fprintf(stderr,
              "fifodel: --metrics-dir needs an existing directory, not a "
              "symbolic link\n");
      return false;
    }
    close(fd);
    opts->strMetricsDir = argv[i + 1];
  }
  return true;
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

bool Is(int argc, char** argv, const char* word) {
  return argc >= 2 && strcmp(argv[1], word) == 0;
}

}  // namespace

int main(int argc, char** argv) {
  // The pass's two helper threads allocate little; an arena each would keep
  // their pages resident for the life of the service.
  mallopt(M_ARENA_MAX, 1);
  Handle(SIGPIPE, OnBrokenPipe);
  if (Is(argc, argv, "--help") || Is(argc, argv, "-h")) {
    fputs(kUsage, stdout);
    return 0;
  }
  if (Is(argc, argv, "--version")) {
    puts("fifodel " FIFODEL_VERSION);
    return 0;
  }
  if (Is(argc, argv, "status")) return Status(argc, argv);
  if (argc >= 3 && Is(argc, argv, "--fifodelsim")) return Simulate(argv[2]);
  ServiceOptions opts;
  if (!MetricsDir(argc, argv, &opts)) return 2;

  puts("Starting Tolvex FIFO");
  Handle(SIGTERM, signal_handler);
  Handle(SIGINT, signal_handler);
  if (Is(argc, argv, "debug")) {
    puts("Opened in debug mode.....");
    g_useSysLogger = false;
    run_FIFO(opts);
  } else if (Is(argc, argv, "nofork")) {
    run_FIFO(opts);
  }
  spawn_FIFO_mod(opts);
  return 0;
}
