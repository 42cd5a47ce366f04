// A recording server built for one test row: calls with their files in the
// tree and their rows in the table, three tenant counters, a file outside
// the tree, and the checks that every promise shares; and the helpers the
// service tests share.
#ifndef FIFODEL_TESTS_WORLD_H_
#define FIFODEL_TESTS_WORLD_H_

#include <sys/types.h>
#include <time.h>

#include <map>
#include <string>
#include <vector>

#include "reclaim.h"
#include "service.h"

// psql's rows of `sql` on the private server, columns joined by '|'.
std::vector<std::string> Psql(const std::string& sql);
// `cmd` through /bin/sh: its exit status, or its standard output.
int Sh(const std::string& cmd);
std::string Output(const std::string& cmd);
std::string Slurp(const std::string& path);

const long long kMB = 1 << 20;
const long long kCounter = 1000000000;       // every counter's start
const char kOut[] = "/var/tolvex/conf/out";  // outside the tree

// Free bytes of /recordings.
long long FreeBytes();
// `dir` bind-mounted read-only on itself: nothing in it can be unlinked.
void ReadOnly(const std::string& dir);
// "YYYY/MM/DD/HH" of `t`, in UTC or in the local time of TZ.
std::string HourDir(time_t t, bool fUtc = false);
// Free space is back above the trigger level (250 MB) and no pass of `svc`
// is half-way; with `fJournal`, no count is owed either.
bool Settled(Service& svc, bool fJournal);
// One pass with plenty to free, as the monitor would run it.
PassReport FullPass(const StuckRegistry* known = nullptr);

class World {
 public:
  World() = default;
  explicit World(int mb) { Reset(mb); }
  // Empty tables but counters TN1..TN3 of kCounter, empty sandbox paths, a
  // /recordings of `mb` MB, kOut/victim outside.
  void Reset(int mb);
  // Call `id` of `tenant`: media "c<id>.wav" of `bytes` and its companion
  // of bytes / 8 in the hour directory `dir` ("2021/03/04/05"); its row
  // names `rowDir` (`dir` when empty) and is older the smaller `id` is.
  void AddCall(long long id, const std::string& dir, int tenant,
               long long bytes, bool archived, const std::string& rowDir = "");
  // The row of call `id` alone, its files wherever the test puts them.
  void AddRow(long long id, const std::string& dir, int tenant, bool archived);
  // Sends the rows added since the last call; what lies outside the tree
  // now is what Check expects to find there.
  void Insert();
  // `path` no longer frees anything when it goes (a second hard link).
  void Untrack(const std::string& path) { files_.erase(path); }
  void Track(const std::string& path, long long id, int tenant);
  // `path` must still hold what it holds now (another name of a file that
  // goes, say).
  void Keep(const std::string& path) { kept_[path] = Slurp(path); }

  // The promises: nothing outside the tree changed; no recording of a call
  // that is not archived is gone; each counter fell by exactly the bytes of
  // its tenant that left the disk; with `fSettled`, every call whose media
  // is gone is marked, every marked call's media is gone, and the audit
  // trail names every file that went.
  void Check(bool fSettled = true);
  // Bytes of `tenant` that left the disk.
  long long Gone(int tenant);

 private:
  struct File {
    long long call;
    int tenant;
    ino_t ino;
    long long size;
  };
  bool IsGone(const std::string& path, const File& f);
  std::map<std::string, File> files_;
  std::string rows_;
  std::map<std::string, std::string> outside_, kept_;
};

#endif  // FIFODEL_TESTS_WORLD_H_
