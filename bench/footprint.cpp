// 4. The real binary in debug mode, its output in a file. For the pass it
// gets a 200 MB tmpfs, below the 250 MB trigger level, and 100,000 calls
// whose apparent size (30 MB) is less than the 50 MB asked for, so that one
// pass takes them all; VmHWM is read once the pass has committed its tenant
// counters. An idle instance runs from the start in a namespace of its own
// with 2 GB free (no pass, one measurement a minute); a watcher reads its
// CPU time one second after start and 60 s later.
#include <sched.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <sstream>

#include "measurements.h"
#include "sandbox.h"

#ifndef FIFODEL_BINARY
#define FIFODEL_BINARY "fifodel"
#endif

namespace {

const long long kCalls = 100000;
pid_t g_idle = 0, g_watcher = 0;
int g_window = -1;  // the watcher's pipe: seconds, ns on CPU, ticks

// With `own_mb`, in a mount namespace of its own: a /recordings of that
// size, and its own lock, state, journal and audit trail.
pid_t StartService(const std::string& out, unsigned long long own_mb) {
  fflush(nullptr);
  pid_t pid = fork();
  if (pid < 0) Fail("fork");
  if (pid > 0) return pid;
  if (own_mb) {
    if (unshare(CLONE_NEWNS) != 0) _exit(127);
    FreshTmpfs("/recordings", own_mb);
    for (const char* path : {"/run", "/var/lib/fifodel", "/var/log/fifodel"})
      FreshTmpfs(path, 1);
  }
  if (!freopen(out.c_str(), "w", stdout) || dup2(1, 2) < 0) _exit(127);
  execl(FIFODEL_BINARY, "fifodel", "debug", static_cast<char*>(nullptr));
  _exit(127);
}

void StopService(pid_t pid) {
  kill(pid, SIGTERM);
  waitpid(pid, nullptr, 0);
}

// On-CPU nanoseconds (schedstat) and utime+stime ticks (fields 14 and 15
// of stat, after the parenthesised name).
void ReadCpu(pid_t pid, double* ns, double* ticks) {
  std::string base = "/proc/" + std::to_string(pid);
  *ns = atof(ReadFile(base + "/schedstat").c_str());
  std::string stat = ReadFile(base + "/stat");
  std::istringstream in(stat.substr(stat.rfind(')') + 2));
  std::string field;
  *ticks = 0;
  for (int i = 3; i <= 15 && in >> field; ++i)
    if (i >= 14) *ticks += atof(field.c_str());
}

void Watch() {
  sleep(1);  // past start-up
  double t0 = Now(), ns0, ticks0, w[3];
  ReadCpu(g_idle, &ns0, &ticks0);
  sleep(60);
  ReadCpu(g_idle, &w[1], &w[2]);
  w[0] = Now() - t0, w[1] -= ns0, w[2] -= ticks0;
  _exit(write(g_window, w, sizeof w) == sizeof w ? 0 : 1);
}

// Peak, anonymous and file-backed resident kB after one pass of kCalls.
void ServicePass(Db* db, long long kb[3]) {
  Progress("fifodel debug: a monitor run with a pass of %lld calls", kCalls);
  FreshTmpfs("/recordings", 200);
  MakeCalls(0, kCalls, true, false);
  ResetTables(db);
  InsertArchived(db, 0, kCalls);
  std::string out = g_work + "/fifodel-pass.out";
  double t0 = Now();
  pid_t pid = StartService(out, 0);
  // Its output is block-buffered in a file, so the pass's end is seen in
  // the database: the tenant counters change in its last transaction.
  while (db->Count("SELECT count(*) FROM configs WHERE value <> "
                   "'1000000000000'") == 0) {
    if (Now() - t0 > 300)
      StopService(pid), Fail("no pass end; see %s", out.c_str());
    usleep(20000);
  }
  kb[0] = StatusKb(pid, "VmHWM:");
  kb[1] = StatusKb(pid, "RssAnon:");
  kb[2] = StatusKb(pid, "RssFile:");
  StopService(pid);
  if (db->Count("SELECT count(*) FROM calls WHERE isarchived=1") != 0 ||
      !OldestGone(kCalls, kCalls))
    Fail("the service's pass did not reclaim all %lld calls", kCalls);
}

}  // namespace

void StartIdleService() {
  g_idle = StartService(g_work + "/fifodel-idle.out", 2048);
  int fds[2];
  if (pipe(fds) != 0) Fail("pipe");
  g_window = fds[1];
  g_watcher = fork();
  if (g_watcher < 0) Fail("fork");
  if (g_watcher == 0) Watch();
  close(fds[1]);
  g_window = fds[0];
}

void Footprint(Db* db) {
  long long kb[3];
  ServicePass(db, kb);
  Progress("idle fifodel: waiting for the end of its minute");
  double w[3];
  if (read(g_window, w, sizeof w) != sizeof w) Fail("no idle measurement");
  waitpid(g_watcher, nullptr, 0);
  long long idle_kb = StatusKb(g_idle, "VmHWM:");
  StopService(g_idle);
  fprintf(
      g_out,
      "\n4. Footprint of the fifodel binary (debug mode)\n"
      "   peak RSS (VmHWM), monitor run with a pass of %lld calls: %lld kB\n"
      "     resident after that pass: %lld kB anonymous, %lld kB "
      "file-backed\n"
      "   peak RSS (VmHWM), idle: %lld kB\n"
      "   CPU while idle over %.1f s: %.6f s on CPU (schedstat), %.0f "
      "ticks utime+stime\n",
      kCalls, kb[0], kb[1], kb[2], idle_kb, w[0], w[1] / 1e9, w[2]);
  AddGoal("peak RSS, MB", kb[0] / 1024.0, true, 10);
  AddGoal("idle CPU, s per minute", w[1] / 1e9 * 60 / w[0], true, 0.1);
}
