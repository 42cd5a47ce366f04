// Output, file systems and processes of the benchmark.
#include "harness.h"

#include <errno.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/mount.h>
#include <time.h>
#include <unistd.h>

#include <fstream>
#include <sstream>

#include "sandbox.h"

FILE* g_out;
std::string g_work;

namespace {

std::vector<Goal> g_goals;

}  // namespace

void Fail(const char* format, ...) {
  va_list args;
  va_start(args, format);
  fputs("reclaim_bench: ", stderr);
  vfprintf(stderr, format, args);
  fputc('\n', stderr);
  va_end(args);
  exit(1);
}

void Progress(const char* format, ...) {
  va_list args;
  va_start(args, format);
  fputs("  .. ", stderr);
  vfprintf(stderr, format, args);
  fputc('\n', stderr);
  va_end(args);
}

double Now() {
  timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return ts.tv_sec + ts.tv_nsec / 1e9;
}

void AddGoal(const std::string& what, double value, bool at_most,
             double limit) {
  g_goals.push_back({what, value, at_most, limit});
}

const std::vector<Goal>& Goals() { return g_goals; }

void Profile(const char* part, const char* what) {
  const char* ctl = getenv("BENCH_PERF_CTL");
  const char* ack = getenv("BENCH_PERF_ACK");
  const char* only = getenv("BENCH_PERF_PART");
  if (!ctl || !ack || !only || strcmp(only, part) != 0) return;
  FILE* c = fopen(ctl, "w");
  if (!c) Fail("open %s", ctl);
  fprintf(c, "%s\n", what);
  fclose(c);
  char buf[16];
  FILE* a = fopen(ack, "r");
  if (!a || !fgets(buf, sizeof buf, a)) Fail("no ack from perf");
  fclose(a);
}

void TmpfsRecordings() { FreshTmpfs("/recordings", 4096); }

void Ext4Recordings(int gb, long long inodes) {
  umount2("/recordings", MNT_DETACH);
  std::string image = g_work + "/recordings.ext4";
  unlink(image.c_str());
  // No lazy initialisation: its kernel thread would write beside the timed
  // parts for minutes.
  std::string cmd = "truncate -s " + std::to_string(gb) + "G " + image +
                    " && mkfs.ext4 -q -F -N " + std::to_string(inodes) +
                    " -E lazy_itable_init=0,lazy_journal_init=0 " + image +
                    " && mount -o loop " + image + " /recordings";
  if (system(cmd.c_str()) != 0) Fail("%s", cmd.c_str());
  // The mount holds the image open; unlinked, it goes with the namespace.
  unlink(image.c_str());
}

void DropCaches() {
  sync();
  std::ofstream("/proc/sys/vm/drop_caches") << "3\n";
}

std::string ReadFile(const std::string& path) {
  std::ifstream in(path);
  std::stringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

long long StatusKb(pid_t pid, const char* field) {
  std::istringstream in(ReadFile("/proc/" + std::to_string(pid) + "/status"));
  for (std::string line; std::getline(in, line);) {
    if (line.compare(0, strlen(field), field) == 0)
      return atoll(line.c_str() + strlen(field) + 1);
  }
  Fail("no %s for pid %d", field, pid);
}

// The 1, 5 and 15 minute load averages: other work on the machine.
std::string LoadAverage() {
  std::istringstream in(ReadFile("/proc/loadavg"));
  std::string a, b, c;
  in >> a >> b >> c;
  return a + " " + b + " " + c;
}
