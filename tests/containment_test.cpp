// Hostile trees and rows: what the recorder's user could put below
// /recordings or into `calls` to turn a pass against the host. After every
// row: nothing outside /recordings changed, no file of a call that is not
// archived is gone, and the tenant's counter fell by exactly the bytes that
// left the disk.
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <set>

#include "dbfixture.h"
#include "reclaim.h"
#include "treecheck.h"

namespace {

namespace fs = std::filesystem;
const std::string kHour = "/recordings/2020/01/01/05/";
const std::string kOut = "/var/tolvex/conf/out";  // outside the tree

void Link(const std::string& target, const std::string& path) {
  fs::create_directories(fs::path(path).parent_path());
  ASSERT_EQ(0, symlink(target.c_str(), path.c_str())) << path;
}

void Tmpfs(const std::string& path) {
  fs::create_directories(path);
  ASSERT_EQ(0, mount("tmpfs", path.c_str(), "tmpfs", 0, "size=1m")) << path;
  MakeFile(path + "/kept", 100);
}

struct Hostile {
  const char* escape;
  bool secure;        // secure-delete marker present
  const char* calls;  // (id, directory, filename, flags, isarchived)
  std::function<void()> build;
  std::vector<std::string> remain;  // must still be there (lstat)
};

// Media "a.wav" of call 1 in kHour, with a companion; shared by most rows.
void Call1() {
  MakeFile(kHour + "a.wav", 4000);
  MakeFile(kHour + "a.wav.g711", 500);
}

const char kCall1[] = "(1,'2020/01/01/05','a.wav',0,1)";

const Hostile kHostile[] = {
    {"media is a symlink",
     true,
     kCall1,
     [] { Link(kOut + "/victim", kHour + "a.wav"); },
     {}},
    {"companion is a symlink",
     true,
     kCall1,
     [] {
       MakeFile(kHour + "a.wav", 4000);
       Link(kOut + "/victim", kHour + "a.wav.g711");
     },
     {}},
    {"screen file is a symlink",
     true,
     "(1,'2020/01/01/05','a.wav',2,1)",
     [] {
       Call1();
       Link(kOut + "/victim", kHour + "screena.wmv");
     },
     {}},
    {"hour directory is a symlink",
     false,
     kCall1,
     [] { Link(kOut, "/recordings/2020/01/01/05"); },
     {kOut + "/victim"}},
    {"day directory is a symlink",
     false,
     kCall1,
     [] {
       MakeFile(kOut + "/05/a.wav", 10);
       Link(kOut, "/recordings/2020/01/01");
     },
     {kOut + "/05/a.wav"}},
    {"month directory is a symlink",
     true,
     kCall1,
     [] {
       MakeFile(kOut + "/01/05/a.wav", 10);
       Link(kOut, "/recordings/2020/01");
     },
     {kOut + "/01/05/a.wav"}},
    {"year directory is a symlink",
     true,
     kCall1,
     [] {
       MakeFile(kOut + "/01/01/05/a.wav", 10);
       Link(kOut, "/recordings/2020");
     },
     {kOut + "/01/01/05/a.wav"}},
    {"absolute directory",
     true,
     "(1,'/var/tolvex/conf/out','victim',0,1)",
     [] {},
     {}},
    {"symlink swapped in while shredding",
     true,
     kCall1,
     [] {
       Call1();
       fs::create_directories("/var/tolvex/conf/bin");
       std::ofstream("/var/tolvex/conf/bin/shred")
           << "#!/bin/sh\nln -sf " << kOut << "/victim " << kHour << "x; mv "
           << kHour << "x " << kHour << "a.wav\n";
       fs::permissions("/var/tolvex/conf/bin/shred", fs::perms::owner_all);
     },
     {}},
    {"hard link keeps the bytes",
     false,
     kCall1,
     [] {
       Call1();
       ASSERT_EQ(0, link((kHour + "a.wav").c_str(), (kHour + "b").c_str()));
     },
     {kHour + "b"}},
    {"empty media name",
     false,
     "(1,'2020/01/01/05','',0,1)",
     Call1,
     {kHour + "a.wav.g711"}},
    {"'.' as media name",
     false,
     "(1,'2020/01/01/05','.',0,1)",
     Call1,
     {kHour + "a.wav"}},
    {"media is a directory",
     false,
     "(1,'2020/01/01/05','d',0,1)",
     [] { MakeFile(kHour + "d/x", 10); },
     {kHour + "d/x"}},
    {"mount below a stale directory",
     false,
     kCall1,
     [] {
       Call1();
       Tmpfs("/recordings/2019/02/mnt");
       MakeFile("/recordings/2019/01/old", 0);
     },
     {"/recordings/2019/02/mnt/kept"}},
    {"unarchived call in a stale directory",
     false,
     "(1,'2020/01/01/05','a.wav',0,1), (2,'2019/03/04/05','u.wav',0,0)",
     [] {
       Call1();
       MakeFile("/recordings/2019/03/04/05/u.wav", 10);
     },
     {"/recordings/2019/03/04/05/u.wav"}},
    {"oldest entry in the future",
     false,
     "(1,'2030/01/01/00','a.wav',0,1), (2,'2020/01/01/05','a.wav',0,1)",
     [] {
       Call1();
       MakeFile("/recordings/2029/x", 0);
     },
     {"/recordings/2029/x"}},
};

using ContainmentTest = DbTest;

TEST_F(ContainmentTest, HostileTreesAndRows) {
  for (const Hostile& h : kHostile) {
    SCOPED_TRACE(h.escape);
    SandboxTest::SetUp();
    Sql("TRUNCATE calls, configs; INSERT INTO configs VALUES "
        "('TN1_DiskUsage', '1000000', 'x'); INSERT INTO calls SELECT id, d, "
        "f, fl, 1, NULL, a, now() - interval '1 day' + id * interval '1 s' "
        "FROM (VALUES " +
        std::string(h.calls) + ") v(id, d, f, fl, a)");
    MakeFile(kOut + "/victim", 4096);
    if (h.secure) MakeFile("/var/tolvex/conf/opt_secure_delete", 0);
    h.build();
    const auto outside = Snapshot("/var/tolvex/conf");
    const auto before = InodesBelow("/recordings");
    const std::string path = getenv("PATH");
    setenv("PATH", ("/var/tolvex/conf/bin:" + path).c_str(), 1);
    FIFO_delete(1 << 30, false);
    setenv("PATH", path.c_str(), 1);
    long long left = 0;
    const auto after = InodesBelow("/recordings");
    for (const auto& [ino, size] : before)
      if (!after.count(ino)) left += size;
    EXPECT_EQ(outside, Snapshot("/var/tolvex/conf"));
    EXPECT_EQ(std::to_string(1000000 - left),
              Scalar("SELECT value FROM configs"));
    for (const std::string& r : h.remain) EXPECT_TRUE(Exists(r)) << r;
    for (const std::string& f :
         Rows("SELECT directory || '/' || filename FROM calls WHERE "
              "isarchived = 0 AND flags & 4 = 0"))
      EXPECT_TRUE(Exists("/recordings/" + f)) << f;
  }
}

}  // namespace
