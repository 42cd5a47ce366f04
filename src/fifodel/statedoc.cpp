// nlohmann::json does the quoting and the parsing; this file only says where
// each field goes, once for both directions.
#include "statedoc.h"

#include <nlohmann/json.hpp>

using json = nlohmann::json;

namespace {

// Binds each field of `st` to its place in the document: `Field` gets a
// JSON pointer and the field, and reads or writes it.
template <typename S, typename F>
void Fields(S& st, F field) {
  field("/pid", st.llPid);
  field("/written", st.tWritten);
  field("/measured", st.tMeasured);
  field("/measure_ok", st.fMeasureOk);
  field("/free_bytes", st.llFreeBytes);
  field("/trigger_bytes", st.llTriggerBytes);
  field("/level", st.strLevel);
  field("/fill_rate_bytes_per_second", st.dRate);
  field("/fill_rate_samples", st.llSamples);
  field("/forecast_seconds", st.llForecast);
  field("/pass/number", st.pass.llNumber);
  field("/pass/start", st.pass.tStart);
  field("/pass/end", st.pass.tEnd);
  field("/pass/bytes_freed", st.pass.llBytesFreed);
  field("/pass/calls_marked", st.pass.llCallsMarked);
  field("/pass/directories_pruned", st.pass.llDirsPruned);
  field("/pass/free_bytes_after", st.llFreeAfterPass);
  field("/oldest_directory", st.strOldestDirectory);
  field("/journal_pending", st.fJournalPending);
  field("/stuck_uncounted", st.llStuckUncounted);
  field("/totals/bytes", st.totals.llBytes);
  field("/totals/calls", st.totals.llCalls);
  field("/totals/directories_pruned", st.totals.llDirsPruned);
  field("/totals/last_success", st.totals.tLastSuccess);
}

json Tenants(const std::map<long long, TenantTotals>& tenants) {
  json out = json::object();
  for (const auto& [id, t] : tenants)
    out[std::to_string(id)] = {{"bytes", t.llBytes}, {"calls", t.llCalls}};
  return out;
}

void ReadLists(const json& doc, ServiceState* st) {
  st->pass.outcome = kOutcomeNone;
  std::string outcome = doc.value(json::json_pointer("/pass/outcome"), "none");
  for (int o = 0; o < 6; ++o) {
    if (outcome == kOutcomeNames[o]) st->pass.outcome = PassOutcome(o);
    st->totals.passes[o] =
        doc.value(json::json_pointer("/totals/passes") / kOutcomeNames[o], 0LL);
  }
  for (const json& s : doc.value("stuck", json::array()))
    st->stuck.push_back(
        {s.value("kind", ""), s.value("item", ""), s.value("reason", "")});
  const json tenants =
      doc.value("/totals/tenants"_json_pointer, json::object());
  for (const auto& [id, t] : tenants.items())
    st->totals.tenants[std::stoll(id)] = {t.value("bytes", 0LL),
                                          t.value("calls", 0LL)};
}

}  // namespace

std::string FormatState(const ServiceState& st) {
  json doc;
  Fields(st, [&](const char* at, const auto& v) {
    doc[json::json_pointer(at)] = v;
  });
  doc["pass"]["outcome"] = kOutcomeNames[st.pass.outcome];
  for (int o = 0; o < 6; ++o)
    doc["totals"]["passes"][kOutcomeNames[o]] = st.totals.passes[o];
  doc["totals"]["tenants"] = Tenants(st.totals.tenants);
  doc["stuck"] = json::array();
  for (const ServiceState::Stuck& s : st.stuck)
    doc["stuck"].push_back(
        {{"kind", s.strKind}, {"item", s.strName}, {"reason", s.strWhy}});
  // The texts are Printable, hence valid UTF-8; should one slip through, a
  // replacement character is still better than no document at all.
  return doc.dump(2, ' ', false, json::error_handler_t::replace) + "\n";
}

bool ParseState(const std::string& text, ServiceState* st) {
  *st = ServiceState();
  json doc = json::parse(text, nullptr, false);
  if (!doc.is_object() || !doc.contains("written")) return false;
  try {
    Fields(*st, [&](const char* at, auto& v) {
      v = doc.value(json::json_pointer(at), v);
    });
    ReadLists(doc, st);
  } catch (const json::exception&) {
    return false;  // a field of the wrong type: no state of ours
  }
  return true;
}

void Totals::Add(const PassReport& pass) {
  ++passes[pass.outcome];
  llBytes += pass.llBytesFreed;
  llCalls += pass.llCallsMarked;
  llDirsPruned += pass.llDirsPruned;
  if (pass.outcome != kOutcomeDbError) tLastSuccess = pass.tEnd;
  for (const auto& [id, t] : pass.tenants) {
    tenants[id].llBytes += t.llBytes;
    tenants[id].llCalls += t.llCalls;
  }
}

bool ShortAfterPass(const ServiceState& st) {
  return st.llFreeAfterPass >= 0 && st.llFreeAfterPass < st.llTriggerBytes &&
         st.strLevel == "low";
}
