#include "status.h"

#include <stdio.h>

#include <algorithm>
#include <fstream>
#include <nlohmann/json.hpp>
#include <sstream>

#include "lock.h"
#include "logging.h"
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
  if (!t || !localtime_r(&t, &tm) ||
      !strftime(buf, sizeof buf, "%Y-%m-%d %H:%M:%S", &tm))
    return "-";
  return buf;
}

std::string Age(time_t t, time_t now) {
  return t > now ? std::to_string(t - now) + " s in the future"
                 : std::to_string(now - t) + " s ago";
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

// "3 d 4 h", "5 h 2 min", "12 min"
std::string Duration(time_t s) {
  if (s < 0) return "in the future";
  if (s >= 86400)
    return std::to_string(s / 86400) + " d " +
           std::to_string(s % 86400 / 3600) + " h";
  if (s >= 3600)
    return std::to_string(s / 3600) + " h " + std::to_string(s % 3600 / 60) +
           " min";
  return std::to_string(s / 60) + " min";
}

std::string OldestCallText(const ServiceState::Archiving& a, time_t now) {
  if (a.llBacklog < 0) return "unknown";
  if (!a.tOldestCall) return "none archived";
  return Clock(a.tOldestCall) + " (the disk reaches back " +
         Duration(now - a.tOldestCall) + ")";
}

std::string Backlog(const ServiceState::Archiving& a) {
  return std::to_string(a.llBacklog) + " calls not archived yet, the oldest " +
         "from " + Clock(a.tBacklogOldest);
}

std::string ArchivingText(const ServiceState::Archiving& a, time_t now) {
  if (!a.fSurveyed) return "unknown: not counted yet";
  if (a.llBacklog < 0)
    return "unknown: the database did not answer" +
           (a.tUpdated ? ", last counted " + Clock(a.tUpdated) : "");
  if (a.llBacklog == 0) return "up to date";
  return Backlog(a) + " (" + Duration(now - a.tBacklogOldest) + " ago)";
}

std::string PassText(const PassReport& p) {
  if (p.llNumber == 0) return "none yet";
  return "#" + std::to_string(p.llNumber) + " " + Clock(p.tStart) + " to " +
         Clock(p.tEnd) + ", " + kOutcomeNames[p.outcome] + ": freed " +
         Megs(p.llBytesFreed) + ", " + std::to_string(p.llCallsMarked) +
         " calls, " + std::to_string(p.llDirsPruned) + " directories";
}

// Every text goes out Printable: the document holds what rows and the tree
// named, and a terminal must not take any of it for a command.
void PrintHuman(const ServiceState& st, bool fState, const std::string& pid,
                const Verdict& v, time_t now, std::string* out) {
  auto row = [out](const char* label, const std::string& text) {
    char head[16];
    snprintf(head, sizeof head, "%11s: ", label);
    *out += head + Printable(text) + "\n";
  };
  std::string summary;
  for (const std::string& r : v.reasons)
    summary += (summary.empty() ? ": " : "; ") + r;
  *out += std::string("\u25cf fifodel - ") + kNames[v.code] +
          Printable(summary) + "\n";
  row("Active", pid.empty() ? "inactive" : "running, pid " + pid);
  if (!fState) return;
  row("Published", Clock(st.tWritten) + " (" + Age(st.tWritten, now) + ")");
  row("Space", "free " + Megs(st.llFreeBytes) + ", trigger " +
                   Megs(st.llTriggerBytes) + ", " + st.strLevel +
                   " (measured " + Clock(st.tMeasured) + ")");
  row("Forecast", ForecastText(st));
  row("Last pass", PassText(st.pass));
  row("Oldest call", OldestCallText(st.archiving, now));
  row("Archiving", ArchivingText(st.archiving, now));
  row("Journal", st.fJournalPending ? "pending" : "none pending");
  for (size_t i = 0; i < st.stuck.size(); ++i)
    row(i ? "" : "Stuck", st.stuck[i].strName + ": " + st.stuck[i].strWhy);
  if (st.llStuckUncounted)
    row("", "and " + std::to_string(st.llStuckUncounted) + " more");
}

// Who runs, as the first reason says it.
void JudgeHolder(const ServiceState& st, Found found, const std::string& pid,
                 time_t now, Verdict* v) {
  if (pid.empty()) {
    Raise(v, 3, "not running");
  } else if (found == Found::kMalformed) {
    Raise(v, 3, "running as pid " + pid + ", its state document unreadable");
  } else if (found == Found::kNothing || std::to_string(st.llPid) != pid) {
    Raise(v, 3, "running as pid " + pid + ", nothing published yet");
  } else if (st.tWritten > now) {
    // Written after now: the clock stepped back since, and how long the
    // service has been silent cannot be told.
    Raise(v, 3,
          "state written " + std::to_string(st.tWritten - now) +
              " s in the future");
  } else if (now - st.tWritten > kStaleAfter) {
    Raise(
        v, 3,
        "state not refreshed for " + std::to_string(now - st.tWritten) + " s");
  }
}

}  // namespace

Verdict Judge(const ServiceState& st, Found found, const std::string& pid,
              time_t now) {
  Verdict v;
  JudgeHolder(st, found, pid, now, &v);
  if (found != Found::kState) return v;
  // No archived call left while space stays short: only archiving can
  // help, and the operator must hear so, with the figures.
  if (ShortAfterPass(st))
    Raise(
        &v, 2,
        "free space below the trigger level after pass " +
            std::to_string(st.pass.llNumber) +
            (st.pass.outcome == kOutcomeExhausted && st.archiving.llBacklog > 0
                 ? ": archiving is behind, " + Backlog(st.archiving)
                 : ""));
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

int StatusReport(const std::string& text, const std::string& pid,
                 const std::string& strNote, bool fJson, time_t now,
                 std::string* out) {
  ServiceState st;
  Found found = text.empty()            ? Found::kNothing
                : ParseState(text, &st) ? Found::kState
                                        : Found::kMalformed;
  Verdict v = Judge(st, found, pid, now);
  if (!strNote.empty()) v.reasons.push_back(strNote);
  if (!fJson) {
    PrintHuman(st, found == Found::kState, pid, v, now, out);
    return v.code;
  }
  // What was read, written anew: the same text for a document of ours, and
  // nothing of a member nested deeper than dumping it could recurse.
  nlohmann::json doc = nlohmann::json::object();
  if (found == Found::kState) doc = nlohmann::json::parse(FormatState(st));
  doc["status"] = kNames[v.code];
  doc["exit_code"] = v.code;
  doc["reasons"] = v.reasons;
  doc["running"] = !pid.empty();
  *out +=
      doc.dump(2, ' ', false, nlohmann::json::error_handler_t::replace) + "\n";
  return v.code;
}

int StatusCommand(bool fJson) {
  Holder holder = AskHolder();
  std::string pid;
  // Held, but no id known yet: it is starting.
  if (holder.fRunning) pid = holder.pid.empty() ? "?" : holder.pid;
  std::string note;
  if (!holder.strUnasked.empty())
    note = holder.strUnasked + ": judged by the state document's process id";
  std::stringstream text;
  text << std::ifstream(STATE_FILE).rdbuf();
  std::string out;
  int code = StatusReport(text.str(), pid, note, fJson, time(nullptr), &out);
  fputs(out.c_str(), stdout);
  return code;
}
