// Written by hand: a format this small needs no library.
#include "metrics.h"

#include <stdio.h>
#include <time.h>

namespace {

std::string N(long long value) { return std::to_string(value); }

// A family: HELP and TYPE, then its samples as "<suffix> <value>" lines.
void Family(std::string* out, const char* name, const char* type,
            const char* help, const std::vector<std::string>& samples) {
  *out += std::string("# HELP ") + name + " " + help + "\n# TYPE " + name +
          " " + type + "\n";
  for (const std::string& s : samples) *out += name + s + "\n";
}

void Gauge(std::string* out, const char* name, const char* help,
           const std::string& value) {
  Family(out, name, "gauge", help, {" " + value});
}

void SpaceMetrics(std::string* out, const ServiceState& st) {
  if (st.llFreeBytes < 0) return;  // not one good measurement yet
  char rate[64];
  snprintf(rate, sizeof rate, "%.1f", st.dRate);
  Gauge(out, "fifodel_free_bytes",
        "Space free for unprivileged users on the recordings file system.",
        N(st.llFreeBytes));
  Gauge(out, "fifodel_trigger_bytes",
        "Free space below which calls are reclaimed.", N(st.llTriggerBytes));
  Gauge(out, "fifodel_fill_rate_bytes_per_second",
        "Rate at which free space shrinks over the last ten minutes.", rate);
  Gauge(out, "fifodel_trigger_forecast_seconds",
        "Time until free space reaches the trigger level at that rate.",
        st.llForecast < 0 ? "+Inf" : N(st.llForecast));
  Gauge(out, "fifodel_last_measurement_timestamp_seconds",
        "When free space was last measured, or tried.", N(st.tMeasured));
}

void PassMetrics(std::string* out, const ServiceState& st) {
  std::vector<std::string> passes;
  for (int o = kOutcomeCovered; o <= kOutcomeDbError; ++o)
    passes.push_back(std::string("{outcome=\"") + kOutcomeNames[o] + "\"} " +
                     N(st.totals.passes[o]));
  Family(out, "fifodel_passes_total", "counter",
         "Reclamation passes by how they ended.", passes);
  Family(out, "fifodel_db_errors_total", "counter",
         "Passes that lost or could not reach the database.",
         {" " + N(st.totals.passes[kOutcomeDbError])});
  // A pass running now counts from its start: alerts on "no pass for an
  // hour" must not fire during a long one.
  Gauge(out, "fifodel_last_pass_end_timestamp_seconds",
        "When the last pass ended, or began if one runs; 0 for none.",
        N(st.pass.tEnd ? st.pass.tEnd : st.pass.tStart));
  Gauge(out, "fifodel_last_success_timestamp_seconds",
        "When the last pass that reached the database ended; 0 for none.",
        N(st.totals.tLastSuccess));
  Gauge(out, "fifodel_short_after_pass",
        "1 while free space is below the trigger level after a pass.",
        N(ShortAfterPass(st)));
}

void ReclaimedMetrics(std::string* out, const ServiceState& st) {
  Family(out, "fifodel_reclaimed_bytes_total", "counter",
         "Bytes of call recordings removed.", {" " + N(st.totals.llBytes)});
  Family(out, "fifodel_reclaimed_calls_total", "counter",
         "Calls whose recordings were removed and that were marked.",
         {" " + N(st.totals.llCalls)});
  std::vector<std::string> bytes, calls;
  for (const auto& [id, t] : st.totals.tenants) {
    bytes.push_back("{tenant=\"" + N(id) + "\"} " + N(t.llBytes));
    calls.push_back("{tenant=\"" + N(id) + "\"} " + N(t.llCalls));
  }
  Family(out, "fifodel_tenant_reclaimed_bytes_total", "counter",
         "Bytes of call recordings removed, by tenant.", bytes);
  Family(out, "fifodel_tenant_reclaimed_calls_total", "counter",
         "Calls reclaimed, by tenant.", calls);
  Family(out, "fifodel_pruned_directories_total", "counter",
         "Stale directories removed whole from the recording tree.",
         {" " + N(st.totals.llDirsPruned)});
}

void HealthMetrics(std::string* out, const ServiceState& st) {
  long long calls = 0, dirs = 0;
  for (const ServiceState::Stuck& s : st.stuck)
    ++(s.strKind == "call" ? calls : dirs);
  Family(out, "fifodel_stuck_items", "gauge",
         "Calls and directories that reclamation cannot get past.",
         {"{kind=\"call\"} " + N(calls), "{kind=\"directory\"} " + N(dirs)});
  Gauge(out, "fifodel_journal_pending",
        "1 while freed bytes wait to be taken off tenant counters.",
        N(st.fJournalPending));
}

// Absent while unknown: a server that cannot be asked must not read as an
// archive that is up to date.
void ArchivingMetrics(std::string* out, const ServiceState& st) {
  const ServiceState::Archiving& a = st.archiving;
  Gauge(out, "fifodel_archive_backlog_updated_timestamp_seconds",
        "When the calls not yet archived were last counted; 0 for never.",
        N(a.tUpdated));
  if (a.llBacklog < 0) return;
  Gauge(out, "fifodel_archive_backlog_calls",
        "Calls not archived yet, which no pass may reclaim.", N(a.llBacklog));
  if (a.tBacklogOldest)
    Gauge(out, "fifodel_archive_backlog_oldest_start_timestamp_seconds",
          "Start of the oldest call not archived yet.", N(a.tBacklogOldest));
  if (a.tOldestCall)
    Gauge(out, "fifodel_oldest_recording_timestamp_seconds",
          "Start of the oldest call still on the disk (archived, not yet "
          "reclaimed): how far back the disk reaches.",
          N(a.tOldestCall));
}

}  // namespace

std::string FormatMetrics(const ServiceState& st) {
  // Always written: a service that runs but cannot measure (the recordings
  // file system gone) must still be seen, and seen failing.
  std::string out;
  Gauge(&out, "fifodel_last_update_timestamp_seconds",
        "When this file was written; the service writes it every minute.",
        N(st.tWritten));
  Gauge(&out, "fifodel_measurement_ok",
        "1 when the last measurement of free space succeeded.",
        N(st.fMeasureOk));
  SpaceMetrics(&out, st);
  PassMetrics(&out, st);
  ReclaimedMetrics(&out, st);
  HealthMetrics(&out, st);
  ArchivingMetrics(&out, st);
  return out;
}
