// The reclamation pass: frees space by removing the files of the oldest
// archived calls, 200 at a time, and marking those calls in the database.
#ifndef FIFODEL_RECLAIM_H_
#define FIFODEL_RECLAIM_H_

#include <time.h>

#include <functional>
#include <map>
#include <string>
#include <vector>

#include "stuck.h"

// How a pass ended; the names are the metric label values.
enum PassOutcome {
  kOutcomeNone,       // no pass has run yet
  kOutcomeCovered,    // the shortfall was covered
  kOutcomePruned,     // stale directories went; measure again
  kOutcomeExhausted,  // no removable archived call was left
  kOutcomeStuck,      // calls were there but nothing could be freed
  kOutcomeDbError,    // no connection, or a statement failed or timed out
};
extern const char* const kOutcomeNames[6];

struct TenantTotals {
  long long llBytes = 0, llCalls = 0;
};

// What a pass did.
struct PassReport {
  long long llNumber = 0;       // passes of this process, counting from 1
  time_t tStart = 0, tEnd = 0;  // tEnd 0 while it runs
  PassOutcome outcome = kOutcomeNone;
  long long llBytesFreed = 0, llCallsMarked = 0, llDirsPruned = 0;
  std::map<long long, TenantTotals> tenants;
  std::vector<StuckItem> stuck;    // met, with the reason
  long long llStuckMore = 0;       // met beyond what `stuck` holds
  std::vector<StuckKey> loosened;  // known stuck, came loose
};

struct PassRequest {
  long long liBytesToFree = 0;
  bool fSim = false;
  long long llNumber = 1;
  const StuckRegistry* known = nullptr;  // stuck items said already
  std::function<void()> betweenChunks;   // the monitor's watchdog
};

// Prunes the tree directories older than the oldest archived call; if any
// went, ends at once, so that free space is measured again. Otherwise, for
// each chunk of the oldest archived calls: looks at every file, writes the
// chunk's intents to the counter journal, removes the files, each through a
// fresh resolution of its directory beneath /recordings, writes the audit
// lines, and only then marks the calls whose media is gone, until
// `liBytesToFree` is covered or none is left; at the end charges the
// tenants. A call whose media cannot be removed is reported and passed
// over. With `fSim` only logs what would be removed.
PassReport RunPass(const PassRequest& request);

// One pass on its own; true when it pruned directories.
bool FIFO_delete(long long liBytesToFree, bool fSim);

#endif  // FIFODEL_RECLAIM_H_
