// What a reclamation pass did, as the value it returns, and what the
// monitor adds up from passes for the state document and the metrics.
#ifndef FIFODEL_REPORT_H_
#define FIFODEL_REPORT_H_

#include <time.h>

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
  long long llBytes = 0;
  long long llCalls = 0;
};

struct PassReport {
  long long llNumber = 0;  // passes of this process, counting from 1
  time_t tStart = 0;
  time_t tEnd = 0;  // 0 while it runs
  PassOutcome outcome = kOutcomeNone;
  long long llBytesFreed = 0;
  long long llCallsMarked = 0;
  long long llDirsPruned = 0;
  // Hour directory of the oldest archived call the pass met: the retention
  // the server really achieves. Empty if unknown.
  std::string strOldestDirectory;
  std::map<long long, TenantTotals> tenants;
  std::vector<StuckItem> stuck;     // met, with the reason
  std::vector<StuckKey> loosened;   // came loose: reclaimed or removed
};

// Counted since the process started; the metrics are counters of these.
struct Totals {
  long long passes[6] = {};  // by PassOutcome
  long long llBytes = 0;
  long long llCalls = 0;
  long long llDirsPruned = 0;
  time_t tLastSuccess = 0;  // end of the last pass that reached the database
  std::map<long long, TenantTotals> tenants;

  void Add(const PassReport& pass);
};

#endif  // FIFODEL_REPORT_H_
