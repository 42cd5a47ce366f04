// A recording server built for one test row: calls with their files in the
// tree and their rows in the table, three tenant counters, a file outside
// the tree, the checks that every promise shares, and the tests' helpers.
#ifndef FIFODEL_TESTS_WORLD_H_
#define FIFODEL_TESTS_WORLD_H_

#include <sys/types.h>
#include <time.h>

#include <map>
#include <string>
#include <vector>

#include "reclaim.h"
#include "sandbox.h"
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

long long FreeBytes();  // of /recordings
// `dir` bind-mounted read-only on itself: nothing in it can be unlinked.
void ReadOnly(const std::string& dir);
// "YYYY/MM/DD/HH" of `t`, in UTC or in the local time of TZ.
std::string HourDir(time_t t, bool fUtc = false);
// Free space is back above the trigger level (250 MB) and no pass of `svc`
// is half-way; with `fJournal`, no count is owed either.
bool Settled(Service& svc, bool fJournal);
// One pass with plenty to free, as the monitor would run it.
PassReport FullPass(const StuckRegistry* known = nullptr);

// What World::Check asks besides what it always does.
struct Checks {
  bool fSettled = true;  // every gone media's call marked, every file audited
  bool fMarks = true;    // else the world itself moved media about
  bool fExactAudit = false;  // each file that went named once, no other
  bool fLossSaid = false;    // a counter may fall short, never too far
};

class World {
 public:
  World() = default;
  explicit World(int mb) { Reset(mb); }
  // Empty tables but counters TN1..TN3 of kCounter, empty sandbox paths, a
  // /recordings of `mb` MB, kOut/victim outside.
  void Reset(int mb);
  // Call `id` of `tenant`: media "c<id>.wav" of `bytes` and its companion
  // of bytes / 8 in the hour directory `dir` ("2021/03/04/05"), and its
  // row, older the smaller `id` is.
  void AddCall(long long id, const std::string& dir, int tenant,
               long long bytes, bool archived);
  // The row of call `id` alone, its files wherever the test puts them.
  void AddRow(long long id, const std::string& dir, int tenant, bool archived);
  // Sends the rows added since the last call; what lies outside the tree
  // now is what Check expects to find there.
  void Insert();

  // A file of the world, known by what it is: found by its inode and birth
  // wherever it moved within the tree.
  struct File {
    std::string path;
    long long call;  // 0: a recording in progress, without a row yet
    int tenant;
    long long size;
    std::pair<unsigned long long, long long> id;
    bool fPending;  // its call is not archived: it must stay
  };
  const std::vector<File>& files() const { return files_; }
  void Track(const std::string& path, long long call, int tenant,
             bool fPending);
  // `path` no longer frees anything when it goes (a second hard link).
  void Untrack(const std::string& path);
  // `path` must still hold what it holds now (another name of a file that
  // goes, say).
  void Keep(const std::string& path) { kept_[path] = Slurp(path); }
  // A recorder adds `bytes` to `tenant`'s counter.
  void Added(int tenant, long long bytes);

  // The promises: nothing outside the tree changed; no recording of a call
  // that is not archived is gone; each counter fell by exactly the bytes of
  // its tenant that left the disk; no marked call's media stays (the last
  // media tracked for the call), and the checks `c` asks for.
  void Check(Checks c = {});

 private:
  std::vector<File> files_;
  std::string rows_;
  std::map<std::string, std::string> outside_, kept_;
  std::map<int, long long> added_;
};

// A sandbox test on empty tables that reads back the exact statements the
// server logged.
class DbTest : public SandboxTest {
 protected:
  void SetUp() override;
  // Runs `sql`, which must go through without a word from psql.
  void Sql(const std::string& sql);
  // The first row of `sql`, "" for none.
  std::string Scalar(const std::string& sql);
  // Marks the end of the server log; LoggedTexts() returns the statements
  // logged after it.
  void Mark();
  std::vector<std::string> LoggedTexts();

 private:
  size_t mark_ = 0;
};

#endif  // FIFODEL_TESTS_WORLD_H_
