// The promises of "What it will not touch", each tried against a real tree
// and database by one pass: hostile links, names and mounts, calls not yet
// archived in stale directories however their rows spell them, directories
// that move away while a pass holds them; every row ends with World's checks.
#include <signal.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <functional>
#include <sstream>

#include "reclaim.h"
#include "replay.h"
#include "sandbox.h"
#include "world.h"

namespace {

namespace fs = std::filesystem;
const std::string kHour = "/recordings/2020/01/01/05/";
const std::string kFs = "/var/tolvex/conf/fs";  // holds /recordings and more

void Link(const std::string& target, const std::string& path) {
  fs::create_directories(fs::path(path).parent_path());
  fs::remove(path);
  ASSERT_EQ(0, symlink(target.c_str(), path.c_str())) << path;
}

// Call 1, the oldest archived one, in kHour.
void Call1(World& w) { w.AddCall(1, "2020/01/01/05", 1, 4000, true); }

// Call 1, with `flags`, its file `name` a link that leads out of the tree.
std::function<void(World&)> LinkedOut(const std::string& name, int flags) {
  return [name, flags](World& w) {
    Call1(w);
    w.Insert();
    Psql("UPDATE calls SET flags = " + std::to_string(flags));
    w.Untrack(kHour + name);
    Link(std::string(kOut) + "/victim", kHour + name);
  };
}

// The shred that a secure delete runs, a script holding `body`.
void Shred(const std::string& body) {
  fs::create_directories("/var/tolvex/conf/bin");
  std::ofstream("/var/tolvex/conf/bin/shred") << "#!/bin/sh\n" << body;
  fs::permissions("/var/tolvex/conf/bin/shred", fs::perms::owner_all);
}

// The row of archived call `id` in `dir`, naming `filename`.
void Row(World& w, int id, const std::string& dir, const std::string& file) {
  w.AddRow(id, dir, 1, true);
  w.Insert();
  Psql("UPDATE calls SET filename = '" + file +
       "' WHERE id = " + std::to_string(id));
}

// Its row naming `filename`, its files left where call 1's would be: no
// file of a call, as far as the checks go.
std::function<void(World&)> Misnamed(const std::string& filename) {
  return [filename](World& w) {
    MakeFile(kHour + "c1.wav", 4000);
    MakeFile(kHour + "c1.wav.g711", 500);
    Row(w, 1, "2020/01/01/05", filename);
  };
}

// /recordings as a directory of a larger file system, so that a directory
// can move out of the tree without leaving the disk.
void SharedFileSystem() {
  fs::create_directories(kFs);
  ASSERT_EQ(0, mount("tmpfs", kFs.c_str(), "tmpfs", 0, "size=16m"));
  fs::create_directories(kFs + "/rec");
  ASSERT_EQ(0, mount((kFs + "/rec").c_str(), "/recordings", 0, MS_BIND, 0));
}

// A call not yet archived in the stale hour 2019/03/04/05, its row spelled
// `dir`. Its files are not there yet: any file written within the hour
// would keep the hour on its own, and only the row must.
const std::string kStaleHour = "/recordings/2019/03/04/05";
std::function<void(World&)> Pending(const std::string& dir) {
  return [dir](World& w) {
    Call1(w);
    fs::create_directories(kStaleHour);
    w.AddRow(2, dir, 1, false);
  };
}

struct Promise {
  const char* name;
  std::function<void(World&)> build;
  std::string remain;  // paths that must still be there, blanks between
  std::function<void(const PassReport&)> check = nullptr;  // of the pass
  bool secure = false;
  std::string fault = "", cmd = "";  // FIFODEL_FAULT and its command
};

const Promise kPromises[] = {
    {"MediaIsASymlink", LinkedOut("c1.wav", 0), "", nullptr, true},
    {"CompanionIsASymlink", LinkedOut("c1.wav.g711", 0), "", nullptr, true},
    {"ScreenFileIsASymlink", LinkedOut("screenc1.wmv", 2), "", nullptr, true},
    {"HourDirectoryIsASymlink",
     [](World& w) {
       w.AddRow(1, "2020/01/01/05", 1, true);
       Link(kOut, "/recordings/2020/01/01/05");
       MakeFile(std::string(kOut) + "/c1.wav", 10);
     },
     ""},
    {"HourIsALinkToAnotherHour",  // whose file of that name is not archived
     [](World& w) {
       w.AddCall(1, "2020/01/01/06", 1, 4000, false);
       Row(w, 2, "2020/01/01/05", "c1.wav");
       Link("06", "/recordings/2020/01/01/05");
     },
     "/recordings/2020/01/01/06/c1.wav"},
    {"YearDirectoryIsASymlink",
     [](World& w) {
       w.AddRow(1, "2020/01/01/05", 1, true);
       MakeFile(std::string(kOut) + "/01/01/05/c1.wav", 10);
       Link(kOut, "/recordings/2020");
     },
     ""},
    {"AbsoluteDirectory", [](World& w) { Row(w, 1, kOut, "victim"); }, ""},
    {"SymlinkSwappedInWhileShredding",
     [](World& w) {
       Call1(w);
       Shred("ln -sf " + std::string(kOut) + "/victim " + kHour + "x; mv " +
             kHour + "x " + kHour + "c1.wav\n");
     },
     "", nullptr, true},
    {"HardLinkKeepsTheBytes",
     [](World& w) {
       Call1(w);
       ASSERT_EQ(0, link((kHour + "c1.wav").c_str(), (kHour + "b").c_str()));
       w.Untrack(kHour + "c1.wav");
       w.Keep(kHour + "b");
     },
     kHour + "b", nullptr, true},
    {"ShredThatFailsKeepsTheFile",
     [](World& w) {
       Call1(w);
       w.Keep(kHour + "c1.wav");
       Shred("exit 1\n");
     },
     kHour + "c1.wav", nullptr, true},
    {"EmptyMediaName", Misnamed(""), kHour + "c1.wav.g711"},
    {"DotAsMediaName", Misnamed("."), kHour + "c1.wav"},
    {"MediaIsADirectory",
     [](World& w) {
       Misnamed("d")(w);
       MakeFile(kHour + "d/x", 10);
     },
     kHour + "d/x " + kHour + "c1.wav"},
    {"MountBelowAStaleDirectory",
     [](World& w) {
       Call1(w);
       fs::create_directories("/recordings/2019/02/mnt");
       ASSERT_EQ(0, mount("tmpfs", "/recordings/2019/02/mnt", "tmpfs", 0, 0));
       MakeFile("/recordings/2019/02/mnt/kept", 100);
     },
     "/recordings/2019/02/mnt/kept"},
    {"PendingCallInStaleDirectory", Pending("2019/03/04/05"), kStaleHour},
    {"PendingCallWithLeadingSlash", Pending("/2019/03/04/05"), kStaleHour},
    {"PendingCallWithLeadingDot", Pending("./2019/03/04/05"), kStaleHour},
    {"PendingCallWithDoubledSlash", Pending("2019//03/04/05"), kStaleHour},
    {"PendingCallWithInnerDoubledSlash", Pending("2019/03//04/05"), kStaleHour},
    {"PendingCallWithDotComponent", Pending("2019/./03/04/./05"), kStaleHour},
    {"PendingCallWithTrailingSlash", Pending("2019/03/04/05/"), kStaleHour},
    {"PendingCallWithDotDot", Pending("2019/03/04/06/../05"), kStaleHour},
    {"ArchivedCallInStaleDirectory",  // a recorder's clock stepped back
     [](World& w) {
       Call1(w);
       w.AddCall(2, "2019/03/04/05", 2, 100, true);
     },
     ""},
    {"OldestEntryInTheFuture",  // stale by its name, were the entry right
     [](World& w) {
       w.AddCall(1, "2030/01/01/00", 1, 10, true);
       fs::create_directories("/recordings/2020/x");
     },
     "/recordings/2020/x"},
    {"HourMovedAwayDuringThePass",
     [](World& w) {
       SharedFileSystem();
       for (int id = 1; id <= 3; ++id)
         w.AddCall(id, "2020/01/01/05", 1, 10, true);
       for (const char* f : {"c2.wav", "c2.wav.g711", "c3.wav", "c3.wav.g711"})
         w.Untrack(kHour + f);
     },
     kFs + "/moved/c2.wav " + kFs + "/moved/c3.wav.g711", nullptr, true,
     "between-files",
     "[ -e /run/moved ] || mv " + kFs + "/rec/2020/01/01/05 " + kFs +
         "/moved; touch /run/moved"},
    {"DirectoryMovedAwayDuringAPrune",
     [](World& w) {
       SharedFileSystem();
       Call1(w);
       for (const char* d : {"a", "b", "c"})  // a file would keep them
         fs::create_directories(std::string("/recordings/2019/01/01/00/") + d);
     },
     kFs + "/moved/01/00/a " + kFs + "/moved/01/00/b", nullptr, false,
     "prune-walk",
     "[ -e /run/moved ] || mv " + kFs + "/rec/2019/01 " + kFs +
         "/moved; touch /run/moved"},
    {"DatabaseLostDuringThePendingQuestion",
     [](World& w) {
       Call1(w);
       fs::create_directories("/recordings/2019/x");
     },
     "/recordings/2019/x", nullptr, false, "pending-question",
     // The pass's connection ends as a lost one does, and the server stays
     // up: a killed backend would send it into crash recovery, which may
     // begin only after the pass, under the checks that follow it.
     "psql -U root -d tolvex -qAt -c \"SELECT pg_terminate_backend(pid, "
     "5000) FROM pg_stat_activity WHERE backend_type = 'client backend' AND "
     "pid <> pg_backend_pid()\" >/dev/null"},
    // The second finds it gone, which is no stuck call; both are marked.
    {"TwoRowsNamingOneMediaFile",
     [](World& w) {
       Call1(w);
       Row(w, 2, "2020/01/01/05", "c1.wav");
     },
     "",
     [](const PassReport& r) {
       EXPECT_EQ(0u, r.stuck.size());
       EXPECT_EQ(std::vector<std::string>{"2"},
                 Psql("SELECT count(*) FROM calls WHERE flags & 4 = 4"));
     }},
    // Said once with their call, which is marked: never among stuck items.
    {"CompanionsThatAreNoFilesDoNotPileUp",
     [](World& w) {
       for (int id = 1; id <= 150; ++id) {
         const std::string g711 =
             kHour + "c" + std::to_string(id) + ".wav.g711";
         w.AddCall(id, "2020/01/01/05", 1, 10, true);
         w.Untrack(g711);
         fs::remove(g711);
         fs::create_directories(g711);
       }
     },
     "", [](const PassReport& r) { EXPECT_EQ(0u, r.stuck.size()); }},
};

void PrintTo(const Promise& p, std::ostream* os) { *os << p.name; }

class PromiseTest : public ::testing::TestWithParam<Promise> {};

TEST_P(PromiseTest, Holds) {
  const Promise& p = GetParam();
  World w(64);
  p.build(w);
  w.Insert();
  if (p.secure) MakeFile("/var/tolvex/conf/opt_secure_delete", 0);
  const std::string path = getenv("PATH");
  setenv("PATH", ("/var/tolvex/conf/bin:" + path).c_str(), 1);
  setenv("FIFODEL_FAULT", p.fault.c_str(), 1);
  setenv("FIFODEL_FAULT_CMD", p.cmd.c_str(), 1);
  const PassReport report = FullPass();
  unsetenv("FIFODEL_FAULT");
  setenv("PATH", path.c_str(), 1);
  std::istringstream remain(p.remain);
  for (std::string r; remain >> r;) EXPECT_TRUE(Exists(r)) << r;
  if (p.check) p.check(report);
  // The counts a pass could not commit are applied, as the next pass would.
  ApplyPendingJournal();
  w.Check({p.fault != "pending-question"});
}

INSTANTIATE_TEST_SUITE_P(, PromiseTest, ::testing::ValuesIn(kPromises),
                         [](const auto& info) { return info.param.name; });

// A pass names as loose only what the monitor knew to be stuck: naming every
// reclaimed call would cost memory by the call.
TEST(StuckTest, OnlyKnownItemsComeLoose) {
  World w(64);
  Call1(w);
  w.AddCall(2, "2020/01/01/05", 1, 10, true);
  w.Insert();
  StuckRegistry known;
  known.Merge({{{StuckKey::kCall, 1, ""}, "was read-only"}}, 0);
  PassReport report = FullPass(&known);
  ASSERT_EQ(1u, report.loosened.size());
  EXPECT_EQ(1, report.loosened[0].llCall);
  w.Check();
}

}  // namespace
