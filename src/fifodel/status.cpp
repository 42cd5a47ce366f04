// Judgement and presentation only: what the service knows it publishes in
// the state file, so that this command can stay trivially safe to run.
#include "status.h"

#include <stdio.h>
#include <time.h>

#include <algorithm>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "lock.h"
#include "paths.h"
#include "state.h"

namespace {

// The slowest pace is one measurement a minute, and a long pass refreshes
// the state between chunks: three minutes of silence mean a hung service.
const time_t kStaleAfter = 180;
const long long kMB = 1048576;
const char* const kNames[] = {"ok", "warning", "critical", "unknown"};

struct Verdict {
  int code = 0;
  std::vector<std::string> reasons;
  void Raise(int c, const std::string& why) {
    code = std::max(code, c);
    reasons.push_back(why);
  }
};

// What the service found wrong with itself, as it last published.
void JudgeHealth(const ServiceState& st, time_t now, Verdict* v) {
  if (ShortAfterPass(st))
    v->Raise(2, "free space below the trigger level after pass " +
                    std::to_string(st.llPassNumber));
  if (!st.stuck.empty())
    v->Raise(1, std::to_string(st.stuck.size()) + " stuck");
  if (st.strPassOutcome == "db_error")
    v->Raise(1, "database unreachable at the last pass");
  if (st.fJournalPending) v->Raise(1, "counter journal pending");
  if (!st.fMeasureOk) v->Raise(1, "the last measurement failed");
  bool fReclaiming = st.tPassEnd != 0 && now - st.tPassEnd < 3600;
  if (st.llForecast > 0 && st.llForecast <= 3600 && !fReclaiming)
    v->Raise(1,
             "trigger level in " + std::to_string(st.llForecast / 60) + " min");
}

Verdict Judge(const ServiceState& st, bool fState, const std::string& pid,
              time_t now) {
  Verdict v;
  if (pid.empty()) {
    v.Raise(3, "not running");
  } else if (!fState || std::to_string(st.llPid) != pid) {
    v.Raise(3, "running as pid " + pid + ", nothing published yet");
  } else if (now - st.tWritten > kStaleAfter) {
    v.Raise(3, "state not refreshed for " + std::to_string(now - st.tWritten) +
                   " s");
  }
  if (fState) JudgeHealth(st, now, &v);
  return v;
}

std::string Clock(time_t t) {
  if (t == 0) return "-";
  char buf[32];
  struct tm tm;
  strftime(buf, sizeof buf, "%Y-%m-%d %H:%M:%S", localtime_r(&t, &tm));
  return buf;
}

std::string Megs(long long bytes) {
  return bytes < 0 ? "?" : std::to_string(bytes / kMB) + " MB";
}

void Row(const char* label, const std::string& text) {
  printf("%11s: %s\n", label, text.c_str());
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

std::string PassText(const ServiceState& st) {
  if (st.llPassNumber == 0) return "none yet";
  std::string when = "#" + std::to_string(st.llPassNumber) + " " +
                     Clock(st.tPassStart) + " to " + Clock(st.tPassEnd);
  return when + ", " + st.strPassOutcome + ": freed " + Megs(st.llPassBytes) +
         ", " + std::to_string(st.llPassCalls) + " calls, " +
         std::to_string(st.llPassDirs) + " directories";
}

void PrintHuman(const ServiceState& st, bool fState, const std::string& pid,
                const Verdict& v, time_t now) {
  std::string summary;
  for (const std::string& r : v.reasons)
    summary += (summary.empty() ? ": " : "; ") + r;
  printf("\u25cf fifodel - %s%s\n", kNames[v.code], summary.c_str());
  Row("Active", pid.empty() ? "inactive" : "running, pid " + pid);
  if (!fState) return;
  Row("Published", Clock(st.tWritten) + " (" +
                       std::to_string(now - st.tWritten) + " s ago)");
  Row("Space", "free " + Megs(st.llFreeBytes) + ", trigger " +
                   Megs(st.llTriggerBytes) + ", " + st.strLevel +
                   " (measured " + Clock(st.tMeasured) + ")");
  Row("Forecast", ForecastText(st));
  Row("Last pass", PassText(st));
  Row("Oldest call",
      st.strOldestDirectory.empty() ? "unknown" : st.strOldestDirectory);
  Row("Journal", st.fJournalPending ? "pending" : "none pending");
  for (size_t i = 0; i < st.stuck.size(); ++i)
    Row(i ? "" : "Stuck", st.stuck[i].first + ": " + st.stuck[i].second);
}

std::string Json(const std::string& text) {
  std::string out = "\"";
  for (char c : text) {
    if (c == '"' || c == '\\') out += '\\';
    out += c;  // the state holds no control characters
  }
  return out + "\"";
}

void Field(std::string* out, const char* key, const std::string& json) {
  *out +=
      std::string(out->size() > 1 ? ",\n  " : "\n  ") + Json(key) + ": " + json;
}

std::string List(const std::vector<std::string>& items) {
  std::string out = "[";
  for (const std::string& item : items)
    out += (out.size() > 1 ? ", " : "") + item;
  return out + "]";
}

void JsonState(std::string* out, const ServiceState& st) {
  auto n = [](long long v) { return std::to_string(v); };
  Field(out, "written", n(st.tWritten));
  Field(out, "measured", n(st.tMeasured));
  Field(out, "measure_ok", st.fMeasureOk ? "true" : "false");
  Field(out, "free_bytes", n(st.llFreeBytes));
  Field(out, "trigger_bytes", n(st.llTriggerBytes));
  Field(out, "level", Json(st.strLevel));
  char rate[32];
  snprintf(rate, sizeof rate, "%.1f", st.dRate);
  Field(out, "fill_rate_bytes_per_second", rate);
  Field(out, "fill_rate_samples", n(st.llSamples));
  Field(out, "forecast_seconds", st.llForecast < 0 ? "null" : n(st.llForecast));
  Field(out, "pass",
        "{\"number\": " + n(st.llPassNumber) + ", \"start\": " +
            n(st.tPassStart) + ", \"end\": " + n(st.tPassEnd) +
            ", \"outcome\": " + Json(st.strPassOutcome) +
            ", \"bytes_freed\": " + n(st.llPassBytes) +
            ", \"calls_marked\": " + n(st.llPassCalls) +
            ", \"directories_pruned\": " + n(st.llPassDirs) +
            ", \"free_bytes_after\": " + n(st.llFreeAfterPass) + "}");
  Field(out, "oldest_directory", Json(st.strOldestDirectory));
  Field(out, "journal_pending", st.fJournalPending ? "true" : "false");
  std::vector<std::string> stuck;
  for (const auto& [what, why] : st.stuck)
    stuck.push_back("{\"item\": " + Json(what) + ", \"reason\": " + Json(why) +
                    "}");
  Field(out, "stuck", List(stuck));
}

void PrintJson(const ServiceState& st, bool fState, const std::string& pid,
               const Verdict& v) {
  std::string out = "{";
  Field(&out, "status", Json(kNames[v.code]));
  Field(&out, "exit_code", std::to_string(v.code));
  std::vector<std::string> reasons;
  for (const std::string& r : v.reasons) reasons.push_back(Json(r));
  Field(&out, "reasons", List(reasons));
  Field(&out, "running", pid.empty() ? "false" : "true");
  bool fNumeric =
      !pid.empty() && pid.find_first_not_of("0123456789") == std::string::npos;
  Field(&out, "pid", fNumeric ? pid : "null");
  if (fState) JsonState(&out, st);
  printf("%s\n}\n", out.c_str());
}

}  // namespace

int StatusCommand(bool fJson) {
  std::string pid;
  // Held, but the holder has not written its id yet: it is starting.
  if (InstanceRunning(&pid) && pid.empty()) pid = "?";
  std::ifstream in(STATE_FILE);
  std::stringstream text;
  text << in.rdbuf();
  ServiceState st;
  bool fState = ParseState(text.str(), &st);
  time_t now = time(nullptr);
  Verdict v = Judge(st, fState, pid, now);
  if (fJson) {
    PrintJson(st, fState, pid, v);
  } else {
    PrintHuman(st, fState, pid, v, now);
  }
  return v.code;
}
