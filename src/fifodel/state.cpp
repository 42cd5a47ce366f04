// The state file and the metrics are rewritten whole and renamed into place:
// readers poll them at any moment and must never see half a file. Both are
// made from one ServiceState, so that status and metrics never disagree.
#include "state.h"

#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <syslog.h>
#include <unistd.h>

#include <map>

#include "files.h"
#include "journal.h"
#include "logging.h"
#include "paths.h"
#include "report.h"

namespace {

const long long kMB = 1048576;
const time_t kRateWindow = 600;  // the fill rate looks this far back
const long long kWarnAhead = 3600;

ServiceState g_state;
std::deque<Sample> g_samples;
bool g_fWarningArmed = true;
time_t g_tPublished = 0;

const char* Level(const DiskSpace& ds) {
  if (ds.uliMegsTrigger == 0) return "unknown";
  if (ds.liToFree > 0) return "low";
  if (ds.ratherLow) return "rather_low";
  return ds.somewhatLow ? "somewhat_low" : "ample";
}

void Line(std::string* out, const char* key, long long value) {
  *out += std::string(key) + "=" + std::to_string(value) + "\n";
}

void Line(std::string* out, const char* key, const std::string& value) {
  *out += std::string(key) + "=" + Printable(value) + "\n";
}

}  // namespace

std::string FormatState(const ServiceState& st) {
  std::string out;
  Line(&out, "pid", st.llPid);
  Line(&out, "written", st.tWritten);
  Line(&out, "measured", st.tMeasured);
  Line(&out, "measure_ok", st.fMeasureOk);
  Line(&out, "free_bytes", st.llFreeBytes);
  Line(&out, "trigger_bytes", st.llTriggerBytes);
  Line(&out, "level", st.strLevel);
  char rate[32];
  snprintf(rate, sizeof rate, "%.1f", st.dRate);
  Line(&out, "rate_bytes_per_second", std::string(rate));
  Line(&out, "rate_samples", st.llSamples);
  Line(&out, "forecast_seconds", st.llForecast);
  Line(&out, "pass_number", st.llPassNumber);
  Line(&out, "pass_start", st.tPassStart);
  Line(&out, "pass_end", st.tPassEnd);
  Line(&out, "pass_outcome", st.strPassOutcome);
  Line(&out, "pass_bytes", st.llPassBytes);
  Line(&out, "pass_calls", st.llPassCalls);
  Line(&out, "pass_directories", st.llPassDirs);
  Line(&out, "free_after_pass_bytes", st.llFreeAfterPass);
  Line(&out, "oldest_directory", st.strOldestDirectory);
  Line(&out, "journal_pending", st.fJournalPending);
  for (const auto& [what, why] : st.stuck)
    out += "stuck=" + Printable(what) + "\t" + Printable(why) + "\n";
  return out;
}

namespace {

// Where each numeric key of the state file lands.
std::map<std::string, long long*> NumericKeys(ServiceState* st) {
  return {{"pid", &st->llPid},
          {"free_bytes", &st->llFreeBytes},
          {"trigger_bytes", &st->llTriggerBytes},
          {"forecast_seconds", &st->llForecast},
          {"rate_samples", &st->llSamples},
          {"pass_number", &st->llPassNumber},
          {"pass_bytes", &st->llPassBytes},
          {"pass_calls", &st->llPassCalls},
          {"pass_directories", &st->llPassDirs},
          {"free_after_pass_bytes", &st->llFreeAfterPass}};
}

void ParseOther(const std::string& key, const std::string& value,
                ServiceState* st) {
  long long ll = strtoll(value.c_str(), nullptr, 10);
  if (key == "written") st->tWritten = ll;
  if (key == "measured") st->tMeasured = ll;
  if (key == "measure_ok") st->fMeasureOk = ll != 0;
  if (key == "journal_pending") st->fJournalPending = ll != 0;
  if (key == "pass_start") st->tPassStart = ll;
  if (key == "pass_end") st->tPassEnd = ll;
  if (key == "level") st->strLevel = value;
  if (key == "pass_outcome") st->strPassOutcome = value;
  if (key == "oldest_directory") st->strOldestDirectory = value;
  if (key == "rate_bytes_per_second") st->dRate = strtod(value.c_str(), 0);
  size_t tab = value.find('\t');
  if (key == "stuck" && tab != std::string::npos)
    st->stuck.emplace_back(value.substr(0, tab), value.substr(tab + 1));
}

}  // namespace

bool ParseState(const std::string& text, ServiceState* st) {
  *st = ServiceState();
  auto numeric = NumericKeys(st);
  bool fWritten = false;
  size_t pos = 0;
  for (size_t end; (end = text.find('\n', pos)) != std::string::npos;
       pos = end + 1) {
    std::string line = text.substr(pos, end - pos);
    size_t eq = line.find('=');
    if (eq == std::string::npos) continue;
    std::string key = line.substr(0, eq), value = line.substr(eq + 1);
    auto it = numeric.find(key);
    if (it != numeric.end()) *it->second = strtoll(value.c_str(), 0, 10);
    ParseOther(key, value, st);
    fWritten |= key == "written";
  }
  return fWritten;
}

double FillRate(const std::deque<Sample>& samples) {
  if (samples.size() < 2) return 0;
  // Centred on the first sample: epoch seconds squared would lose digits.
  double n = samples.size(), st = 0, sf = 0, stt = 0, stf = 0;
  for (const Sample& s : samples) {
    double t = s.t - samples.front().t, f = s.llFree;
    st += t, sf += f, stt += t * t, stf += t * f;
  }
  double denom = n * stt - st * st;
  if (denom <= 0) return 0;
  return -(n * stf - st * sf) / denom;
}

long long ForecastSeconds(long long llFree, long long llTrigger, double dRate) {
  if (llFree <= llTrigger) return 0;
  if (dRate <= 0) return -1;
  return static_cast<long long>((llFree - llTrigger) / dRate);
}

namespace {

// Logs a failure to write `what` once, until it succeeds again.
void Complain(bool ok, const std::string& what, bool* pfComplained) {
  if (!ok && !*pfComplained)
    lg(LOG_WARNING, "fifodel: cannot write %s: %s", Printable(what).c_str(),
       strerror(errno));
  *pfComplained = !ok;
}

void Publish() {
  static bool fStateFailed = false, fMetricsFailed = false;
  g_state.tWritten = g_tPublished = time(nullptr);
  g_state.llPid = getpid();
  g_state.fJournalPending = JournalPending();
  g_state.stuck.assign(StuckItems().begin(), StuckItems().end());
  if (mkdir(STATE_DIR, 0755) != 0 && errno != EEXIST) {
    Complain(false, STATE_DIR, &fStateFailed);
  } else {
    Complain(WriteAtomically(STATE_DIR, STATE_NAME, FormatState(g_state), 0644,
                             false),
             STATE_FILE, &fStateFailed);
  }
  if (g_strMetricsDir.empty()) return;
  Complain(WriteAtomically(g_strMetricsDir, "fifodel.prom",
                           FormatMetrics(g_state), 0644, false),
           g_strMetricsDir + "/fifodel.prom", &fMetricsFailed);
}

// A pass is the service doing its job: while one ran within the hour, a
// trigger level minutes away is the normal state of a full server.
bool Reclaiming(time_t now) {
  return g_state.tPassEnd != 0 && now - g_state.tPassEnd < kWarnAhead;
}

void EarlyWarning(time_t now) {
  long long llForecast = g_state.llForecast;
  if (llForecast > kWarnAhead || (llForecast < 0 && g_samples.size() >= 2)) {
    g_fWarningArmed = true;
    return;
  }
  if (llForecast <= 0 || !g_fWarningArmed || Reclaiming(now)) return;
  g_fWarningArmed = false;
  lg(LOG_WARNING,
     "FIFO_check: free space will reach the trigger level in %lld min "
     "(free %lld MB, trigger %lld MB, shrinking %.1f MB/min)",
     llForecast / 60, g_state.llFreeBytes / kMB, g_state.llTriggerBytes / kMB,
     g_state.dRate * 60 / kMB);
}

void FillPass() {
  g_state.llPassNumber = g_lastPass.llNumber;
  g_state.tPassStart = g_lastPass.tStart;
  g_state.tPassEnd = g_lastPass.tEnd;
  g_state.strPassOutcome = PassOutcomeName(g_lastPass.outcome);
  g_state.llPassBytes = g_lastPass.llBytesFreed;
  g_state.llPassCalls = g_lastPass.llCallsMarked;
  g_state.llPassDirs = g_lastPass.llDirsPruned;
  if (!g_lastPass.strOldestDirectory.empty())
    g_state.strOldestDirectory = g_lastPass.strOldestDirectory;
}

void FillMeasurement(const DiskSpace& ds, time_t now) {
  g_state.tMeasured = now;
  g_state.fMeasureOk = ds.uliMegsTrigger != 0;
  g_state.strLevel = Level(ds);
  if (!g_state.fMeasureOk) return;
  g_state.llFreeBytes = static_cast<long long>(ds.ullBytesFree);
  g_state.llTriggerBytes = static_cast<long long>(ds.uliMegsTrigger) * kMB;
}

long long Forecast() {
  if (!g_state.fMeasureOk) return -1;
  if (g_state.llFreeBytes <= g_state.llTriggerBytes) return 0;
  if (g_samples.size() < 2) return -1;
  return ForecastSeconds(g_state.llFreeBytes, g_state.llTriggerBytes,
                         g_state.dRate);
}

}  // namespace

void NoteMeasurement(const DiskSpace& ds) {
  time_t now = time(nullptr);
  FillMeasurement(ds, now);
  if (g_state.fMeasureOk) {
    g_samples.push_back({now, g_state.llFreeBytes});
    while (now - g_samples.front().t > kRateWindow) g_samples.pop_front();
  }
  g_state.dRate = FillRate(g_samples);
  g_state.llSamples = g_samples.size();
  g_state.llForecast = Forecast();
  EarlyWarning(now);
  FillPass();
  Publish();
}

void ForgetFillRate() {
  g_samples.clear();
  g_state.llSamples = 0;
}

void NotePassEnd(const DiskSpace& after) {
  FillPass();
  g_state.llFreeAfterPass =
      after.uliMegsTrigger ? static_cast<long long>(after.ullBytesFree) : -1;
  FillMeasurement(after, time(nullptr));
  g_state.llForecast = Forecast();
  Publish();
}

void Heartbeat() {
  if (time(nullptr) - g_tPublished < 10) return;
  FillPass();
  Publish();
}

namespace {

void Family(std::string* out, const char* name, const char* type,
            const char* help) {
  *out += std::string("# HELP ") + name + " " + help + "\n# TYPE " + name +
          " " + type + "\n";
}

void Put(std::string* out, const std::string& series, long long value) {
  *out += series + " " + std::to_string(value) + "\n";
}

// A family of one sample.
void Sample(std::string* out, const char* name, const char* type,
            const char* help, long long value) {
  Family(out, name, type, help);
  Put(out, name, value);
}

// Start of the hour that "YYYY/MM/DD/HH" holds, in local time like the
// tree; -1 when it is no such directory.
long long HourStart(const std::string& strDirectory) {
  struct tm tm = {};
  char rest;
  if (sscanf(strDirectory.c_str(), "%d/%d/%d/%d%c", &tm.tm_year, &tm.tm_mon,
             &tm.tm_mday, &tm.tm_hour, &rest) != 4)
    return -1;
  tm.tm_year -= 1900;
  tm.tm_mon -= 1;
  tm.tm_isdst = -1;
  return mktime(&tm);
}

void SpaceMetrics(std::string* out, const ServiceState& st) {
  if (st.llFreeBytes < 0) return;  // not one good measurement yet
  Sample(out, "fifodel_free_bytes", "gauge",
         "Space free for unprivileged users on the recordings file system.",
         st.llFreeBytes);
  Sample(out, "fifodel_trigger_bytes", "gauge",
         "Free space below which calls are reclaimed.", st.llTriggerBytes);
  Family(out, "fifodel_fill_rate_bytes_per_second", "gauge",
         "Rate at which free space shrinks over the last ten minutes.");
  char value[64];
  snprintf(value, sizeof value, "%.1f", st.dRate);
  *out += std::string("fifodel_fill_rate_bytes_per_second ") + value + "\n";
  Family(out, "fifodel_trigger_forecast_seconds", "gauge",
         "Time until free space reaches the trigger level at that rate.");
  *out += "fifodel_trigger_forecast_seconds " +
          (st.llForecast < 0 ? "+Inf" : std::to_string(st.llForecast)) + "\n";
  Sample(out, "fifodel_last_measurement_timestamp_seconds", "gauge",
         "When free space was last measured, or tried.", st.tMeasured);
}

// Always written: a service that runs but cannot measure (the recordings
// file system gone) must still be seen, and seen failing.
void ServiceMetrics(std::string* out, const ServiceState& st) {
  Sample(out, "fifodel_last_update_timestamp_seconds", "gauge",
         "When this file was written; the service writes it every minute.",
         st.tWritten);
  Sample(out, "fifodel_measurement_ok", "gauge",
         "1 when the last measurement of free space succeeded.", st.fMeasureOk);
}

void PassMetrics(std::string* out, const ServiceState& st) {
  Family(out, "fifodel_passes_total", "counter",
         "Reclamation passes by how they ended.");
  for (PassOutcome o : {kOutcomeCovered, kOutcomePruned, kOutcomeExhausted,
                        kOutcomeStuck, kOutcomeDbError}) {
    const char* name = PassOutcomeName(o);
    auto it = g_totals.passesByOutcome.find(name);
    Put(out, std::string("fifodel_passes_total{outcome=\"") + name + "\"}",
        it == g_totals.passesByOutcome.end() ? 0 : it->second);
  }
  Sample(out, "fifodel_db_errors_total", "counter",
         "Passes that lost or could not reach the database.",
         g_totals.llDbErrors);
  // A pass running now counts from its start: alerts on "no pass for an
  // hour" must not fire during a long one.
  Sample(out, "fifodel_last_pass_end_timestamp_seconds", "gauge",
         "When the last pass ended, or began if one runs; 0 for none.",
         st.tPassEnd ? st.tPassEnd : st.tPassStart);
  Sample(out, "fifodel_last_success_timestamp_seconds", "gauge",
         "When the last pass that reached the database ended; 0 for none.",
         g_totals.tLastSuccess);
  Sample(out, "fifodel_short_after_pass", "gauge",
         "1 while free space is below the trigger level after a pass.",
         ShortAfterPass(st));
}

// One counter family with a sample per tenant, of the field `value`.
void TenantCounter(std::string* out, const char* name, const char* help,
                   long long TenantTotals::*value) {
  Family(out, name, "counter", help);
  for (const auto& [id, t] : g_totals.tenants)
    Put(out, std::string(name) + "{tenant=\"" + std::to_string(id) + "\"}",
        t.*value);
}

void ReclaimedMetrics(std::string* out) {
  Sample(out, "fifodel_reclaimed_bytes_total", "counter",
         "Bytes of call recordings removed.", g_totals.llBytes);
  Sample(out, "fifodel_reclaimed_calls_total", "counter",
         "Calls whose recordings were removed and that were marked.",
         g_totals.llCalls);
  TenantCounter(out, "fifodel_tenant_reclaimed_bytes_total",
                "Bytes of call recordings removed, by tenant.",
                &TenantTotals::llBytes);
  TenantCounter(out, "fifodel_tenant_reclaimed_calls_total",
                "Calls reclaimed, by tenant.", &TenantTotals::llCalls);
  Sample(out, "fifodel_pruned_directories_total", "counter",
         "Stale directories removed whole from the recording tree.",
         g_totals.llDirsPruned);
}

void HealthMetrics(std::string* out, const ServiceState& st) {
  Family(out, "fifodel_stuck_items", "gauge",
         "Calls, files and directories that reclamation cannot get past.");
  std::map<std::string, long long> kinds = {{"call", 0}, {"directory", 0}};
  for (const auto& item : st.stuck)
    ++kinds[item.first.substr(0, item.first.find(' '))];
  for (const auto& [kind, count] : kinds)
    Put(out, "fifodel_stuck_items{kind=\"" + kind + "\"}", count);
  Sample(out, "fifodel_journal_pending", "gauge",
         "1 while freed bytes wait to be taken off tenant counters.",
         st.fJournalPending);
  long long llOldest = HourStart(st.strOldestDirectory);
  if (llOldest < 0) return;
  Sample(out, "fifodel_oldest_recording_timestamp_seconds", "gauge",
         "Start of the hour of the oldest archived call still on disk.",
         llOldest);
}

}  // namespace

bool ShortAfterPass(const ServiceState& st) {
  return st.llFreeAfterPass >= 0 && st.llFreeAfterPass < st.llTriggerBytes &&
         st.strLevel == "low";
}

std::string FormatMetrics(const ServiceState& st) {
  std::string out;
  ServiceMetrics(&out, st);
  SpaceMetrics(&out, st);
  PassMetrics(&out, st);
  ReclaimedMetrics(&out);
  HealthMetrics(&out, st);
  return out;
}
