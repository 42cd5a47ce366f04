// What every measurement of the reclamation benchmark shares: the table it
// prints, the recording tree it builds, the file systems it builds it on, the
// database, the timed pass and its rivals. Runs as root inside the
// namespaces that bench/run enters (scripts/sandbox.sh), with PGHOST set.
#ifndef FIFODEL_BENCH_HARNESS_H_
#define FIFODEL_BENCH_HARNESS_H_

#include <dbi/dbi.h>
#include <sys/types.h>

#include <string>
#include <vector>

// ---- output ----------------------------------------------------------------

// The table; standard output carries the pass's own lines, into a file.
extern FILE* g_out;
// Scratch directory of the run (bench/run's work directory).
extern std::string g_work;

[[noreturn]] void Fail(const char* format, ...)
    __attribute__((format(printf, 1, 2)));
// One line of progress on standard error.
void Progress(const char* format, ...) __attribute__((format(printf, 1, 2)));
double Now();  // monotonic seconds

// A goal line for the end of the table.
struct Goal {
  std::string what;
  double value;
  bool at_most;  // value <= limit, else value >= limit (or < for "under")
  double limit;
};
void AddGoal(const std::string& what, double value, bool at_most, double limit);
const std::vector<Goal>& Goals();

// With BENCH_PERF_CTL and BENCH_PERF_ACK naming the control and ack fifos of
// `perf record --control=fifo:CTL,ACK -D -1 -a` (bench/run), only the timed
// parts of the kind BENCH_PERF_PART names ("pass", "loop" or "find") are
// profiled: `what` is "enable" or "disable".
void Profile(const char* part, const char* what);

// Other work on the machine only ever adds time, so every timing is the best
// of kRounds, each round on a fresh or restored tree.
const int kRounds = 3;
struct Best {
  double s = 1e9, db_s = 0;
  void Add(double t, double db) {
    if (t < s) s = t, db_s = db;
  }
};

// ---- file systems ----------------------------------------------------------

// A fresh tmpfs of 4 GB at /recordings.
void TmpfsRecordings();
// A fresh ext4 file system at /recordings on a loop device, its image a
// sparse file of `gb` GB in the work directory with room for `inodes` inodes.
// The image goes when the namespace ends.
void Ext4Recordings(int gb, long long inodes);
// sync and drop the page, dentry and inode caches: the next timed part
// starts cold. No-op on tmpfs, where the tree lives in those caches.
void DropCaches();

// ---- the recording tree ----------------------------------------------------
//
// Call n (0-based, id n+1) lives in hour directory n / kCallsPerHour counted
// from 2024-01-01 00:00 and starts n * 7.2 s after it. It has a media file
// "c<id>.wav", its companion "c<id>.wav.g711" and, for even n, a screen
// recording "screenc<id>.wmv" whose name the pass derives (flags 2). The
// files are sparse. InsertArchived builds the matching rows.

const int kCallsPerHour = 500;

// The files of call n in the order the pass takes them.
std::vector<std::string> CallFiles(long long n);
// Their apparent sizes; `tiny` keeps a whole tree of many calls small.
long long FileSize(long long n, int k, bool tiny);

// Calls [from, to) with their files; `mtimes` makes each file's
// modification time grow with the call's age. Returns their bytes.
long long MakeCalls(long long from, long long to, bool tiny, bool mtimes);
// True when the files of calls [0, gone) are gone and those of the calls
// around the boundary, and of the last of `calls`, are there.
bool OldestGone(long long calls, long long gone);

// ---- the database ----------------------------------------------------------

class Db {
 public:
  Db();
  ~Db();
  std::vector<std::string> Rows(const std::string& sql);
  void Exec(const std::string& sql) { Rows(sql); }
  long long Count(const std::string& sql);  // the one number `sql` yields

 private:
  dbi_conn conn_;
};

// Empty tables but for five tenant counters.
void ResetTables(Db* db);
// The archived rows of calls [from, to), matching the tree.
void InsertArchived(Db* db, long long from, long long to);
// Non-archived history rows j in [from, to), one a minute: half already
// reclaimed and older than every archived call (from 2021 on), half newer
// and not archived yet (from March 2024 on); a million span years.
void InsertHistory(Db* db, long long from, long long to);

// ---- the pass and its rivals -----------------------------------------------

// One real pass freeing `bytes`; checks that exactly the oldest
// `expect_calls` of the tree's `calls` went, files and rows. Returns its wall
// time; `*db_s` gets the time the server spent planning and executing its
// statements (pg_stat_statements).
double TimedPass(Db* db, long long calls, long long bytes,
                 long long expect_calls, double* db_s);
// stat and unlink by absolute path over the files of calls [0, calls), in
// the pass's order: what the file system allows.
double TimedPlainLoop(long long calls);
// The same plus what the pass writes and looks up per file and per call:
// the marker, the counter journal, the audit trail, and per chunk the syncs
// that put its unlinks, audit lines and journal note on the disk before it
// is marked or charged; *sync_s gets the time those syncs took.
double TimedBookkeepingLoop(long long calls, double* sync_s);
// The same, each chunk of 200 calls split between two threads that meet at
// its end, as a pass that removes a chunk's files with two threads would.
double TimedTwoThreadLoop(long long calls);
// `cmd` through /bin/sh; fails the run unless it exits 0.
double TimedShell(const std::string& cmd);

// ---- processes -------------------------------------------------------------

std::string ReadFile(const std::string& path);
long long StatusKb(pid_t pid, const char* field);  // from /proc/<pid>/status
std::string LoadAverage();

#endif  // FIFODEL_BENCH_HARNESS_H_
