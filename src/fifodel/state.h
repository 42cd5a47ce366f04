// What the running service tells its operators between passes: the state
// file that `fifodel status` reads, the metrics file for a textfile
// collector, and the fill rate with its forecast and early warning.
#ifndef FIFODEL_STATE_H_
#define FIFODEL_STATE_H_

#include <time.h>

#include <deque>
#include <string>
#include <utility>
#include <vector>

#include "monitor.h"

// The service as last published. Times are seconds since the epoch, 0 for
// never; byte counts are -1 where unknown.
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
  double dRate = 0;  // bytes per second taken, negative while space grows
  long long llSamples = 0;  // measurements the rate rests on
  // Seconds until free space reaches the trigger level: 0 at or below it,
  // -1 while unknown or when space is not shrinking.
  long long llForecast = -1;
  long long llPassNumber = 0;  // 0: no pass yet
  time_t tPassStart = 0;
  time_t tPassEnd = 0;  // 0 while the pass runs
  std::string strPassOutcome = "none";
  long long llPassBytes = 0;
  long long llPassCalls = 0;
  long long llPassDirs = 0;
  long long llFreeAfterPass = -1;  // measured right after the last pass
  std::string strOldestDirectory;  // YYYY/MM/DD/HH, empty if unknown
  bool fJournalPending = false;
  std::vector<std::pair<std::string, std::string>> stuck;  // what, why
};

// key=value lines, one "stuck=" line per item with what and why separated by
// a tab; control characters in texts are escaped, so a line is a line.
std::string FormatState(const ServiceState& st);
// Reads FormatState's text, skipping keys it does not know (a newer
// service). False when the text has no "written" key, i.e. is no state.
bool ParseState(const std::string& text, ServiceState* st);

// The last pass left free space below the trigger level and it still is:
// reclamation is failing, not merely behind.
bool ShortAfterPass(const ServiceState& st);

// The same state and the process's totals as metrics in the text exposition
// format, HELP and TYPE lines included.
std::string FormatMetrics(const ServiceState& st);

// One measurement of free space.
struct Sample {
  time_t t;
  long long llFree;
};
// Bytes per second by which free space shrinks (least squares over
// `samples`); 0 for fewer than two distinct times.
double FillRate(const std::deque<Sample>& samples);
// Seconds until `llFree` reaches `llTrigger` at `dRate`: 0 when already at
// or below it, -1 when space does not shrink.
long long ForecastSeconds(long long llFree, long long llTrigger, double dRate);

// The monitor's hooks. Each publishes: state file, metrics file when a
// directory was given, service manager status. Failures to write are logged
// once at LOG_WARNING until a write succeeds again.
//
// A measurement `ds` was just taken (a failed one too). Feeds the fill rate
// and logs the early warning once per episode: the forecast says the trigger
// level is less than an hour away while no pass has run for an hour.
void NoteMeasurement(const DiskSpace& ds);
// The service itself just freed space (logs, a pass): the rate starts over,
// as it would otherwise count our own removals as a slowing of the inflow.
void ForgetFillRate();
// A pass just ended; `after` measured right after it, silently.
void NotePassEnd(const DiskSpace& after);
// Publishes again if the last time was 10 s ago or more: keeps the state
// fresh during a long pass. Called between a pass's chunks.
void Heartbeat();

#endif  // FIFODEL_STATE_H_
