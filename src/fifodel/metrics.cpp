// Written by hand: a format this small needs no library.
#include "metrics.h"

#include <stdio.h>
#include <time.h>

namespace {

void Family(std::string* out, const char* name, const char* type,
            const char* help) {
  *out += std::string("# HELP ") + name + " " + help + "\n# TYPE " + name +
          " " + type + "\n";
}

void Put(std::string* out, const std::string& series, const std::string& value) {
  *out += series + " " + value + "\n";
}

// A family of one sample.
void Sample(std::string* out, const char* name, const char* type,
            const char* help, const std::string& value) {
  Family(out, name, type, help);
  Put(out, name, value);
}

std::string N(long long value) { return std::to_string(value); }

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
         N(st.llFreeBytes));
  Sample(out, "fifodel_trigger_bytes", "gauge",
         "Free space below which calls are reclaimed.", N(st.llTriggerBytes));
  char rate[64];
  snprintf(rate, sizeof rate, "%.1f", st.dRate);
  Sample(out, "fifodel_fill_rate_bytes_per_second", "gauge",
         "Rate at which free space shrinks over the last ten minutes.", rate);
  Sample(out, "fifodel_trigger_forecast_seconds", "gauge",
         "Time until free space reaches the trigger level at that rate.",
         st.llForecast < 0 ? "+Inf" : N(st.llForecast));
  Sample(out, "fifodel_last_measurement_timestamp_seconds", "gauge",
         "When free space was last measured, or tried.", N(st.tMeasured));
}

// Always written: a service that runs but cannot measure (the recordings
// file system gone) must still be seen, and seen failing.
void ServiceMetrics(std::string* out, const ServiceState& st) {
  Sample(out, "fifodel_last_update_timestamp_seconds", "gauge",
         "When this file was written; the service writes it every minute.",
         N(st.tWritten));
  Sample(out, "fifodel_measurement_ok", "gauge",
         "1 when the last measurement of free space succeeded.",
         N(st.fMeasureOk));
}

void PassMetrics(std::string* out, const ServiceState& st) {
  Family(out, "fifodel_passes_total", "counter",
         "Reclamation passes by how they ended.");
  for (int o = kOutcomeCovered; o <= kOutcomeDbError; ++o)
    Put(out, std::string("fifodel_passes_total{outcome=\"") +
                 kOutcomeNames[o] + "\"}",
        N(st.totals.passes[o]));
  Sample(out, "fifodel_db_errors_total", "counter",
         "Passes that lost or could not reach the database.",
         N(st.totals.passes[kOutcomeDbError]));
  // A pass running now counts from its start: alerts on "no pass for an
  // hour" must not fire during a long one.
  Sample(out, "fifodel_last_pass_end_timestamp_seconds", "gauge",
         "When the last pass ended, or began if one runs; 0 for none.",
         N(st.pass.tEnd ? st.pass.tEnd : st.pass.tStart));
  Sample(out, "fifodel_last_success_timestamp_seconds", "gauge",
         "When the last pass that reached the database ended; 0 for none.",
         N(st.totals.tLastSuccess));
  Sample(out, "fifodel_short_after_pass", "gauge",
         "1 while free space is below the trigger level after a pass.",
         N(ShortAfterPass(st)));
}

// One counter family with a sample per tenant, of the field `value`.
void TenantCounter(std::string* out, const ServiceState& st, const char* name,
                   const char* help, long long TenantTotals::*value) {
  Family(out, name, "counter", help);
  for (const auto& [id, t] : st.totals.tenants)
    Put(out, std::string(name) + "{tenant=\"" + N(id) + "\"}", N(t.*value));
}

void ReclaimedMetrics(std::string* out, const ServiceState& st) {
  Sample(out, "fifodel_reclaimed_bytes_total", "counter",
         "Bytes of call recordings removed.", N(st.totals.llBytes));
  Sample(out, "fifodel_reclaimed_calls_total", "counter",
         "Calls whose recordings were removed and that were marked.",
         N(st.totals.llCalls));
  TenantCounter(out, st, "fifodel_tenant_reclaimed_bytes_total",
                "Bytes of call recordings removed, by tenant.",
                &TenantTotals::llBytes);
  TenantCounter(out, st, "fifodel_tenant_reclaimed_calls_total",
                "Calls reclaimed, by tenant.", &TenantTotals::llCalls);
  Sample(out, "fifodel_pruned_directories_total", "counter",
         "Stale directories removed whole from the recording tree.",
         N(st.totals.llDirsPruned));
}

void HealthMetrics(std::string* out, const ServiceState& st) {
  Family(out, "fifodel_stuck_items", "gauge",
         "Calls and directories that reclamation cannot get past.");
  long long calls = 0, dirs = 0;
  for (const ServiceState::Stuck& s : st.stuck) ++(s.strKind == "call" ? calls : dirs);
  Put(out, "fifodel_stuck_items{kind=\"call\"}", N(calls));
  Put(out, "fifodel_stuck_items{kind=\"directory\"}", N(dirs));
  Sample(out, "fifodel_journal_pending", "gauge",
         "1 while freed bytes wait to be taken off tenant counters.",
         N(st.fJournalPending));
  long long llOldest = HourStart(st.strOldestDirectory);
  if (llOldest < 0) return;
  Sample(out, "fifodel_oldest_recording_timestamp_seconds", "gauge",
         "Start of the hour of the oldest archived call still on disk.",
         N(llOldest));
}

}  // namespace

std::string FormatMetrics(const ServiceState& st) {
  std::string out;
  ServiceMetrics(&out, st);
  SpaceMetrics(&out, st);
  PassMetrics(&out, st);
  ReclaimedMetrics(&out, st);
  HealthMetrics(&out, st);
  return out;
}
