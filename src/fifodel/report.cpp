// The reclamation figures an operator sees; kept in memory only, written out
// by the state file and the metrics after every pass.
#include "report.h"

PassReport g_lastPass;
Totals g_totals;

namespace {
std::map<std::string, std::string> g_stuck;
}  // namespace

const char* PassOutcomeName(PassOutcome outcome) {
  switch (outcome) {
    case kOutcomeCovered:
      return "covered";
    case kOutcomePruned:
      return "pruned";
    case kOutcomeExhausted:
      return "exhausted";
    case kOutcomeStuck:
      return "stuck";
    case kOutcomeDbError:
      return "db_error";
    case kOutcomeNone:
      break;
  }
  return "none";
}

void BeginPassReport() {
  long long llNumber = g_lastPass.llNumber + 1;
  g_lastPass = PassReport();
  g_lastPass.llNumber = llNumber;
  g_lastPass.tStart = time(nullptr);
}

void EndPassReport(PassOutcome outcome) {
  g_lastPass.outcome = outcome;
  g_lastPass.tEnd = time(nullptr);
  ++g_totals.passesByOutcome[PassOutcomeName(outcome)];
  if (outcome == kOutcomeDbError) {
    ++g_totals.llDbErrors;
  } else {
    g_totals.tLastSuccess = g_lastPass.tEnd;
  }
}

bool NoteStuck(const std::string& key, const std::string& reason) {
  return g_stuck.insert_or_assign(key, reason).second;
}

void ClearStuck(const std::string& key) { g_stuck.erase(key); }

const std::map<std::string, std::string>& StuckItems() { return g_stuck; }
