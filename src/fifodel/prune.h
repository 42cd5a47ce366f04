// Pruning of the recording tree: whole year, month, day and hour directories
// older than the oldest archived call and than the current hour, as long as
// no call still to be reclaimed lives in them and nothing in them was
// written within the last hour.
#ifndef FIFODEL_PRUNE_H_
#define FIFODEL_PRUNE_H_

#include <functional>
#include <string>

#include "reclaim.h"

// What pruning needs from its pass: the descriptor of /recordings, the
// question about calls not yet reclaimed (PendingCallIn on the pass's
// connection), the stuck items already said, and the pass's report, which
// gets what went and what stays.
struct PruneContext {
  int rootfd;
  std::function<int(const std::string& rel, long long* llId)> pending;
  const StuckRegistry& known;
  PassReport* report;
};

// `strDirectory` is the oldest archived call's directory, "YYYY/MM/DD/HH"
// (year 2010 or later, not in the future of the server's clock). Removes
// every existing directory of the tree older than it: earlier years down to
// 2010, then earlier months, days and hours of the call's year, month and
// day, each through deleteDirectory, leaving out every one that reaches the
// current hour in local time or in UTC, whichever is earlier. In simulation
// (`fSim`) only logs. True when at least one such directory is gone (in
// simulation: would go); false otherwise, also for a malformed, out-of-range
// or future `strDirectory` (later than the current hour in local time and in
// UTC), which prunes nothing (a future one is logged at LOG_ERR).
bool FifoOldestEntry(std::string strDirectory, bool fSim,
                     const PruneContext& ctx);

// Removes the directory `strDirectory` ("/recordings/" and digits and
// slashes) in-process, by descriptor, never through a symbolic link and
// never into another file system, or in simulation only logs it. It stays,
// reported once, while a call not yet reclaimed (reclaimed bit clear,
// archived or not) lives in it or when the database cannot tell, and while
// anything below it that is no directory was modified or changed within the
// last hour or is dated later (FindRecent). True when it existed and is gone
// afterwards (in simulation: existed and may go); false otherwise.
bool deleteDirectory(std::string strDirectory, bool fSim,
                     const PruneContext& ctx);

#endif  // FIFODEL_PRUNE_H_
