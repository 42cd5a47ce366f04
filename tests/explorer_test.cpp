// The crash explorer: where the service dies, crossed with what changes
// before it starts again. Each cell kills the real service (SIGKILL) at a
// named point of a pass or of a replay, changes the world while it is
// down, starts it again, lets the world heal, runs passes to the end and
// checks World's promises, the audit trail naming exactly the files that
// left and a counter short only where the log says a count was lost; the
// journal is settled and no second instance reclaimed. The recording tree
// and the journal live on ext4 images, so that copies of both taken at the
// fault point are what a power cut leaves.
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <functional>
#include <sstream>

#include "paths.h"
#include "sandbox.h"
#include "service.h"
#include "world.h"

namespace {

namespace fs = std::filesystem;

// Where it dies (FIFODEL_FAULT); at a replay's points, replaying what a kill
// between files left.
const char* const kPoints[] = {
    "before-intents", "after-intents", "between-files",      "before-audit",
    "before-mark",    "after-mark",    "tenant-transaction", "before-commit",
    "after-commit",   "replay-audit",  "replay-settling"};

// The images' file systems under the tree and the journal, and apart.
const std::string kMount =
    "mkdir -p /run/disk /run/lib && mount -o loop /run/img/disk /run/disk && "
    "mount -o loop /run/img/lib /run/lib && mkdir -p /run/disk/rec /run/lib/j "
    "&& mount --bind /run/disk/rec " RECORDINGS_DIR
    " && mount --bind /run/lib/j " JOURNAL_DIR;
const std::string kUnmount =
    "umount -R " RECORDINGS_DIR "; umount -R " JOURNAL_DIR
    "; umount /run/disk /run/lib /recording 2>/dev/null";

struct Cell;

using Act = std::function<void(Cell&)>;  // none: nothing to do
struct What {
  const char* name;
  Act change = {}, heal = {};  // while it is down; after a pass under it
  Act arrange = {};            // before the first run
  Act during = {};             // after a pass under it, before the heal
  // The world itself can make media come back (a mount) or go elsewhere (a
  // move) behind a marked call.
  bool fMarksExact = true;
  // False: it starts again with nothing to reclaim, so that the start alone
  // must settle what the kill left.
  bool fShortAtRestart = true;
};

struct Cell {
  Cell(std::string point, const What& what) : point_(point), what_(what) {}
  void Run();

  std::string h5 = "2021/03/04/05", h6 = "2021/03/04/06";  // the two hours
  std::vector<std::string> env = {"FIFODEL_TIME_SCALE=0.1"};
  Service b{FIFODEL_BINARY};  // the service started again
  World world;
  std::string log;      // what every run printed
  int notify = -1;      // a socket nobody reads
  std::string counter;  // a value the operator will restore
  ~Cell() {
    if (notify >= 0) close(notify);
  }

  // Free space brought to `mb` MB below the trigger level.
  void Shortage(int mb) {
    static int n = 0;
    long long bytes = FreeBytes() - (250 - mb) * kMB;
    if (bytes > 0)
      MakeFile(std::string(RECORDINGS_DIR "/filler") + std::to_string(++n),
               bytes);
  }
  void Build();
  bool Die(const std::string& point, const std::string& before);
  void Do(const Act& act) {
    if (act) act(*this);
  }
  const std::string point_;
  const What& what_;
};

// Runs `cmd` through the shell, where $H5 is the first hour's directory.
Act Shell(const std::string& cmd) {
  return [cmd](Cell& c) {
    ASSERT_EQ(0, Sh("H5=" RECORDINGS_DIR "/" + c.h5 + "; " + cmd)) << cmd;
  };
}

// 20 archived calls in h5 and 30 in h6, 1 MB each with a companion, two
// calls not archived yet in each hour; free space 8 MB short.
void Cell::Build() {
  world.Reset(64);
  // Images in memory: a sync of theirs must not wait for the host's disk.
  ASSERT_EQ(0,
            Sh("mkdir -p /run/img && mount -t tmpfs -o size=1g tmpfs "
               "/run/img && truncate -s 400M /run/img/disk && truncate -s 16M "
               "/run/img/lib && mkfs.ext4 -qF -m 0 /run/img/disk && "
               "mkfs.ext4 -qF -m 0 /run/img/lib"));
  ASSERT_EQ(0, Sh(kMount));
  MakeFile(CONF_DIR "/fifo_verbose", 0);
  // The diagnostic logs are a link that leads out: nothing there may go.
  ASSERT_EQ(0, Sh("mount -t tmpfs tmpfs /recording && ln -s " +
                  std::string(kOut) + " " LOG_DIR));
  Do(what_.arrange);
  for (long long id = 1; id <= 62; ++id)
    if (id <= 22 || id > 30)
      world.AddCall(id, id <= 22 ? h5 : h6, id % 3 + 1, kMB, id % 30 < 21);
  world.Insert();
  Shortage(8);
  // The world as the recorder left it is on the disk: a power cut takes
  // from the service only what it did.
  Sh("sync -f " RECORDINGS_DIR);
}

// Runs the service until it dies at `point`, having run `before` there
// first; false when the point was never reached.
bool Cell::Die(const std::string& point, const std::string& before) {
  std::vector<std::string> e = env;
  e.push_back("FIFODEL_FAULT=" + point);
  e.push_back(
      "FIFODEL_FAULT_CMD=[ -e /run/struck ] && exit 0; touch "
      "/run/struck; " +
      before + "kill -9 $PPID");
  Service svc(FIFODEL_BINARY, "debug", e);
  bool fStruck = Service::Await([&] { return !svc.Running(); }, 15);
  svc.Stop(SIGKILL);
  log += svc.Text();
  fs::remove("/run/struck");
  return fStruck;
}

void Cell::Run() {
  SCOPED_TRACE(point_ + " x " + what_.name);
  Build();
  const std::string copy =  // what a power cut leaves
      std::string(what_.name) != "PowerCut"
          ? ""
          : "for i in lib disk; do cp "
            "--sparse=always /run/img/$i /run/img/$i.cut; done; ";
  EXPECT_TRUE(point_.compare(0, 7, "replay-") == 0
                  ? Die("between-files", "") && Die(point_, copy)
                  : Die(point_, copy))
      << "never reached\n"
      << log;
  Do(what_.change);
  if (what_.fShortAtRestart) Shortage(5);  // work for it under the change
  b.Start("debug", env);
  if (!what_.fShortAtRestart) {
    struct stat st;
    EXPECT_TRUE(Service::Await(
        [&] { return stat(JOURNAL_FILE, &st) != 0 || st.st_size == 0; }, 5))
        << "not settled at the start\n"
        << b.Text();
    Shortage(5);
  }
  b.AwaitLine("FIFO_delete: finished", 1, 15);
  Do(what_.during);
  Do(what_.heal);
  Shortage(6);
  EXPECT_TRUE(Service::Await([&] { return Settled(b, true); }, 20)) << b.Text();
  EXPECT_TRUE(b.Running());
  b.Stop(SIGTERM);
  log += b.Text();
  SCOPED_TRACE(log);
  world.Check({true, what_.fMarksExact, true,
               log.find("not charged") != std::string::npos ||
                   log.find("not committed") != std::string::npos});
  Sh(kUnmount + "; umount /run/img");
}

const std::string kTN1 = " WHERE param = 'TN1_DiskUsage'";

// The journal's lines that hold intents all belong to its last segment:
// what a refused counter owes is one line per tenant, not its files.
void OneSegmentOfFiles() {
  std::istringstream journal(Slurp(JOURNAL_FILE));
  int beforeLast = 0, inLast = 0, debts = 0;
  for (std::string line; std::getline(journal, line);) {
    if (line.compare(0, 2, "S ") == 0) beforeLast += inLast, inLast = 0;
    inLast += line.compare(0, 2, "I ") == 0;
    debts += line.compare(0, 2, "O ") == 0;
  }
  EXPECT_EQ(0, beforeLast);
  EXPECT_LE(debts, 3);
}

const What kWhats[] = {
    {"Nothing", nullptr, nullptr, nullptr, nullptr, true, false},
    {"HourMoved",
     [](Cell& c) {
       Shell("mkdir -p " RECORDINGS_DIR "/archive && mv $H5 " RECORDINGS_DIR
             "/archive/h5")(c);
       // Its path leads to another directory now: a recording anew there.
       const std::string live = RECORDINGS_DIR "/" + c.h5 + "/live.wav";
       MakeFile(live, kMB);
       c.world.Track(live, 0, 1, true);
     },
     nullptr, nullptr, nullptr, false},
    {"MountMissing", Shell("umount $H5"), Shell("mount --bind /run/h5 $H5"),
     Shell("mkdir -p /run/h5 $H5 && mount -t tmpfs -o size=64m tmpfs /run/h5 "
           "&& mount --bind /run/h5 $H5"),  // h5 on a file system of its own
     nullptr, false},
    {"VarLibFull",
     Shell("{ fallocate -l 16M " JOURNAL_DIR
           "/filler; cat /dev/zero >" JOURNAL_DIR
           "/filler2; } 2>/dev/null; true"),
     Shell("rm -f " JOURNAL_DIR "/filler " JOURNAL_DIR "/filler2")},
    {"CounterRefused",
     [](Cell& c) {
       c.counter = Psql("SELECT value FROM configs" + kTN1)[0];
       Psql("UPDATE configs SET value = 'n/a'" + kTN1);
     },
     [](Cell& c) {
       Psql("UPDATE configs SET value = '" + c.counter + "'" + kTN1);
     },
     nullptr,
     [](Cell& c) {  // a second pass under it
       c.Shortage(4);
       c.b.AwaitLine("FIFO_delete: finished", 2, 15);
       EXPECT_LT(0, c.b.Count("TN 1 DiskUsage not updated")) << c.b.Text();
       OneSegmentOfFiles();
     }},
    {"DatabaseDown", Shell(PrivatePostgres::kStop),
     Shell(PrivatePostgres::kStart)},
    {"LockPathUnusable", Shell("rm -rf " STATE_DIR "; touch " STATE_DIR),
     [](Cell& c) {  // a second instance, once the path is usable again
       Sh("rm -f " STATE_DIR);
       c.Shortage(4);
       Service second(FIFODEL_BINARY, "debug", c.env);
       EXPECT_TRUE(Service::Await([&] { return !second.Running(); }, 5));
       EXPECT_EQ(0, second.Stop(SIGKILL));
       EXPECT_EQ(0, second.Count("FIFO_delete:")) << second.Text();
     }},
    {"NotifySocketUnread",
     [](Cell& c) {
       c.notify = socket(AF_UNIX, SOCK_DGRAM, 0);
       int size = 1;  // the smallest queue the kernel allows
       setsockopt(c.notify, SOL_SOCKET, SO_RCVBUF, &size, sizeof size);
       sockaddr_un addr = {AF_UNIX, "/run/notify"};
       ASSERT_EQ(
           0, bind(c.notify, reinterpret_cast<sockaddr*>(&addr), sizeof addr));
       c.env.push_back("NOTIFY_SOCKET=/run/notify");
     }},
    {"ClockStepped",
     [](Cell& c) {  // the recorder writes where the stepped clock says
       const std::string live =
           RECORDINGS_DIR "/" + HourDir(time(nullptr)) + "/live.wav";
       MakeFile(live, kMB);
       c.world.Track(live, 0, 1, true);
       unsetenv("TZ");
       tzset();
     },
     nullptr,
     [](Cell& c) {  // west of UTC, the calls an hour or two ahead of now
       c.env.push_back("TZ=XXX5");
       setenv("TZ", "XXX5", 1);
       tzset();
       c.h5 = HourDir(time(nullptr) + 3600);
       c.h6 = HourDir(time(nullptr) + 7200);
     }},
    {"NameWrittenAgain",
     [](Cell& c) {  // the recorder writes a removed media file anew
       const std::vector<std::string> marked =
           Psql("SELECT id FROM calls WHERE flags & 4 <> 0");
       const std::vector<World::File>& files = c.world.files();
       auto gone = std::find_if(files.begin(), files.end(), [&](auto& f) {
         return !f.fPending && !Exists(f.path) &&
                std::find(marked.begin(), marked.end(),
                          std::to_string(f.call)) == marked.end();
       });
       if (gone == files.end()) return;
       const World::File old = *gone;
       MakeFile(old.path, 700 * 1024);
       c.world.Added(old.tenant, 700 * 1024);
       c.world.Track(old.path, old.call, old.tenant, false);
     }},
    {"PowerCut",  // the file systems as their devices held them
     Shell(kUnmount + "; mv /run/img/disk.cut /run/img/disk && mv " +
           "/run/img/lib.cut /run/img/lib && " + kMount)},
};

void PrintTo(const What& w, std::ostream* os) { *os << w.name; }

class ExplorerTest : public ::testing::TestWithParam<What> {};

// EXPLORER_WHERE=<point> runs that point alone.
TEST_P(ExplorerTest, EveryPointOfDeath) {
  const char* only = getenv("EXPLORER_WHERE");
  for (const char* point : kPoints)
    if (!only || std::string(only) == point) Cell(point, GetParam()).Run();
}

INSTANTIATE_TEST_SUITE_P(, ExplorerTest, ::testing::ValuesIn(kWhats),
                         [](const auto& info) { return info.param.name; });

}  // namespace
