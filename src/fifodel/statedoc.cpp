// nlohmann::json does the quoting and the parsing; this file only says where
// each field goes, once for both directions.
#include "statedoc.h"

#include <limits.h>

#include <nlohmann/json.hpp>
#include <stdexcept>
#include <type_traits>

#include "logging.h"

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
  field("/archiving/backlog_calls", st.archiving.llBacklog);
  field("/archiving/backlog_oldest_start", st.archiving.tBacklogOldest);
  field("/archiving/oldest_call_start", st.archiving.tOldestCall);
  field("/archiving/updated", st.archiving.tUpdated);
  field("/archiving/surveyed", st.archiving.fSurveyed);
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

// The value at `at` of `doc` into `v` when there is one, of the field's own
// type or else an exception: nlohmann would turn 1e300 into a time by an
// undefined conversion, and a number beyond 63 bits into a negative one.
template <typename T>
void Read(const json& doc, const std::string& at, T* v) {
  const json::json_pointer where(at);
  if (!doc.contains(where)) return;
  const json& j = doc.at(where);
  bool ok = j.is_number();
  if constexpr (std::is_same_v<T, bool>) ok = j.is_boolean();
  if constexpr (std::is_same_v<T, std::string>) ok = j.is_string();
  if constexpr (std::is_integral_v<T> && !std::is_same_v<T, bool>)
    ok = j.is_number_integer() &&
         !(j.is_number_unsigned() && j.get<unsigned long long>() > LLONG_MAX);
  if (!ok) throw std::invalid_argument(at + ": of another type");
  *v = j.get<T>();
}

long long TenantId(const std::string& key) {
  size_t end = 0;
  long long id = std::stoll(key, &end);  // throws on no number, or too big
  if (end != key.size() || std::to_string(id) != key)
    throw std::invalid_argument("tenant " + key);
  return id;
}

// The part of `doc` at `at`: of `type` when there, `type`'s empty value when
// not, otherwise an exception.
json Part(const json& doc, const std::string& at, json::value_t type) {
  const json::json_pointer where(at);
  if (!doc.contains(where)) return json(type);
  if (doc.at(where).type() != type)
    throw std::invalid_argument(at + ": of another type");
  return doc.at(where);
}

void ReadLists(const json& doc, ServiceState* st) {
  for (const char* at : {"/pass", "/totals", "/totals/passes", "/archiving"})
    Part(doc, at, json::value_t::object);
  std::string outcome = kOutcomeNames[kOutcomeNone];
  Read(doc, "/pass/outcome", &outcome);
  for (int o = 0; o < 6; ++o) {
    if (outcome == kOutcomeNames[o]) st->pass.outcome = PassOutcome(o);
    Read(doc, std::string("/totals/passes/") + kOutcomeNames[o],
         &st->totals.passes[o]);
  }
  for (const json& s : Part(doc, "/stuck", json::value_t::array)) {
    ServiceState::Stuck item;
    Part(s, "", json::value_t::object);
    Read(s, "/kind", &item.strKind);
    Read(s, "/item", &item.strName);
    Read(s, "/reason", &item.strWhy);
    st->stuck.push_back(item);
  }
  const json tenants = Part(doc, "/totals/tenants", json::value_t::object);
  for (const auto& [key, t] : tenants.items()) {
    TenantTotals& totals = st->totals.tenants[TenantId(key)];
    Part(t, "", json::value_t::object);
    Read(t, "/bytes", &totals.llBytes);
    Read(t, "/calls", &totals.llCalls);
  }
}

// Times a clock can show: status subtracts and prints them.
bool TimesShowable(const ServiceState& st) {
  const time_t kLatest = 253402300799;  // the last second of the year 9999
  for (time_t t : {st.tWritten, st.tMeasured, st.pass.tStart, st.pass.tEnd,
                   st.totals.tLastSuccess, st.archiving.tBacklogOldest,
                   st.archiving.tOldestCall, st.archiving.tUpdated})
    if (t < 0 || t > kLatest) return false;
  return true;
}

}  // namespace

std::string FormatState(const ServiceState& st) {
  json doc;
  // Every text is written Printable, here and nowhere else: a row's
  // directory or a file's name must not reach a terminal raw through
  // `fifodel status`. Printable text stays as it is.
  Fields(st, [&](const char* at, const auto& v) {
    if constexpr (std::is_same_v<std::decay_t<decltype(v)>, std::string>) {
      doc[json::json_pointer(at)] = Printable(v);
    } else {
      doc[json::json_pointer(at)] = v;
    }
  });
  doc["pass"]["outcome"] = kOutcomeNames[st.pass.outcome];
  for (int o = 0; o < 6; ++o)
    doc["totals"]["passes"][kOutcomeNames[o]] = st.totals.passes[o];
  doc["totals"]["tenants"] = Tenants(st.totals.tenants);
  doc["stuck"] = json::array();
  for (const ServiceState::Stuck& s : st.stuck)
    doc["stuck"].push_back({{"kind", Printable(s.strKind)},
                            {"item", Printable(s.strName)},
                            {"reason", Printable(s.strWhy)}});
  return doc.dump(2, ' ', false, json::error_handler_t::replace) + "\n";
}

bool ParseState(const std::string& text, ServiceState* st) {
  *st = ServiceState();
  json doc = json::parse(text, nullptr, false);
  if (!doc.is_object() || !doc.contains("written")) return false;
  try {
    Fields(*st, [&](const char* at, auto& v) { Read(doc, at, &v); });
    ReadLists(doc, st);
    if (!TimesShowable(*st)) throw std::out_of_range("a time beyond clocks");
  } catch (const std::exception&) {
    *st = ServiceState();
    return false;  // a field of the wrong type, a tenant without a number
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
