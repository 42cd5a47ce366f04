// What the running service knows, as one JSON document: written to
// STATE_FILE after every measurement and pass, read by `fifodel status`,
// and the source of the metrics, so that none of them ever disagree.
#ifndef FIFODEL_STATEDOC_H_
#define FIFODEL_STATEDOC_H_

#include <time.h>

#include <string>
#include <vector>

#include "reclaim.h"

// Counted since the process started; the metrics are counters of these.
struct Totals {
  long long passes[6] = {};  // by PassOutcome
  long long llBytes = 0, llCalls = 0, llDirsPruned = 0;
  time_t tLastSuccess = 0;  // end of the last pass that reached the database
  std::map<long long, TenantTotals> tenants;

  void Add(const PassReport& pass);
};

// Times are seconds since the epoch, 0 for never; byte counts are -1 where
// unknown.
struct ServiceState {
  long long llPid = 0;
  time_t tWritten = 0;
  time_t tMeasured = 0;  // the last measurement, good or failed
  bool fMeasureOk = false;
  long long llFreeBytes = -1;
  long long llTriggerBytes = -1;
  // "low" (below the trigger level), "rather_low" (below twice it),
  // "somewhat_low" (below four times it), "ample", or "unknown".
  std::string strLevel = "unknown";
  double dRate = 0;         // bytes per second taken, negative while it grows
  long long llSamples = 0;  // measurements the rate rests on
  // Seconds until free space reaches the trigger level: 0 at or below it,
  // -1 while unknown or when space is not shrinking.
  long long llForecast = -1;
  PassReport pass;                 // the last pass; number 0: none yet
  long long llFreeAfterPass = -1;  // measured right after it
  // From the last survey of the database (survey.h); all but `tUpdated`
  // unknown when the server did not answer it.
  struct Archiving {
    long long llBacklog = -1;   // calls not archived yet; -1: unknown
    time_t tBacklogOldest = 0;  // start of the oldest of them; 0: none
    time_t tOldestCall = 0;     // of the oldest call still on the disk
    time_t tUpdated = 0;        // the last survey the server answered
    bool fSurveyed = false;     // a survey ended, answered or not
  } archiving;
  bool fJournalPending = false;
  struct Stuck {
    std::string strKind, strName, strWhy;
  };
  std::vector<Stuck> stuck;
  long long llStuckUncounted = 0;  // beyond the registry's bound
  Totals totals;
};

// The document, pretty-printed; every text in it Printable (logging.h).
std::string FormatState(const ServiceState& st);
// Reads FormatState's text, taking defaults for what it lacks (an older
// service). False, with `st` at its defaults, when the text is no such
// document: no JSON object, no "written", a field of another type, a tenant
// that is no number, a time before the epoch or after the year 9999. Never
// throws.
bool ParseState(const std::string& text, ServiceState* st);

// The last pass left free space below the trigger level and it still is:
// reclamation is failing, not merely behind.
bool ShortAfterPass(const ServiceState& st);

#endif  // FIFODEL_STATEDOC_H_
