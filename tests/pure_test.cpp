// The service's pure rules, tested without root: the trigger arithmetic,
// shell quoting, which rows may name files, log-safe text, the forecast and
// its warning, the state document, the metrics and the status verdict.
#include <gtest/gtest.h>
#include <stdio.h>
#include <stdlib.h>
#include <syslog.h>

#include <nlohmann/json.hpp>
#include <string>

#include "calls.h"
#include "forecast.h"
#include "journal_format.h"
#include "logging.h"
#include "metrics.h"
#include "monitor.h"
#include "removal.h"
#include "replay.h"
#include "statedoc.h"
#include "status.h"
#include "stuck.h"

using namespace std::string_literals;

namespace {

const long long kMB = 1 << 20, P = 256;  // P: 4 KB blocks to the MB

TEST(DiskSpaceTest, TriggerLevelAndFlags) {
  struct {
    unsigned long long blocks, frsize, bavail, bsize;
    const char* want;  // trigger MB, free MB, bytes short, rather/somewhat low
  } cases[] = {
      {25100 * P, 4096, 250 * P, 4096, "251 250 1048576 11"},
      {100000 * P, 4096, 1000 * P, 4096, "1000 1000 0 11"},
      {100000 * P, 4096, 2000 * P, 4096, "1000 2000 0 01"},
      {100000 * P, 4096, 4000 * P, 4096, "1000 4000 0 00"},
      {204800 * P, 4096, 0, 4096, "2048 0 2147483648 11"},
      {10000 * 1024, 1024, 249 * P, 4096, "250 249 1048576 11"},
      {1ULL << 40, 4096, 8192 * 4 - 1, kMB / 4, "2048 8191 0 01"},
  };
  for (const auto& c : cases) {
    DiskSpace ds = {7, 7, true, true};
    auto trigger = ApplyDiskStats(&ds, c.blocks, c.frsize, c.bavail, c.bsize);
    char got[64];
    snprintf(got, sizeof got, "%llu %llu %lld %d%d", trigger, ds.uliMegsFree,
             ds.liToFree, ds.ratherLow, ds.somewhatLow);
    EXPECT_STREQ(c.want, got) << c.blocks;
  }
}

// What the shell makes of the quoted word is the name itself, whatever the
// name holds.
TEST(EscapeShellArgTest, ShellGetsTheNameBack) {
  for (std::string name :
       {""s, "it's"s, "''"s, " two  blanks "s, "$(id)"s, "`id`;rm -rf /x"s,
        "a\\b\"c"s, "new\nline"s, "*?[a]"s, "-n"s, "\x01\x7f\xe9"s}) {
    std::string cmd = "printf %s " + escapeShellArg(name);
    FILE* sh = popen(cmd.c_str(), "r");
    ASSERT_TRUE(sh);
    std::string got;
    for (int c; (c = fgetc(sh)) != EOF;) got += static_cast<char>(c);
    EXPECT_EQ(0, pclose(sh)) << name;
    EXPECT_EQ(name, got);
  }
}

TEST(RowProblemTest, RefusesRowsThatNameNoFileOrLeaveTheTree) {
  const char* const kNull = "directory is NULL";
  const char* const kNoName = "filename is NULL";
  const char* const kEscape = "a '..' path component would leave /recordings";
  const char* const kNoFile = "the media name names no file";
  struct {
    const char *dir, *file, *screen, *want;
  } cases[] = {
      {"2019/01/02/03", "a.wav", nullptr, nullptr},
      {"2019/01/02/03", "a.wav", "desk.avi", nullptr},
      {"", "a.wav", "", nullptr},
      {"a..", "..b", ".../x", nullptr},
      {"a", "sub/b.wav", nullptr, nullptr},
      {nullptr, "a.wav", nullptr, kNull},
      {nullptr, nullptr, nullptr, kNull},
      {"a", nullptr, nullptr, kNoName},
      {"..", "a.wav", nullptr, kEscape},
      {"2019/../../etc", "a.wav", nullptr, kEscape},
      {"a", "b/..", nullptr, kEscape},
      {"a", "b.wav", "../../etc/passwd", kEscape},
      {"a/", "../b", nullptr, kEscape},
      {"a", "", nullptr, kNoFile},
      {"a", ".", nullptr, kNoFile},
      {"a", "x/", nullptr, kNoFile},
      {"a", "x/.", nullptr, kNoFile},
  };
  for (const auto& c : cases)
    EXPECT_STREQ(c.want, RowProblem(c.dir, c.file, c.screen))
        << (c.dir ? c.dir : "NULL") << " | " << (c.file ? c.file : "NULL");
}

// Nothing that reaches a log line can start a new one or steer a terminal,
// and what comes out is valid UTF-8.
TEST(PrintableTest, EscapesControlCharactersAndInvalidUtf8) {
  const std::pair<std::string, std::string> cases[] = {
      {"", ""},
      {"/recordings/2019/a b.wav", "/recordings/2019/a b.wav"},
      {"x\nFIFO_delete: finished", "x\\nFIFO_delete: finished"},
      {"\r\t\v\f\b\a", "\\r\\t\\v\\f\\b\\a"},
      {"\x1b[2J", "\\x1b[2J"},
      {"a\0b"s, "a\\x00b"},
      {"\x7f\x1f", "\\x7f\\x1f"},
      {"\xc3\xa9\xe2\x82\xac\xf0\x9f\x98\x80",
       "\xc3\xa9\xe2\x82\xac\xf0\x9f\x98\x80"},
      {"\xc3\xa9\xff", "\xc3\xa9\\xff"},
      {"\xc0\xaf", "\\xc0\\xaf"},                    // overlong
      {"\xed\xa0\x80", "\\xed\\xa0\\x80"},           // a surrogate
      {"\xf4\x90\x80\x80", "\\xf4\\x90\\x80\\x80"},  // beyond U+10FFFF
      {"\xe2\x82", "\\xe2\\x82"},                    // cut short
      {"\xe2\x82x", "\\xe2\\x82x"},
  };
  for (const auto& c : cases)
    EXPECT_EQ(c.second, Printable(c.first)) << c.first;
}

// The fill rate behind the forecast, and when it is worth a warning.
TEST(ForecastTest, RateTimeToTriggerAndWarning) {
  struct {
    std::deque<Sample> samples;
    long long free, trigger;
    double rate;
    long long forecast;
  } cases[] = {
      {{{0, 900}, {60, 840}, {120, 780}}, 780, 180, 1, 600},
      {{{0, 900}, {60, 960}, {120, 900}}, 900, 180, 0, -1},
      {{{0, 100}, {60, 200}}, 200, 100, -100.0 / 60, -1},
      {{{5, 900}}, 900, 180, 0, -1},
      {{{0, 500}, {30, 470}}, 100, 180, 1, 0},                 // already below
      {{{0.5, 900}, {1, 890}, {1.5, 880}}, 880, 180, 20, 35},  // scaled pace
  };
  for (const auto& c : cases) {
    double rate = FillRate(c.samples);
    EXPECT_DOUBLE_EQ(c.rate, rate) << c.free;
    EXPECT_EQ(c.forecast, ForecastSeconds(c.free, c.trigger, rate)) << c.free;
  }
  const std::optional<double> kNone;
  struct {
    long long seconds;
    std::optional<double> lastPass;  // before now = 10000
    bool warn;
  } steps[] = {
      {1800, kNone, true},  {1700, kNone, false},  // once per episode
      {7200, kNone, false}, {1800, kNone, true},   // a forecast beyond re-arms
      {-1, kNone, false},   {1800, 9000, false},   // a pass within the hour
      {1800, 6399, true},   {0, kNone, false},     // at the trigger: a pass due
      {-1, kNone, false},   {1800, 6401, false},   // within the hour, just
  };
  Forecast f;
  f.Add(0, 900);
  f.Add(60, 840);
  for (const auto& s : steps)
    EXPECT_EQ(s.warn, f.Warn(s.seconds, 10000, s.lastPass)) << s.seconds;
  f.Forget();
  EXPECT_EQ(-1, f.Seconds(900, 180));
  EXPECT_EQ(0, f.Seconds(100, 180));
}

ServiceState Healthy() {
  ServiceState st;
  st.llPid = 42;
  st.tWritten = st.tMeasured = 10000;
  st.fMeasureOk = true;
  st.llFreeBytes = 900 * kMB;
  st.llTriggerBytes = 250 * kMB;
  st.strLevel = "rather_low";
  return st;
}

// The verdict of `fifodel status`, one rule a row.
TEST(StatusTest, Verdicts) {
  const struct {
    const char* what;
    int code;
    const char* reason;  // the first
    void (*spoil)(ServiceState*) = nullptr;
    std::string pid = "42";
    time_t now = 10100;
  } cases[] = {
      {"healthy", 0, ""},
      {"not running", 3, "not running", nullptr, ""},
      {"another pid", 3, "running as pid 7, nothing published yet", nullptr,
       "7"},
      {"stale", 3, "state not refreshed for 181 s", nullptr, "42", 10181},
      {"fresh enough", 0, "", nullptr, "42", 10180},
      {"just written", 0, "", nullptr, "42", 10000},
      {"from the future", 3, "state written 1 s in the future", nullptr, "42",
       9999},
      {"short after a pass", 2,
       "free space below the trigger level after pass 3",
       [](ServiceState* s) {
         s->llFreeAfterPass = 100 * kMB, s->strLevel = "low",
         s->pass.llNumber = 3;
       }},
      {"short, but no longer", 0, "",
       [](ServiceState* s) { s->llFreeAfterPass = 100 * kMB; }},
      {"stuck", 1, "1 stuck",
       [](ServiceState* s) {
         s->stuck.push_back({"call", "call 4", "x"});
       }},
      {"database", 1, "database unreachable at the last pass",
       [](ServiceState* s) { s->pass.outcome = kOutcomeDbError; }},
      {"journal", 1, "counter journal pending",
       [](ServiceState* s) { s->fJournalPending = true; }},
      {"blind", 1, "the last measurement failed",
       [](ServiceState* s) { s->fMeasureOk = false; }},
      {"trigger near", 1, "trigger level in 60 min",
       [](ServiceState* s) { s->llForecast = 3600; }},
      {"trigger near, reclaiming", 0, "",
       [](ServiceState* s) { s->llForecast = 600, s->pass.tEnd = 9000; }},
      {"trigger far", 0, "", [](ServiceState* s) { s->llForecast = 3601; }},
  };
  for (const auto& c : cases) {
    ServiceState st = Healthy();
    if (c.spoil) c.spoil(&st);
    Verdict v = Judge(st, Found::kState, c.pid, c.now);
    EXPECT_EQ(c.code, v.code) << c.what;
    EXPECT_EQ(c.reason, v.reasons.empty() ? "" : v.reasons[0]) << c.what;
  }
  EXPECT_EQ(3, Judge(ServiceState(), Found::kNothing, "42", 10100).code);
}

// Whatever the document holds, status neither crashes nor calls it well: a
// malformed one is unknown, as text and as JSON.
TEST(StatusTest, MalformedDocumentsAreUnknown) {
  const std::string ok = "{\"pid\": 42, \"written\": 10000, ";  // then
  const std::string docs[] = {
      "not json",
      "[42, 10000]",
      "{\"pid\": 42}",
      "{\"pid\": 42, \"written\": \"10000\"}",
      "{\"pid\": 42, \"written\": 1e300}",
      "{\"pid\": 42, \"written\": 18446744073709551615}",
      "{\"pid\": 42, \"written\": -5}",
      ok + "\"pass\": {\"end\": 99999999999999}}",
      ok + "\"pass\": []}",
      ok + "\"measure_ok\": 1}",
      ok + "\"level\": 5}",
      ok + "\"stuck\": 5}",
      ok + "\"stuck\": [5]}",
      ok + "\"stuck\": [{\"item\": 5}]}",
      ok + "\"totals\": {\"passes\": {\"covered\": 1.5}}}",
      ok + "\"totals\": {\"tenants\": {\"x\": {}}}}",
      ok + "\"totals\": {\"tenants\": {\"07\": {}}}}",
      ok + "\"totals\": {\"tenants\": {\"7\": 5}}}",
      ok + "\"totals\": {\"tenants\": {\"99999999999999999999\": {}}}}",
  };
  std::string out;
  EXPECT_EQ(1, StatusReport(ok + "\"measure_ok\": false}", "42", "", false,
                            10100, &out))
      << "well formed: only the failed measurement to warn of";
  // A member nested deeper than any recursion could follow is no harm.
  const std::string deep = std::string(100000, '[') + std::string(100000, ']');
  EXPECT_EQ(1, StatusReport(ok + "\"x\": " + deep + "}", "42", "", true, 10100,
                            &out));
  for (const std::string& doc : docs)
    for (bool fJson : {false, true}) {
      out.clear();
      EXPECT_EQ(3, StatusReport(doc, "42", "", fJson, 10100, &out)) << doc;
      EXPECT_EQ(3,
                fJson ? nlohmann::json::parse(out).value("exit_code", -1) : 3);
    }
}

// Texts from rows and the tree cannot steer the operator's terminal: the
// document holds them escaped, and status prints them escaped whoever wrote
// the document.
TEST(StatusTest, TextsAreEscaped) {
  const std::string forged = "\x1b[2J\n\u25cf fifodel - ok";
  ServiceState st = Healthy();
  st.stuck.push_back({"call", "call 4", forged});
  const std::string text = FormatState(st);
  EXPECT_EQ(std::string::npos, text.find("\\u001b")) << text;
  ServiceState back;
  ASSERT_TRUE(ParseState(text, &back));
  EXPECT_EQ(Printable(forged), back.stuck[0].strWhy);
  nlohmann::json raw = nlohmann::json::parse(text);
  raw["stuck"][0]["reason"] = forged;  // as someone else wrote it
  for (const std::string& doc : {text, raw.dump()}) {
    std::string out;
    EXPECT_EQ(1, StatusReport(doc, "42", "", false, 10100, &out));  // stuck
    EXPECT_EQ(std::string::npos, out.find('\x1b')) << out;
    EXPECT_EQ(std::string::npos, out.find("\n\u25cf")) << out;
  }
}

// The document reads back as written, is valid JSON whatever the names in
// it, and the metrics say the same.
TEST(StateDocumentTest, RoundTripAndMetrics) {
  ServiceState st = Healthy();
  st.stuck.push_back({"directory", Printable("/recordings/2019/\xff\n"), "x"});
  st.totals.tenants[7] = {5000, 2};
  st.totals.passes[kOutcomeCovered] = 3;
  st.pass.outcome = kOutcomeStuck;
  st.archiving = {5, 1600000000, 1500000000, 1700000000};
  const std::string text = FormatState(st);
  EXPECT_TRUE(nlohmann::json::parse(text).is_object());
  ServiceState back;
  ASSERT_TRUE(ParseState(text, &back));
  EXPECT_EQ(text, FormatState(back));
  EXPECT_TRUE(ParseState("{\"written\": 5}", &back));
  EXPECT_EQ(-1, back.llFreeBytes) << "defaults for what an older one lacks";
  const std::string metrics = FormatMetrics(st);
  for (const char* series :
       {"fifodel_free_bytes 943718400\n",
        "fifodel_passes_total{outcome=\"covered\"} 3\n",
        "fifodel_passes_total{outcome=\"db_error\"} 0\n",
        "fifodel_tenant_reclaimed_bytes_total{tenant=\"7\"} 5000\n",
        "fifodel_stuck_items{kind=\"directory\"} 1\n",
        "fifodel_trigger_forecast_seconds +Inf\n",
        "fifodel_archive_backlog_calls 5\n",
        "fifodel_archive_backlog_oldest_start_timestamp_seconds 1600000000\n",
        "fifodel_oldest_recording_timestamp_seconds 1500000000\n",
        "fifodel_archive_backlog_updated_timestamp_seconds 1700000000\n"})
    EXPECT_NE(std::string::npos, metrics.find(series)) << series;
  // A backlog that could not be counted is absent, never 0.
  st.archiving = {-1, 0, 0, 1700000000};
  EXPECT_EQ(std::string::npos,
            FormatMetrics(st).find("fifodel_archive_backlog_calls"));
}

// What a pass meets and what the process keeps are bounded: beyond the bound
// items are counted, neither kept nor said, and the count is the last
// pass's, not a sum over passes that met the same items again.
TEST(StuckRegistryTest, Bounded) {
  StuckRegistry r;
  for (int pass = 1; pass <= 2; ++pass) {
    std::vector<StuckItem> met;
    long long more = 0;
    for (long long id = 1; id <= 150; ++id) {
      StuckKey key{StuckKey::kCall, id, ""};
      ReportStuck(r, LOG_INFO, {key, "x"}, &met, &more);
      if (id <= 100)  // met twice, kept once
        ReportStuck(r, LOG_INFO, {key, "again"}, &met, &more);
      EXPECT_EQ(pass == 1, r.Unsaid(key)) << id;  // unchanged while met
    }
    EXPECT_EQ(100u, met.size());
    EXPECT_EQ(50, more);
    r.Merge(met, more);
    EXPECT_EQ(100u, r.Items().size());
    EXPECT_EQ(50, r.Uncounted());
  }
  EXPECT_TRUE(r.Has({StuckKey::kCall, 1, ""}));
  r.Clear({StuckKey::kCall, 1, ""});
  EXPECT_TRUE(r.Unsaid({StuckKey::kCall, 1, ""}));
}

// Any name survives the journal's line: blanks, line ends and '%' are
// escaped, so that a name neither splits the line nor reads back as another.
TEST(JournalLineTest, NamesSurvive) {
  const std::string names[] = {"2021/03/04/05/a b.wav", "2021/03/04/05/a\nb",
                               "2021/03/04/05/100%41.wav",
                               "2021/03/04/05/\xff\x01"};
  for (const std::string& name : names) {
    Intent in;
    in.llCall = 1, in.llTenant = 2, in.llBytes = 3, in.strRel = name;
    in.dir = {0xfedcba9876543210ULL, {4, 5}, "1:0c00ff"};
    in.file = {6, 7};
    const std::string line = IntentLine(in);
    ASSERT_EQ(line.size() - 1, line.find('\n')) << name;
    std::string payload;
    Intent back;
    ASSERT_TRUE(JournalPayload(line.substr(0, line.size() - 1), &payload));
    ASSERT_TRUE(ParseIntent(payload, &back)) << payload;
    EXPECT_EQ(name, back.strRel);
    EXPECT_TRUE(back.dir == in.dir && back.file == in.file) << payload;
    EXPECT_EQ(in.dir.strHandle, back.dir.strHandle);
  }
}

// A name written again after a kill is another file: the first is charged
// where it was named, though a committed pass named the second since.
TEST(ReplayTest, ANameWrittenAgainIsAnotherFile) {
  Intent old;
  old.llCall = 1, old.llTenant = 2, old.llBytes = 100;
  old.strRel = "2021/03/04/05/c1.wav";
  old.file = {12, 1};
  Intent again = old;
  again.file.llBirth = 2;
  const std::string text = JournalLine("S") + IntentLine(old) +
                           JournalLine("S") + IntentLine(again) +
                           JournalLine("C 7");
  Pending p = ResolveJournal(
      text,
      [](const Intent& i) { return i.file.llBirth == 2 ? kThere : kGone; },
      [](const std::string&) { return kCommitted; });
  ASSERT_EQ(1u, p.charged.size());
  EXPECT_EQ(1, p.charged[0].file.llBirth);
  EXPECT_EQ((LLMAP{{2, -100}}), p.owed);
}

}  // namespace
