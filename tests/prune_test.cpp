// What keeps a stale directory from being pruned, tried by real passes on a
// real tree: the rows that place calls in it, however their flags stand;
// what was written in it within the hour; the hour a recorder writes into,
// however its clock stepped; and the bounds of the names at each level.
#include "prune.h"

#include <fcntl.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <time.h>

#include <filesystem>
#include <functional>

#include "reclaim.h"
#include "sandbox.h"
#include "tree.h"
#include "world.h"

namespace {

namespace fs = std::filesystem;
const std::string kStaleHour = "/recordings/2019/03/04/05";
const std::string kRoot = "/recordings/";

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

// `path`, with its modification time a year back: it was copied in with its
// old times, and only its change time tells.
void Backdate(const std::string& path) {
  const struct timespec times[] = {{0, UTIME_OMIT},
                                   {time(nullptr) - 365 * 86400, 0}};
  ASSERT_EQ(0, utimensat(AT_FDCWD, path.c_str(), times, AT_SYMLINK_NOFOLLOW));
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
      {"only directories, just made",
       [](World&) { fs::create_directories(kStaleHour + "/a/b"); }, nullptr},
      {"a file written now",
       [](World&) { MakeFile(kStaleHour + "/x.wav", 10); },
       "it holds /recordings/2019/03/04/05/x.wav, written within the last "
       "hour or dated later"},
      {"a file copied in with old times",
       [](World&) {
         MakeFile(kStaleHour + "/x.wav", 10);
         Backdate(kStaleHour + "/x.wav");
       },
       "it holds /recordings/2019/03/04/05/x.wav, written within the last "
       "hour or dated later"},
      {"a symbolic link made now, deep below",
       [](World&) {
         fs::create_directories(kStaleHour + "/a/b");
         fs::create_symlink("/nowhere", kStaleHour + "/a/b/l");
       },
       "it holds /recordings/2019/03/04/05/a/b/l, written within the last "
       "hour or dated later"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    World w(64);
    w.AddCall(1, "2020/01/01/05", 1, 4000, true);
    fs::create_directories(kStaleHour);
    c.build(w);
    w.Insert();
    const PassReport report = FullPass();
    EXPECT_EQ(!c.why, report.outcome == kOutcomePruned);
    EXPECT_EQ(!c.why, !Exists("/recordings/2019"));
    EXPECT_EQ(c.why ? c.why : "", WhyStays(report, "/recordings/2019"));
    w.Check();
  }
}

// A recorder whose clock stepped back two hours: the archived calls of the
// hour it wrote into before the step look later than the hour it writes into
// now, which stays, a recording in progress (no row yet) in it or not,
// however the recorder names its hours, on either side of UTC.
TEST(PruneTest, TheHourBeingWrittenStaysWhenTheClockSteppedBack) {
  const struct {
    const char* tz;
    bool fUtc, fRecording;
  } cases[] = {
      {"XXX5", false, true}, {"XXX5", false, false}, {"XXX-5", true, false}};
  const char* acTz = getenv("TZ");
  const std::string tz = acTz ? acTz : "";
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.tz) + (c.fUtc ? " UTC" : " local") +
                 (c.fRecording ? " recording" : ""));
    setenv("TZ", c.tz, 1);
    tzset();
    for (int attempt = 0; attempt < 3; ++attempt) {  // an hour began meanwhile
      const std::string now = kRoot + HourDir(time(nullptr), c.fUtc);
      World w(64);
      w.AddCall(1, HourDir(time(nullptr) + 7200, c.fUtc), 1, 4000, true);
      w.Insert();
      fs::create_directories(now);
      if (c.fRecording) MakeFile(now + "/live.wav", 1000);
      FullPass();
      if (kRoot + HourDir(time(nullptr), c.fUtc) != now) continue;
      EXPECT_TRUE(Exists(c.fRecording ? now + "/live.wav" : now)) << now;
      w.Check();
      break;
    }
  }
  acTz ? setenv("TZ", tz.c_str(), 1) : unsetenv("TZ");
  tzset();
}

// Which directories go for an oldest entry at and next to the lower bound of
// the names at each level: years from 2010, months and days from 01, hours
// from 00. Names below them are no recording directories and stay.
TEST(PruneTest, RangeAtEachBoundary) {
  const char* const tree[] = {"2009",          "2010/00",       "2010/01/00",
                              "2010/01/01/-1", "2010/01/01/00", "2010/01/01/01",
                              "2010/01/02",    "2010/02",       "2011"};
  const struct {
    const char* oldest;
    const char* gone;  // with everything below it; nullptr: nothing
  } cases[] = {
      {"2010/01/01/00", nullptr},      {"2010/01/01/01", "2010/01/01/00"},
      {"2010/01/02/00", "2010/01/01"}, {"2010/02/01/00", "2010/01"},
      {"2011/01/01/00", "2010"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.oldest);
    FreshSandbox();
    for (const char* dir : tree) fs::create_directories(kRoot + dir);
    Tree root;
    ASSERT_TRUE(root.Open());
    StuckRegistry known;
    PassReport report;
    const PruneContext ctx = {root.root(),
                              [](const std::string&, long long*) { return 0; },
                              known, &report};
    EXPECT_EQ(c.gone != nullptr, FifoOldestEntry(c.oldest, false, ctx));
    const std::string gone = c.gone ? c.gone : "";
    for (const std::string dir : tree) {
      bool fBelow = !gone.empty() && (dir + "/").rfind(gone + "/", 0) == 0;
      EXPECT_EQ(!fBelow, Exists(kRoot + dir)) << dir;
    }
  }
}

}  // namespace
