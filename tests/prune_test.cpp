// What keeps a stale directory from being pruned, tried by real passes on a
// real tree: the rows that place calls in it, however their flags stand.
#include <filesystem>
#include <functional>

#include "reclaim.h"
#include "sandbox.h"
#include "world.h"

namespace {

namespace fs = std::filesystem;
const char kStaleHour[] = "/recordings/2019/03/04/05";

// Why `path` stayed in `report`, "" when it did not.
std::string WhyStays(const PassReport& report, const std::string& path) {
  for (const StuckItem& s : report.stuck)
    if (s.key.strPath == path) return s.strWhy;
  return "";
}

// Call 2's row alone in the stale hour, with `flags` and archived or not:
// its files are not there, so that nothing but the row can keep the hour.
std::function<void(World&)> RowOnly(int flags, bool archived) {
  return [flags, archived](World& w) {
    w.AddRow(2, "2019/03/04/05", 1, archived);
    w.Insert();
    Psql("UPDATE calls SET flags = " + std::to_string(flags) + " WHERE id = 2");
  };
}

// The stale year 2019 beside call 1, the oldest archived call, in 2020: one
// pass, which prunes the year or says why it stays.
TEST(PruneTest, WhatKeepsAStaleDirectory) {
  const struct {
    const char* name;
    std::function<void(World&)> build;
    const char* why;  // why /recordings/2019 stays; nullptr: it goes
  } cases[] = {
      {"a reclaimed call's row", RowOnly(6, false), nullptr},
      {"an archived call's row", RowOnly(0, true),
       "call 2 in it is not reclaimed yet"},
      {"a screen-recorded archived call's row", RowOnly(2, true),
       "call 2 in it is not reclaimed yet"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    World w;
    w.Reset(64);
    w.AddCall(1, "2020/01/01/05", 1, 4000, true);
    fs::create_directories(kStaleHour);
    c.build(w);
    w.Insert();
    PassRequest req;
    req.liBytesToFree = 1 << 30;
    const PassReport report = RunPass(req);
    EXPECT_EQ(!c.why, report.outcome == kOutcomePruned);
    EXPECT_EQ(!c.why, !Exists("/recordings/2019"));
    EXPECT_EQ(c.why ? c.why : "", WhyStays(report, "/recordings/2019"));
    w.Check();
  }
}

}  // namespace
