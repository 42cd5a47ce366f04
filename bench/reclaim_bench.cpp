// Measures the reclamation pass at scale: against a plain stat+unlink loop
// over the same files, against the find|sort|rm pipeline administrators
// write, over a calls table of growing history, and the service's footprint.
// Run as root by bench/run, which provides PGHOST; prints one table.
#include <dbi/dbi.h>
#include <errno.h>
#include <fcntl.h>
#include <linux/magic.h>
#include <sched.h>
#include <signal.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/statfs.h>
#include <sys/statvfs.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "db.h"
#include "logging.h"
#include "paths.h"
#include "reclaim.h"

#ifndef FIFODEL_BINARY
#define FIFODEL_BINARY "fifodel"
#endif

namespace {

FILE* g_out;         // the table; standard output carries the pass's own lines
std::string g_work;  // scratch directory for the service's output

[[noreturn]] void Fail(const char* format, ...) {
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

// ---- time spent waiting for the database -----------------------------------
//
// The link wraps libdbi's query and connect calls (bench/CMakeLists.txt), so
// a pass's time splits into database round trips and everything else.

double g_dbSeconds = 0;

}  // namespace

extern "C" {
dbi_result __real_dbi_conn_query(dbi_conn conn, const char* statement);
dbi_result __real_dbi_conn_queryf(dbi_conn conn, const char* format, ...);
int __real_dbi_conn_connect(dbi_conn conn);

dbi_result __wrap_dbi_conn_query(dbi_conn conn, const char* statement) {
  double t0 = Now();
  dbi_result result = __real_dbi_conn_query(conn, statement);
  g_dbSeconds += Now() - t0;
  return result;
}

dbi_result __wrap_dbi_conn_queryf(dbi_conn conn, const char* format, ...) {
  va_list args;
  va_start(args, format);
  char* statement = nullptr;
  int n = vasprintf(&statement, format, args);
  va_end(args);
  if (n < 0) return nullptr;
  double t0 = Now();
  dbi_result result = __real_dbi_conn_queryf(conn, "%s", statement);
  g_dbSeconds += Now() - t0;
  free(statement);
  return result;
}

int __wrap_dbi_conn_connect(dbi_conn conn) {
  double t0 = Now();
  int status = __real_dbi_conn_connect(conn);
  g_dbSeconds += Now() - t0;
  return status;
}
}  // extern "C"

namespace {

// ---- file systems ----------------------------------------------------------

void FreshTmpfs(const char* path, unsigned long long size_mb) {
  umount2(path, MNT_DETACH);  // nothing mounted is fine
  char opts[64];
  snprintf(opts, sizeof opts, "mode=755,size=%llum,nr_inodes=4m", size_mb);
  if (mount("tmpfs", path, "tmpfs", 0, opts) != 0)
    Fail("mount tmpfs on %s: %s", path, strerror(errno));
  struct statfs fs;
  if (statfs(path, &fs) != 0 || fs.f_type != TMPFS_MAGIC)
    Fail("%s is not the fresh tmpfs", path);
}

// A mount namespace of our own, so that remounting never reaches the host
// even when the program is started by hand.
void PrivateMounts() {
  if (unshare(CLONE_NEWNS) != 0) Fail("unshare: %s", strerror(errno));
  if (mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0)
    Fail("make / private: %s", strerror(errno));
  FreshTmpfs("/recording/log", 1);
  FreshTmpfs("/var/tolvex/conf", 1);
}

long long UsedInodes(const char* path) {
  struct statvfs sv;
  if (statvfs(path, &sv) != 0) Fail("statvfs %s", path);
  return static_cast<long long>(sv.f_files - sv.f_ffree);
}

// ---- the recording tree ----------------------------------------------------
//
// Call n (0-based, id n+1) lives in hour directory n / kCallsPerHour counted
// from 2024-01-01 00:00, starts n * 7.2 s after it, and has a media file
// "c<id>.wav", its companion "c<id>.wav.g711" and a screen recording
// "screenc<id>.wmv" whose name the pass derives. The SQL below builds the
// same rows.

const int kCallsPerHour = 500;
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

// The three files of call n in the order the pass takes them.
void CallFiles(long long n, std::string out[3]) {
  std::string dir = "/recordings/" + CallDir(n) + "/";
  std::string id = std::to_string(n + 1);
  out[0] = dir + "c" + id + ".wav";
  out[1] = out[0] + ".g711";
  out[2] = dir + "screenc" + id + ".wmv";
}

// Apparent sizes; the files are sparse, so a million of them cost no data
// pages. `tiny` keeps a whole tree below a few tens of MB of apparent size.
long long FileSize(long long n, int k, bool tiny) {
  if (tiny) return 100;
  long long media = 240000 + (n % 997) * 1024;
  if (k == 0) return media;
  if (k == 1) return media * 4;
  return 1000000 + (n % 89) * 4096;
}

struct Tree {
  long long calls = 0;
  long long dirs = 0;
  long long bytes = 0;
};

void MkdirP(const std::string& dir, long long* made) {
  for (size_t pos = dir.find('/', 1); pos != std::string::npos;
       pos = dir.find('/', pos + 1)) {
    if (mkdir(dir.substr(0, pos).c_str(), 0755) == 0) ++*made;
  }
  if (mkdir(dir.c_str(), 0755) == 0) ++*made;
}

// Builds the files of calls 0..calls-1 on the tmpfs at /recordings; with
// `mtimes` each file's modification time grows with the call's age.
Tree MakeTree(long long calls, bool tiny, bool mtimes) {
  Tree tree;
  tree.calls = calls;
  std::string files[3];
  for (long long n = 0; n < calls; ++n) {
    if (n % kCallsPerHour == 0) MkdirP("/recordings/" + CallDir(n), &tree.dirs);
    CallFiles(n, files);
    for (int k = 0; k < 3; ++k) {
      int fd = open(files[k].c_str(), O_CREAT | O_EXCL | O_WRONLY, 0644);
      if (fd < 0) Fail("create %s: %s", files[k].c_str(), strerror(errno));
      long long size = FileSize(n, k, tiny);
      if (ftruncate(fd, size) != 0) Fail("truncate %s", files[k].c_str());
      if (mtimes) {
        timespec times[2] = {{0, UTIME_OMIT}, {kEpoch + 3 * n + k, 0}};
        if (futimens(fd, times) != 0) Fail("futimens %s", files[k].c_str());
      }
      close(fd);
      tree.bytes += size;
    }
  }
  return tree;
}

// Regular files left below /recordings: every inode but the root and the
// tree's directories.
long long FilesLeft(const Tree& tree) {
  return UsedInodes("/recordings") - 1 - tree.dirs;
}

// ---- the database ----------------------------------------------------------

class Db {
 public:
  Db() {
    if (getDbConnection(&conn_) != 0) Fail("cannot connect; is PGHOST set?");
  }
  ~Db() { dbi_conn_close(conn_); }

  std::vector<std::string> Rows(const std::string& sql) {
    dbi_result res = dbi_conn_query(conn_, sql.c_str());
    if (!res) {
      const char* msg = nullptr;
      dbi_conn_error(conn_, &msg);
      Fail("%s: %s", sql.c_str(), msg ? msg : "");
    }
    std::vector<std::string> rows;
    while (dbi_result_next_row(res)) {
      const char* s = dbi_result_get_string_idx(res, 1);
      rows.push_back(s ? s : "");
    }
    dbi_result_free(res);
    return rows;
  }
  void Exec(const std::string& sql) { Rows(sql); }
  // The one number `sql` yields; read as text, as libdbi's string getter
  // gives nothing for other column types.
  long long Count(const std::string& sql) {
    std::vector<std::string> rows = Rows("SELECT (" + sql + ")::text");
    if (rows.size() != 1 || rows[0].empty())
      Fail("no number from %s", sql.c_str());
    return atoll(rows[0].c_str());
  }

 private:
  dbi_conn conn_;
};

// Empty tables but for five tenant counters.
void ResetTables(Db* db) {
  db->Exec("TRUNCATE calls, configs");
  db->Exec(
      "INSERT INTO configs SELECT 'TN' || t || '_DiskUsage', "
      "'1000000000000', 'tenant' FROM generate_series(1, 5) AS t");
}

// The archived rows of calls 0..calls-1, matching MakeTree.
void InsertArchived(Db* db, long long calls) {
  db->Exec(
      "INSERT INTO calls (id, directory, filename, flags, tenantid, screenfn, "
      "isarchived, startdate) SELECT n + 1, to_char(timestamp '2024-01-01' + "
      "(n / " +
      std::to_string(kCallsPerHour) +
      ") * interval '1 hour', 'YYYY/MM/DD/HH24'), 'c' || (n + 1) || '.wav', "
      "2, n % 5 + 1, NULL, 1, timestamp '2024-01-01' + n * interval '7.2 "
      "seconds' FROM generate_series(0, " +
      std::to_string(calls - 1) + ") AS n");
  db->Exec("VACUUM ANALYZE calls");
}

// Non-archived history rows j in [from, to): half already reclaimed and
// older than every archived call, half newer and not archived yet.
void InsertHistory(Db* db, long long from, long long to) {
  if (to <= from) return;
  db->Exec(
      "INSERT INTO calls (id, directory, filename, flags, tenantid, screenfn, "
      "isarchived, startdate) SELECT 10000000 + j, to_char(s, "
      "'YYYY/MM/DD/HH24'), 'h' || j || '.wav', CASE WHEN j % 2 = 0 THEN 4 "
      "ELSE 0 END, j % 5 + 1, NULL, 0, s FROM (SELECT j, CASE WHEN j % 2 = 0 "
      "THEN timestamp '2023-01-01' ELSE timestamp '2024-03-01' END + j * "
      "interval '10 seconds' AS s FROM generate_series(" +
      std::to_string(from) + ", " + std::to_string(to - 1) + ") AS j) AS h");
}

const char kChunkQuery[] =
    "SELECT id,directory,filename,flags,tenantid,screenfn FROM calls WHERE "
    "isarchived=1 ORDER BY startdate ASC LIMIT 200";
const char kIndexDdl[] =
    "CREATE INDEX calls_archived_by_age ON calls (startdate) WHERE "
    "isarchived = 1";

// ---- the pass and its rivals -----------------------------------------------

// With BENCH_PERF_CTL and BENCH_PERF_ACK naming the control and ack fifos of
// `perf record --control=fifo:CTL,ACK -D -1 -a`, only the timed `part`
// ("pass", "loop", "marker-loop" or "find") that BENCH_PERF_PART names is
// profiled.
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

// One real pass freeing `bytes`; checks that exactly the oldest
// `expect_calls` calls of the tree went and returns its wall time, the part
// of it spent in database calls in `*db_s`.
double TimedPass(Db* db, const Tree& tree, long long bytes,
                 long long expect_calls, double* db_s) {
  fflush(stdout);
  Profile("pass", "enable");
  g_dbSeconds = 0;
  double t0 = Now();
  bool pruned = FIFO_delete(bytes, false);
  double t = Now() - t0;
  *db_s = g_dbSeconds;
  Profile("pass", "disable");
  fflush(stdout);
  if (pruned) Fail("the pass pruned directories instead of reclaiming");
  long long left =
      db->Count("SELECT count(*) FROM calls WHERE isarchived=1 AND id <= " +
                std::to_string(tree.calls));
  if (left != tree.calls - expect_calls)
    Fail("pass left %lld archived calls, expected %lld", left,
         tree.calls - expect_calls);
  if (FilesLeft(tree) != 3 * (tree.calls - expect_calls))
    Fail("pass left %lld files, expected %lld", FilesLeft(tree),
         3 * (tree.calls - expect_calls));
  return t;
}

// What the file system allows: stat and unlink over the files of the oldest
// `calls` calls in the pass's order. With `marker` each file also costs the
// lookup of the secure-delete marker that the pass makes per file.
double TimedPlainLoop(const Tree& tree, long long calls, bool marker) {
  std::vector<std::string> paths;
  paths.reserve(3 * calls);
  std::string files[3];
  long long bytes = 0;
  for (long long n = 0; n < calls; ++n) {
    CallFiles(n, files);
    for (int k = 0; k < 3; ++k) {
      paths.push_back(files[k]);
      bytes += FileSize(n, k, false);
    }
  }
  const char* part = marker ? "marker-loop" : "loop";
  long long freed = 0;
  Profile(part, "enable");
  double t0 = Now();
  for (const std::string& path : paths) {
    struct stat st;
    if (stat(path.c_str(), &st) != 0) continue;
    struct stat marker_st;
    if (marker && stat(SECURE_DELETE_MARKER, &marker_st) == 0) continue;
    if (unlink(path.c_str()) == 0) freed += st.st_size;
  }
  double t = Now() - t0;
  Profile(part, "disable");
  if (freed != bytes || FilesLeft(tree) != 3 * (tree.calls - calls))
    Fail("plain loop freed %lld of %lld bytes", freed, bytes);
  return t;
}

double TimedShell(const std::string& cmd) {
  fflush(nullptr);
  Profile("find", "enable");
  double t0 = Now();
  int status = system(cmd.c_str());
  double t = Now() - t0;
  Profile("find", "disable");
  if (status != 0) Fail("%s: status %d", cmd.c_str(), status);
  return t;
}

// ---- the service binary ----------------------------------------------------

// Starts `fifodel debug` with its output in `out_path`; with `own_tmpfs_mb`
// it first gets a mount namespace of its own with a /recordings of that size.
pid_t StartService(const std::string& out_path,
                   unsigned long long own_tmpfs_mb) {
  fflush(nullptr);
  pid_t pid = fork();
  if (pid < 0) Fail("fork");
  if (pid > 0) return pid;
  if (own_tmpfs_mb) {
    if (unshare(CLONE_NEWNS) != 0) _exit(127);
    FreshTmpfs("/recordings", own_tmpfs_mb);
  }
  int fd = open(out_path.c_str(), O_CREAT | O_TRUNC | O_WRONLY, 0644);
  if (fd < 0 || dup2(fd, 1) < 0 || dup2(fd, 2) < 0) _exit(127);
  close(fd);
  execl(FIFODEL_BINARY, "fifodel", "debug", static_cast<char*>(nullptr));
  _exit(127);
}

void StopService(pid_t pid) {
  kill(pid, SIGTERM);
  int status;
  waitpid(pid, &status, 0);
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

// CPU time so far: on-CPU nanoseconds from schedstat, and utime+stime ticks.
struct CpuTime {
  long long ns;
  long long ticks;
};

CpuTime ReadCpu(pid_t pid) {
  std::string base = "/proc/" + std::to_string(pid);
  CpuTime cpu{atoll(ReadFile(base + "/schedstat").c_str()), 0};
  std::string stat = ReadFile(base + "/stat");
  // Fields after the parenthesised name; utime and stime are 14 and 15.
  std::istringstream in(stat.substr(stat.rfind(')') + 2));
  std::string field;
  for (int i = 3; i <= 15 && in >> field; ++i)
    if (i >= 14) cpu.ticks += atoll(field.c_str());
  return cpu;
}

// The 1, 5 and 15 minute load averages: other work on the machine.
std::string LoadAverage() {
  std::istringstream in(ReadFile("/proc/loadavg"));
  std::string a, b, c;
  in >> a >> b >> c;
  return a + " " + b + " " + c;
}

// ---- the four measurements -------------------------------------------------
//
// Other work on the machine only ever adds time, so each timing is the best
// of kRounds, each round on fresh trees.

const int kRounds = 3;

// Keeps the fastest of several timed runs, with the database part of it.
struct Best {
  double s = 1e9, db_s = 0;
  void Add(double t, double db) {
    if (t < s) s = t, db_s = db;
  }
};

struct LoopRow {
  long long calls;
  Best pass, loop, marker_loop;
};

LoopRow PassVsLoop(Db* db, long long calls) {
  LoopRow row{calls, {}, {}, {}};
  for (int round = 1; round <= kRounds; ++round) {
    Progress("pass vs plain loop, %lld calls, round %d", calls, round);
    FreshTmpfs("/recordings", 4096);
    Tree tree = MakeTree(calls, false, false);
    ResetTables(db);
    InsertArchived(db, calls);
    double db_s;
    double t = TimedPass(db, tree, tree.bytes, calls, &db_s);
    row.pass.Add(t, db_s);
    for (bool marker : {false, true}) {
      FreshTmpfs("/recordings", 4096);
      MakeTree(calls, false, false);
      t = TimedPlainLoop(tree, calls, marker);
      (marker ? row.marker_loop : row.loop).Add(t, 0);
    }
  }
  return row;
}

struct FindRow {
  long long files, gone_files, gone_bytes;
  Best find, fifodel, loop;
};

FindRow FindVsFifodel(Db* db, long long calls) {
  long long gone = calls / 10;
  FindRow row{3 * calls, 3 * gone, 0, {}, {}, {}};
  for (long long n = 0; n < gone; ++n)
    for (int k = 0; k < 3; ++k) row.gone_bytes += FileSize(n, k, false);
  std::string oldest_kept[3], newest_gone[3];
  CallFiles(gone, oldest_kept);
  CallFiles(gone - 1, newest_gone);

  for (int round = 1; round <= kRounds; ++round) {
    Progress("find|sort|rm vs fifodel, %lld files, round %d", row.files, round);
    FreshTmpfs("/recordings", 4096);
    Tree tree = MakeTree(calls, false, true);
    // The time stamp must be cut off before rm: with it every name is wrong,
    // and rm -f removes nothing without a word.
    double t = TimedShell(
        "find /recordings -type f -printf '%T@ %p\\n' | sort -n | head -n " +
        std::to_string(row.gone_files) +
        " | cut -d ' ' -f 2- | xargs -d '\\n' rm -f");
    row.find.Add(t, 0);
    if (FilesLeft(tree) != row.files - row.gone_files ||
        access(oldest_kept[0].c_str(), F_OK) != 0 ||
        access(newest_gone[2].c_str(), F_OK) == 0)
      Fail("find|sort|rm left %lld files, expected %lld newer ones",
           FilesLeft(tree), row.files - row.gone_files);

    FreshTmpfs("/recordings", 4096);
    MakeTree(calls, false, true);
    ResetTables(db);
    InsertArchived(db, calls);
    double db_s;
    t = TimedPass(db, tree, row.gone_bytes, gone, &db_s);
    row.fifodel.Add(t, db_s);

    FreshTmpfs("/recordings", 4096);
    MakeTree(calls, false, true);
    row.loop.Add(TimedPlainLoop(tree, gone, false), 0);
  }
  return row;
}

struct ScaleRow {
  long long history;
  Best with_index, without;  // per call
};

const long long kScaleCalls = 10000;

// Best time per call of kRounds passes over the same 10,000 archived calls.
Best ScalePass(Db* db) {
  Best best;
  for (int round = 1; round <= kRounds; ++round) {
    FreshTmpfs("/recordings", 4096);
    Tree tree = MakeTree(kScaleCalls, false, false);
    db->Exec("DELETE FROM calls WHERE id <= " + std::to_string(kScaleCalls));
    db->Exec("UPDATE configs SET value = '1000000000000'");
    InsertArchived(db, kScaleCalls);
    double db_s;
    double t = TimedPass(db, tree, tree.bytes, kScaleCalls, &db_s);
    best.Add(t / kScaleCalls, db_s / kScaleCalls);
  }
  return best;
}

std::vector<ScaleRow> TableScale(Db* db, std::vector<std::string>* plan) {
  std::vector<ScaleRow> rows;
  ResetTables(db);
  long long loaded = 0;
  for (long long history : {0LL, 100000LL, 1000000LL}) {
    Progress("10,000 calls among %lld history rows", history);
    InsertHistory(db, loaded, history);
    loaded = history;
    ScaleRow row{history, {}, {}};
    row.with_index = ScalePass(db);
    if (history == 1000000) {
      // The plan as it stands when a pass starts: 10,000 archived rows.
      db->Exec("DELETE FROM calls WHERE id <= " + std::to_string(kScaleCalls));
      InsertArchived(db, kScaleCalls);
      *plan = db->Rows(std::string("EXPLAIN ") + kChunkQuery);
    }
    db->Exec("DROP INDEX calls_archived_by_age");
    row.without = ScalePass(db);
    db->Exec(kIndexDdl);
    rows.push_back(row);
  }
  return rows;
}

struct Footprint {
  long long pass_calls;
  long long peak_rss_kb, rss_anon_kb, rss_file_kb;
  double idle_window_s;
  CpuTime idle_cpu;
  long long idle_peak_rss_kb;
};

// The service reclaiming a pass of `calls` calls: /recordings of 200 MB is
// below the 250 MB trigger level, and the tree's apparent size (300 bytes a
// call) is less than the 50 MB the monitor asks for, so one pass takes every
// call. VmHWM is read once that pass has ended.
void ServicePass(Db* db, long long calls, Footprint* fp) {
  Progress("fifodel debug: a monitor run with a pass of %lld calls", calls);
  FreshTmpfs("/recordings", 200);
  Tree tree = MakeTree(calls, true, false);
  ResetTables(db);
  InsertArchived(db, calls);
  std::string out = g_work + "/fifodel-pass.out";
  double t0 = Now();
  pid_t pid = StartService(out, 0);
  // Its output is block-buffered in a file, so the pass's end is seen in the
  // database: the tenant counters change in its last transaction.
  while (db->Count("SELECT count(*) FROM configs WHERE value <> "
                   "'1000000000000'") == 0) {
    if (Now() - t0 > 300) {
      StopService(pid);
      Fail("no pass end after 300 s; see %s", out.c_str());
    }
    usleep(20000);
  }
  fp->peak_rss_kb = StatusKb(pid, "VmHWM:");
  fp->rss_anon_kb = StatusKb(pid, "RssAnon:");
  fp->rss_file_kb = StatusKb(pid, "RssFile:");
  StopService(pid);
  fp->pass_calls = calls;
  if (db->Count("SELECT count(*) FROM calls WHERE isarchived=1") != 0 ||
      FilesLeft(tree) != 0)
    Fail("the service's pass did not reclaim all %lld calls", calls);
}

void PrintGoal(const char* what, double value, const char* op, double limit,
               bool met) {
  fprintf(g_out, "  %-46s %10.4g %s %-8g %s\n", what, value, op, limit,
          met ? "met" : "MISSED");
}

}  // namespace

int main(int argc, char** argv) {
  if (geteuid() != 0) Fail("run as root (mount namespace), via bench/run");
  if (argc < 2) Fail("usage: reclaim_bench WORKDIR [1|2|3|4]...");
  g_work = argv[1];
  bool run[5] = {false, argc == 2, argc == 2, argc == 2, argc == 2};
  for (int i = 2; i < argc; ++i) {
    int which = atoi(argv[i]);
    if (which < 1 || which > 4) Fail("no measurement %s", argv[i]);
    run[which] = true;
  }
  // The table keeps the real standard output; the pass's lines go to a file
  // so that writing them costs what a quiet log would.
  g_out = fdopen(dup(1), "w");
  std::string log = g_work + "/pass.log";
  if (!g_out || !freopen(log.c_str(), "w", stdout)) Fail("redirect output");
  g_useSysLogger = false;
  PrivateMounts();
  dbi_initialize_r(nullptr, &g_DbiInst);

  // The idle minute runs beside the others, in a namespace of its own with
  // 2 GB free, above four times the trigger level; a watcher process reads
  // its CPU time one second after start and 60 s later.
  Footprint fp{};
  pid_t idle = 0, watcher = 0;
  int idle_pipe[2];
  if (run[4]) {
    idle = StartService(g_work + "/fifodel-idle.out", 2048);
    if (pipe(idle_pipe) != 0) Fail("pipe");
    watcher = fork();
    if (watcher < 0) Fail("fork");
    if (watcher == 0) {
      sleep(1);  // past start-up
      double t0 = Now();
      CpuTime c0 = ReadCpu(idle);
      sleep(60);
      CpuTime c1 = ReadCpu(idle);
      double window[3] = {Now() - t0, static_cast<double>(c1.ns - c0.ns),
                          static_cast<double>(c1.ticks - c0.ticks)};
      _exit(write(idle_pipe[1], window, sizeof window) == sizeof window ? 0
                                                                        : 1);
    }
    close(idle_pipe[1]);
  }

  std::string load_before = LoadAverage();
  double started = Now();
  Db db;
  std::vector<LoopRow> loops;
  if (run[1])
    for (long long calls : {10000LL, 100000LL})
      loops.push_back(PassVsLoop(&db, calls));
  FindRow find{};
  if (run[2]) find = FindVsFifodel(&db, 333330);
  std::vector<ScaleRow> scale;
  std::vector<std::string> plan;
  if (run[3]) scale = TableScale(&db, &plan);
  if (run[4]) {
    ServicePass(&db, 100000, &fp);
    Progress("idle fifodel: waiting for the end of its minute");
    double window[3];
    if (read(idle_pipe[0], window, sizeof window) != sizeof window)
      Fail("no idle measurement");
    waitpid(watcher, nullptr, 0);
    fp.idle_window_s = window[0];
    fp.idle_cpu = {static_cast<long long>(window[1]),
                   static_cast<long long>(window[2])};
    fp.idle_peak_rss_kb = StatusKb(idle, "VmHWM:");
    StopService(idle);
  }
  double total = Now() - started;
  std::string load_after = LoadAverage();

  fprintf(g_out,
          "\nfifodel reclamation benchmark: tmpfs /recordings, sparse files, "
          "private PostgreSQL;\ntimings of 1 to 3 are the best of %d rounds, "
          "each on fresh trees\n",
          kRounds);
  if (run[1]) {
    fprintf(g_out,
            "\n1. One pass vs plain stat+unlink loop, same files in the same "
            "order\n"
            "   %7s %7s | %7s %7s %8s %8s | %7s %8s %8s | %9s | %7s %9s\n",
            "calls", "files", "pass s", "(db s)", "calls/s", "files/s",
            "loop s", "calls/s", "files/s", "pass/loop", "l+m s", "pass/(l+m)");
    for (const LoopRow& r : loops)
      fprintf(g_out,
              "   %7lld %7lld | %7.3f %7.3f %8.0f %8.0f | %7.3f %8.0f %8.0f | "
              "%9.2f | %7.3f %9.2f\n",
              r.calls, 3 * r.calls, r.pass.s, r.pass.db_s, r.calls / r.pass.s,
              3 * r.calls / r.pass.s, r.loop.s, r.calls / r.loop.s,
              3 * r.calls / r.loop.s, r.pass.s / r.loop.s, r.marker_loop.s,
              r.pass.s / r.marker_loop.s);
    fprintf(g_out,
            "   db s: the pass's time inside database calls. l+m: the plain "
            "loop plus the lookup\n   of the secure-delete marker that the "
            "pass makes for every file.\n");
  }
  if (run[2]) {
    fprintf(g_out,
            "\n2. find|sort|head|cut|xargs rm vs fifodel on %lld files; the "
            "oldest %lld files\n   (%lld bytes) go\n"
            "   %-40s %8.3f s\n   %-40s %8.3f s (db %.3f s)\n"
            "   %-40s %8.3f s\n   %-40s %8.2f\n   %-40s %8.2f\n",
            find.files, find.gone_files, find.gone_bytes, "find-sort-remove",
            find.find.s, "fifodel pass", find.fifodel.s, find.fifodel.db_s,
            "plain stat+unlink loop, same files", find.loop.s,
            "find-sort-remove / fifodel", find.find.s / find.fifodel.s,
            "find-sort-remove / plain loop", find.find.s / find.loop.s);
  }
  if (run[3]) {
    fprintf(g_out,
            "\n3. 10,000 archived calls reclaimed among non-archived "
            "history: microseconds per call\n"
            "   %12s | %10s %8s | %10s %8s\n",
            "history rows", "with index", "(db)", "without", "(db)");
    for (const ScaleRow& r : scale)
      fprintf(g_out, "   %12lld | %10.1f %8.1f | %10.1f %8.1f\n", r.history,
              r.with_index.s * 1e6, r.with_index.db_s * 1e6, r.without.s * 1e6,
              r.without.db_s * 1e6);
    fprintf(g_out, "   EXPLAIN of the chunk query, 1,000,000 history rows:\n");
    for (const std::string& line : plan)
      fprintf(g_out, "     %s\n", line.c_str());
  }
  if (run[4]) {
    fprintf(g_out,
            "\n4. Footprint of the fifodel binary (debug mode)\n"
            "   peak RSS (VmHWM), monitor run with a pass of %lld calls: "
            "%lld kB\n"
            "     resident after that pass: %lld kB anonymous, %lld kB "
            "file-backed\n"
            "   peak RSS (VmHWM), idle: %lld kB\n"
            "   CPU while idle over %.1f s: %.6f s on CPU (schedstat), "
            "%lld ticks utime+stime\n",
            fp.pass_calls, fp.peak_rss_kb, fp.rss_anon_kb, fp.rss_file_kb,
            fp.idle_peak_rss_kb, fp.idle_window_s, fp.idle_cpu.ns / 1e9,
            fp.idle_cpu.ticks);
  }
  fprintf(g_out, "\nGoals\n");
  if (run[1])
    PrintGoal("pass / plain loop at 100,000 calls",
              loops[1].pass.s / loops[1].loop.s, "<=", 1.5,
              loops[1].pass.s / loops[1].loop.s <= 1.5);
  if (run[2])
    PrintGoal("find-sort-remove / fifodel", find.find.s / find.fifodel.s,
              ">=", 5, find.find.s / find.fifodel.s >= 5);
  if (run[3])
    PrintGoal("per call with index, 1,000,000 / 0 history",
              scale[2].with_index.s / scale[0].with_index.s, "<=", 1.2,
              scale[2].with_index.s / scale[0].with_index.s <= 1.2);
  if (run[4]) {
    PrintGoal("peak RSS, MB", fp.peak_rss_kb / 1024.0, "<", 10,
              fp.peak_rss_kb < 10 * 1024);
    double per_min = fp.idle_cpu.ns / 1e9 * 60 / fp.idle_window_s;
    PrintGoal("idle CPU, s per minute", per_min, "<", 0.1, per_min < 0.1);
  }
  fprintf(g_out,
          "\nmeasurements took %.0f s; load average before %s, after %s\n",
          total, load_before.c_str(), load_after.c_str());
  fclose(g_out);
  return 0;
}
