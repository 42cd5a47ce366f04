// The service's pure rules, tested without root: the trigger arithmetic,
// shell quoting, which rows may name files, log-safe text and the fill
// rate's forecast.
#include <gtest/gtest.h>
#include <stdio.h>

#include <string>

#include "logging.h"
#include "monitor.h"
#include "removal.h"
#include "rows.h"
#include "state.h"

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
  for (const auto& c : cases) {
    const char* got = RowProblem(c.dir, c.file, c.screen);
    EXPECT_STREQ(c.want, got)
        << (c.dir ? c.dir : "NULL") << " | " << (c.file ? c.file : "NULL")
        << " | " << (c.screen ? c.screen : "NULL");
  }
}

// Nothing that reaches a log line can start a new one or steer a terminal.
TEST(PrintableTest, EscapesControlCharactersOnly) {
  const std::pair<std::string, std::string> cases[] = {
      {"", ""},
      {"/recordings/2019/a b.wav", "/recordings/2019/a b.wav"},
      {"x\nFIFO_delete: finished", "x\\nFIFO_delete: finished"},
      {"\r\t\v\f\b\a", "\\r\\t\\v\\f\\b\\a"},
      {"\x1b[2J", "\\x1b[2J"},
      {"a\0b"s, "a\\x00b"},
      {"\x7f\x1f", "\\x7f\\x1f"},
      {"\xc3\xa9\xff", "\xc3\xa9\xff"},
  };
  for (const auto& c : cases) EXPECT_EQ(c.second, Printable(c.first));
}

// The fill rate behind the forecast and the early warning.
TEST(ForecastTest, RateAndTimeToTrigger) {
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
      {{{0, 500}, {30, 470}}, 100, 180, 1, 0},  // already below
  };
  for (const auto& c : cases) {
    double rate = FillRate(c.samples);
    EXPECT_DOUBLE_EQ(c.rate, rate) << c.free;
    EXPECT_EQ(c.forecast, ForecastSeconds(c.free, c.trigger, rate)) << c.free;
  }
}

}  // namespace
