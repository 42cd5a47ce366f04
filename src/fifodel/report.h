// What the service tells its operators about reclamation: the pass and the
// monitor fill it in, the state file, the metrics and `fifodel status` read
// it. Process-wide and single-threaded, like the rest of the service.
#ifndef FIFODEL_REPORT_H_
#define FIFODEL_REPORT_H_

#include <time.h>

#include <map>
#include <string>

// How a pass ended. The names are the metric label values.
enum PassOutcome {
  kOutcomeNone,       // no pass has run yet
  kOutcomeCovered,    // the shortfall was covered
  kOutcomePruned,     // stale directories went; measure again
  kOutcomeExhausted,  // no removable archived call was left
  kOutcomeStuck,      // calls were there but nothing could be freed
  kOutcomeDbError,    // no connection, or a statement failed or timed out
};
const char* PassOutcomeName(PassOutcome outcome);

// The last pass, reset at the start of each.
struct PassReport {
  long long llNumber = 0;  // passes of this process, counting from 1
  time_t tStart = 0;
  time_t tEnd = 0;
  PassOutcome outcome = kOutcomeNone;
  long long llBytesFreed = 0;
  long long llCallsMarked = 0;
  long long llDirsPruned = 0;
  // Hour directory of the first row of the last chunk: the oldest archived
  // call, i.e. the retention the server really achieves. Empty if unknown.
  std::string strOldestDirectory;
};

struct TenantTotals {
  long long llBytes = 0;
  long long llCalls = 0;
};

// Counted since the process started; the metrics are counters of these.
struct Totals {
  std::map<std::string, long long> passesByOutcome;
  long long llBytes = 0;
  long long llCalls = 0;
  long long llDirsPruned = 0;
  long long llDbErrors = 0;
  time_t tLastSuccess = 0;  // end of the last pass that did not fail
  std::map<long long, TenantTotals> tenants;
};

extern PassReport g_lastPass;
extern Totals g_totals;

// Starts a new g_lastPass.
void BeginPassReport();
// Ends g_lastPass with `outcome` and adds it to g_totals.
void EndPassReport(PassOutcome outcome);

// Calls and directories that reclamation cannot get past, keyed by what they
// are ("call 42", "directory /recordings/2019"), with the reason. NoteStuck
// returns true the first time a key is noted in this process, so that the
// caller logs it once; ClearStuck forgets a key that has come loose.
bool NoteStuck(const std::string& key, const std::string& reason);
void ClearStuck(const std::string& key);
const std::map<std::string, std::string>& StuckItems();

#endif  // FIFODEL_REPORT_H_
