// 5. Keeping up with a recorder. The real service (debug mode, time as it
// is) watches a 400 MB tmpfs, trigger level 250 MB, while a simulated
// recorder writes calls into the current hour directory at a set rate: a
// 1 MiB media file and a 64 KiB companion each, a row, the tenant's counter
// raised as the recording system would, the row archived 3 s later. One
// recorded hour passes every 20 s, so that the oldest hour moves on often.
// A recording that meets a full disk (ENOSPC) is lost. Afterwards each
// tenant's counter must equal the bytes its calls still hold.
#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <deque>
#include <map>
#include <sstream>

#include "measurements.h"
#include "sandbox.h"

#ifndef FIFODEL_BINARY
#define FIFODEL_BINARY "fifodel"
#endif

namespace {

const long long kMedia = 1 << 20, kCompanion = 64 << 10;

struct Run {
  long long written = 0, lost = 0, minFree = 1LL << 62, id = 0;
  std::deque<std::pair<double, long long>> unarchived;  // written at, id
};

long long FreeBytes() {
  struct statvfs sv;
  statvfs("/recordings", &sv);
  return sv.f_bavail * sv.f_bsize;
}

// "2024/01/DD/HH" of recorded hour `h`.
std::string HourDir(long long h) {
  char dir[32];
  snprintf(dir, sizeof dir, "2024/01/%02lld/%02lld", h / 24 + 1, h % 24);
  return dir;
}

bool Write(const std::string& path, long long bytes) {
  int fd = open(path.c_str(), O_CREAT | O_WRONLY | O_TRUNC, 0644);
  bool ok = fd >= 0 && posix_fallocate(fd, 0, bytes) == 0;
  if (fd >= 0) close(fd);
  if (!ok) unlink(path.c_str());
  return ok;
}

// One call of the recorder at `t` seconds into the run.
void Record(Db* db, Run* run, double t) {
  long long id = ++run->id, tenant = id % 3 + 1;
  const std::string dir = HourDir(static_cast<long long>(t / 20));
  for (size_t len : {4, 7, 10, 13})
    mkdir(("/recordings/" + dir.substr(0, len)).c_str(), 0755);
  const std::string media =
      "/recordings/" + dir + "/c" + std::to_string(id) + ".wav";
  if (!Write(media, kMedia) || !Write(media + ".g711", kCompanion)) {
    unlink(media.c_str());
    ++run->lost;
    return;
  }
  run->minFree = std::min(run->minFree, FreeBytes());
  run->written += kMedia + kCompanion;
  db->Exec(
      "INSERT INTO calls VALUES (" + std::to_string(id) + ", '" + dir +
      "', 'c" + std::to_string(id) + ".wav', 0, " + std::to_string(tenant) +
      ", NULL, 0, timestamp '2024-01-01' + interval '" + std::to_string(t) +
      " s'); UPDATE configs SET value = value::bigint + " +
      std::to_string(kMedia + kCompanion) + " WHERE param = 'TN" +
      std::to_string(tenant) + "_DiskUsage'");
  run->unarchived.emplace_back(t, id);
}

void Archive(Db* db, Run* run, double t) {
  long long upto = 0;
  while (!run->unarchived.empty() && run->unarchived.front().first < t - 3) {
    upto = run->unarchived.front().second;
    run->unarchived.pop_front();
  }
  if (upto)
    db->Exec(
        "UPDATE calls SET isarchived = 1 WHERE isarchived = 0 AND "
        "flags & 4 = 0 AND id <= " +
        std::to_string(upto));
}

pid_t StartService(const std::string& out) {
  fflush(nullptr);
  pid_t pid = fork();
  if (pid == 0) {
    if (!freopen(out.c_str(), "w", stdout) || dup2(1, 2) < 0) _exit(127);
    execl(FIFODEL_BINARY, "fifodel", "debug", static_cast<char*>(nullptr));
    _exit(127);
  }
  return pid;
}

long long Fds(pid_t pid) {
  long long n = 0;
  DIR* d = opendir(("/proc/" + std::to_string(pid) + "/fd").c_str());
  while (d && readdir(d)) ++n;
  if (d) closedir(d);
  return n - 2;
}

long long Count(const std::string& text, const std::string& what) {
  long long n = 0;
  for (size_t at = 0; (at = text.find(what, at)) != std::string::npos; ++at)
    ++n;
  return n;
}

// Whether each tenant's counter equals the bytes its calls still hold.
bool CountersExact(Db* db) {
  std::map<long long, long long> held;
  for (const std::string& row : db->Rows(
           "SELECT tenantid || '|' || directory || '/' || filename FROM calls"))
    for (const char* ext : {"", ".g711"}) {
      struct stat st;
      std::string path = "/recordings/" + row.substr(row.find('|') + 1) + ext;
      if (stat(path.c_str(), &st) == 0) held[atoll(row.c_str())] += st.st_size;
    }
  for (long long t = 1; t <= 3; ++t)
    if (db->Count("SELECT value::bigint - 1000000000000 FROM configs WHERE "
                  "param = 'TN" +
                  std::to_string(t) + "_DiskUsage'") != held[t])
      return false;
  return true;
}

void KeepUp(Db* db, int mibps, int seconds) {
  Progress("keepup: %d MiB/s for %d s", mibps, seconds);
  FreshTmpfs("/recordings", 400);
  ResetTables(db);
  const std::string out = g_work + "/keepup.out";
  pid_t pid = StartService(out);
  usleep(500000);
  long long fds0 = Fds(pid), rss0 = StatusKb(pid, "VmRSS:");
  Run run;
  double start = Now(), t;
  while ((t = Now() - start) < seconds) {
    while (run.id < t * mibps * kMedia / (kMedia + kCompanion) * 1.0 + 1)
      Record(db, &run, t);
    Archive(db, &run, t);
    usleep(20000);
  }
  long long fds1 = Fds(pid), rss1 = StatusKb(pid, "VmRSS:");
  kill(pid, SIGTERM);
  waitpid(pid, nullptr, 0);
  const std::string text = ReadFile(out);
  fprintf(
      g_out,
      "   %5d %6d %6lld %5lld %9lld %6lld %6lld %3lld>%-3lld %5lld>%-5lld %s\n",
      mibps, seconds, run.id, run.lost, run.minFree >> 20,
      Count(text, " bytes to free\n"), Count(text, "FIFO delete directory:"),
      fds0, fds1, rss0, rss1, CountersExact(db) ? "yes" : "NO");
  fflush(g_out);
  if (mibps == 40 && seconds >= 300) {
    AddGoal("keepup: recordings lost at 40 MiB/s in 5 min", run.lost, true, 0);
    AddGoal("keepup: counters exact (1 = yes)", CountersExact(db), false, 1);
  }
}

}  // namespace

void KeepUpWithRecorder(Db* db) {
  fprintf(g_out,
          "\n5. Keeping up with a recorder: 400 MB tmpfs, trigger level 250 MB,"
          "\n   1 MiB + 64 KiB a call, archived after 3 s, a recorded hour "
          "every 20 s"
          "\n   MiB/s      s  calls  lost  min free MB passes prunes   fds    "
          "RSS kB exact\n");
  const char* only = getenv("KEEPUP_RATES");  // "40:300 48:60", say
  std::istringstream in(only ? only : "32:60 48:60 40:300");
  for (std::string r; in >> r;)
    KeepUp(db, atoi(r.c_str()), atoi(r.c_str() + r.find(':') + 1));
}
