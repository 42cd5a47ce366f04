// The recording tree of the benchmark and the pass's rivals on it.
#include <errno.h>
#include <fcntl.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <set>
#include <string>
#include <thread>

#include "harness.h"

namespace {

const time_t kEpoch = 1704067200;  // 2024-01-01 00:00:00 UTC

std::string CallDir(long long n) {
  time_t t = kEpoch + (n / kCallsPerHour) * 3600;
  struct tm tm;
  gmtime_r(&t, &tm);
  char buf[32];
  snprintf(buf, sizeof buf, "%04d/%02d/%02d/%02d", tm.tm_year + 1900,
           tm.tm_mon + 1, tm.tm_mday, tm.tm_hour);
  return buf;
}

void MkdirP(const std::string& dir) {
  for (size_t pos = dir.find('/', 1); pos != std::string::npos;
       pos = dir.find('/', pos + 1))
    mkdir(dir.substr(0, pos).c_str(), 0755);
  mkdir(dir.c_str(), 0755);
}

void MakeFile(const std::string& path, long long size, time_t mtime) {
  int fd = open(path.c_str(), O_CREAT | O_EXCL | O_WRONLY, 0644);
  if (fd < 0) Fail("create %s: %s", path.c_str(), strerror(errno));
  if (ftruncate(fd, size) != 0) Fail("truncate %s", path.c_str());
  if (mtime) {
    timespec times[2] = {{0, UTIME_OMIT}, {mtime, 0}};
    if (futimens(fd, times) != 0) Fail("futimens %s", path.c_str());
  }
  close(fd);
}

}  // namespace

std::vector<std::string> CallFiles(long long n) {
  std::string dir = "/recordings/" + CallDir(n) + "/";
  std::string id = std::to_string(n + 1);
  std::vector<std::string> files = {dir + "c" + id + ".wav"};
  files.push_back(files[0] + ".g711");
  if (n % 2 == 0) files.push_back(dir + "screenc" + id + ".wmv");
  return files;
}

long long FileSize(long long n, int k, bool tiny) {
  if (tiny) return 100;
  long long media = 240000 + (n % 997) * 1024;
  if (k == 0) return media;
  if (k == 1) return media * 4;
  return 1000000 + (n % 89) * 4096;
}

long long MakeCalls(long long from, long long to, bool tiny, bool mtimes) {
  long long bytes = 0;
  for (long long n = from; n < to; ++n) {
    if (n == from || n % kCallsPerHour == 0)
      MkdirP("/recordings/" + CallDir(n));
    std::vector<std::string> files = CallFiles(n);
    for (size_t k = 0; k < files.size(); ++k) {
      long long size = FileSize(n, k, tiny);
      MakeFile(files[k], size, mtimes ? kEpoch + 3 * n + k : 0);
      bytes += size;
    }
  }
  return bytes;
}

double TimedPlainLoop(long long calls) {
  std::vector<std::string> paths;  // built before: only the calls are timed
  for (long long n = 0; n < calls; ++n)
    for (std::string& f : CallFiles(n)) paths.push_back(std::move(f));
  Profile("loop", "enable");
  double t0 = Now();
  struct stat st;
  for (const std::string& f : paths) {
    if (stat(f.c_str(), &st) != 0 || unlink(f.c_str()) != 0)
      Fail("plain loop: %s: %s", f.c_str(), strerror(errno));
  }
  double t = Now() - t0;
  Profile("loop", "disable");
  return t;
}

namespace {

void StatUnlink(const std::vector<std::string>& paths, size_t from, size_t to) {
  struct stat st;
  for (size_t i = from; i < to; ++i) {
    const char* f = paths[i].c_str();
    if (stat(f, &st) != 0 || unlink(f) != 0)
      Fail("loop: %s: %s", f, strerror(errno));
  }
}

}  // namespace

double TimedTwoThreadLoop(long long calls) {
  std::vector<std::string> paths;
  std::vector<size_t> chunk_ends;  // a chunk is 200 calls, as in the pass
  for (long long n = 0; n < calls; ++n) {
    for (std::string& f : CallFiles(n)) paths.push_back(std::move(f));
    if ((n + 1) % 200 == 0 || n + 1 == calls)
      chunk_ends.push_back(paths.size());
  }
  double t0 = Now();
  size_t begin = 0;
  for (size_t end : chunk_ends) {
    size_t half = begin + (end - begin) / 2;
    std::thread helper(StatUnlink, std::cref(paths), half, end);
    StatUnlink(paths, begin, half);
    helper.join();
    begin = end;
  }
  return Now() - t0;
}

namespace {

// What a chunk's durability costs the pass: its directories synced, its
// audit lines and the journal's note of them synced; seconds.
double ChunkSyncs(const std::vector<std::vector<std::string>>& files,
                  size_t from, size_t to, int audit, int journal) {
  double t0 = Now();
  std::set<std::string> dirs;
  for (size_t n = from; n < to; ++n)
    for (const std::string& f : files[n])
      dirs.insert(f.substr(0, f.rfind('/')));
  for (const std::string& d : dirs) {
    int fd = open(d.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0 || fsync(fd) != 0)
      Fail("sync %s: %s", d.c_str(), strerror(errno));
    close(fd);
  }
  if (fdatasync(audit) != 0 || write(journal, "A 1 0123abcd\n", 13) < 0 ||
      fdatasync(journal) != 0)
    Fail("bookkeeping loop: syncs: %s", strerror(errno));
  return Now() - t0;
}

}  // namespace

// The plain loop plus the system calls the pass makes beside stat and
// unlink, in the pass's order: per chunk of 200 calls the secure-delete
// marker looked up for each call and every file looked at, the chunk's
// intents written to a journal with one write and one fdatasync, the files
// unlinked, their directories synced, and their lines appended to an audit
// file opened for them, synced and noted in the journal. The pass's own
// paths, so that they sit on the same file systems.
double TimedBookkeepingLoop(long long calls, double* sync_s) {
  std::vector<std::vector<std::string>> files;
  for (long long n = 0; n < calls; ++n) files.push_back(CallFiles(n));
  int conf = open("/var/tolvex/conf", O_RDONLY | O_DIRECTORY);
  int journal = open("/var/lib/fifodel/bench.journal",
                     O_WRONLY | O_CREAT | O_APPEND | O_TRUNC, 0600);
  if (conf < 0 || journal < 0) Fail("bookkeeping loop: %s", strerror(errno));
  double t0 = Now();
  *sync_s = 0;
  struct stat st;
  for (size_t from = 0; from < files.size(); from += 200) {
    const size_t to = std::min(files.size(), from + 200);
    std::string intents, lines;
    for (size_t n = from; n < to; ++n) {
      fstatat(conf, "opt_secure_delete", &st, 0);
      for (const std::string& f : files[n]) {
        if (stat(f.c_str(), &st) != 0) Fail("stat %s", f.c_str());
        intents += "I 1234567 3 1048576 " + std::to_string(st.st_ino) + " u " +
                   f + " 0123abcd\n";
      }
      lines += files[n][0] + "\n";
    }
    if (write(journal, intents.data(), intents.size()) < 0 ||
        fdatasync(journal) != 0)
      Fail("bookkeeping loop: journal: %s", strerror(errno));
    for (size_t n = from; n < to; ++n)
      for (const std::string& f : files[n])
        if (unlink(f.c_str()) != 0)
          Fail("unlink %s: %s", f.c_str(), strerror(errno));
    int audit = open("/var/log/fifodel/bench.audit",
                     O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0640);
    if (audit < 0 || fchmod(audit, 0640) != 0 ||
        write(audit, lines.data(), lines.size()) < 0)
      Fail("bookkeeping loop: audit: %s", strerror(errno));
    *sync_s += ChunkSyncs(files, from, to, audit, journal);
    close(audit);
  }
  double t = Now() - t0;
  close(conf);
  close(journal);
  return t;
}

double TimedShell(const std::string& cmd) {
  fflush(nullptr);
  Profile("find", "enable");
  double t0 = Now();
  int status = system(cmd.c_str());
  double t = Now() - t0;
  Profile("find", "disable");
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0)
    Fail("%s: status %d", cmd.c_str(), status);
  return t;
}

bool OldestGone(long long calls, long long gone) {
  struct stat st;
  for (long long n = 0; n < gone; ++n)
    for (const std::string& f : CallFiles(n))
      if (lstat(f.c_str(), &st) == 0) {
        Progress("still there: %s", f.c_str());
        return false;
      }
  for (long long n : {gone, gone + 1, calls - 1}) {
    if (n < gone || n >= calls) continue;
    for (const std::string& f : CallFiles(n))
      if (lstat(f.c_str(), &st) != 0) {
        Progress("gone: %s", f.c_str());
        return false;
      }
  }
  return true;
}
