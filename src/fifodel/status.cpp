#include "status.h"

#include <stdio.h>

#include <algorithm>
#include <fstream>
#include <nlohmann/json.hpp>
#include <sstream>

#include "lock.h"
#include "paths.h"

namespace {

// The slowest pace is a measurement a minute, and a long pass publishes
// between its chunks: three minutes of silence mean a hung service.
const time_t kStaleAfter = 180;
const long long kMB = 1048576;
const char* const kNames[] = {"ok", "warning", "critical", "unknown"};

void Raise(Verdict* v, int code, const std::string& why) {
  v->code = std::max(v->code, code);
  v->reasons.push_back(why);
}

std::string Clock(time_t t) {
  char buf[32];
  struct tm tm;
  strftime(buf, sizeof buf, "%Y-%m-%d %H:%M:%S", localtime_r(&t, &tm));
  return t ? buf : "-";
}

std::string Megs(long long bytes) {
  return bytes < 0 ? "?" : std::to_string(bytes / kMB) + " MB";
}

std::string ForecastText(const ServiceState& st) {
  char rate[64];
  snprintf(rate, sizeof rate, "%.1f MB/min", st.dRate * 60 / kMB);
  if (st.llForecast == 0) return "at or below the trigger level";
  if (st.llForecast < 0)
    return st.llSamples < 2 ? "unknown: too few measurements yet"
                            : "free space is not shrinking";
  return "trigger level in " + std::to_string(st.llForecast / 3600) + " h " +
         std::to_string(st.llForecast % 3600 / 60) + " min, shrinking " + rate;
}

void PrintHuman(const ServiceState& st, bool fState, const std::string& pid,
                const Verdict& v, time_t now) {
  auto row = [](const char* label, const std::string& text) {
    printf("%11s: %s\n", label, text.c_str());
  };
  std::string summary;
  for (const std::string& r : v.reasons)
    summary += (summary.empty() ? ": " : "; ") + r;
  printf("\u25cf fifodel - %s%s\n", kNames[v.code], summary.c_str());
  row("Active", pid.empty() ? "inactive" : "running, pid " + pid);
  if (!fState) return;
  const PassReport& p = st.pass;
  row("Published", Clock(st.tWritten) + " (" +
                       std::to_string(now - st.tWritten) + " s ago)");
  row("Space", "free " + Megs(st.llFreeBytes) + ", trigger " +
                   Megs(st.llTriggerBytes) + ", " + st.strLevel +
                   " (measured " + Clock(st.tMeasured) + ")");
  row("Forecast", ForecastText(st));
  row("Last pass",
      p.llNumber == 0
          ? "none yet"
          : "#" + std::to_string(p.llNumber) + " " + Clock(p.tStart) + " to " +
                Clock(p.tEnd) + ", " + kOutcomeNames[p.outcome] + ": freed " +
                Megs(p.llBytesFreed) + ", " + std::to_string(p.llCallsMarked) +
                " calls, " + std::to_string(p.llDirsPruned) + " directories");
  row("Oldest call",
      st.strOldestDirectory.empty() ? "unknown" : st.strOldestDirectory);
  row("Journal", st.fJournalPending ? "pending" : "none pending");
  for (size_t i = 0; i < st.stuck.size(); ++i)
    row(i ? "" : "Stuck", st.stuck[i].strName + ": " + st.stuck[i].strWhy);
  if (st.llStuckUncounted)
    row("", "and " + std::to_string(st.llStuckUncounted) + " more");
}

}  // namespace

Verdict Judge(const ServiceState& st, bool fState, const std::string& pid,
              time_t now) {
  Verdict v;
  if (pid.empty()) {
    Raise(&v, 3, "not running");
  } else if (!fState || std::to_string(st.llPid) != pid) {
    Raise(&v, 3, "running as pid " + pid + ", nothing published yet");
  } else if (st.tWritten > now) {
    // Written after now: the clock stepped back since, and how long the
    // service has been silent cannot be told.
    Raise(&v, 3,
          "state written " + std::to_string(st.tWritten - now) +
              " s in the future");
  } else if (now - st.tWritten > kStaleAfter) {
    Raise(
        &v, 3,
        "state not refreshed for " + std::to_string(now - st.tWritten) + " s");
  }
  if (!fState) return v;
  if (ShortAfterPass(st))
    Raise(&v, 2,
          "free space below the trigger level after pass " +
              std::to_string(st.pass.llNumber));
  if (!st.stuck.empty())
    Raise(&v, 1,
          std::to_string(st.stuck.size() + st.llStuckUncounted) + " stuck");
  if (st.pass.outcome == kOutcomeDbError)
    Raise(&v, 1, "database unreachable at the last pass");
  if (st.fJournalPending) Raise(&v, 1, "counter journal pending");
  if (!st.fMeasureOk) Raise(&v, 1, "the last measurement failed");
  // While a pass ran within the hour, a near trigger level is the normal
  // state of a full server.
  bool fReclaiming = st.pass.tEnd != 0 && now - st.pass.tEnd < 3600;
  if (st.llForecast > 0 && st.llForecast <= 3600 && !fReclaiming)
    Raise(&v, 1,
          "trigger level in " + std::to_string(st.llForecast / 60) + " min");
  return v;
}

int StatusCommand(bool fJson) {
  std::string pid;
  // Held, but the holder has not written its id yet: it is starting.
  if (InstanceRunning(&pid) && pid.empty()) pid = "?";
  std::stringstream text;
  text << std::ifstream(STATE_FILE).rdbuf();
  ServiceState st;
  bool fState = ParseState(text.str(), &st);
  time_t now = time(nullptr);
  Verdict v = Judge(st, fState, pid, now);
  if (!fJson) {
    PrintHuman(st, fState, pid, v, now);
    return v.code;
  }
  nlohmann::json doc = nlohmann::json::parse(fState ? text.str() : "{}");
  doc["status"] = kNames[v.code];
  doc["exit_code"] = v.code;
  doc["reasons"] = v.reasons;
  doc["running"] = !pid.empty();
  printf("%s\n",
         doc.dump(2, ' ', false, nlohmann::json::error_handler_t::replace)
             .c_str());
  return v.code;
}
