// The promises of "When things go wrong", against the real service: each row
// injects a fault where a pass is most fragile (FIFODEL_FAULT), lifts it and
// lets the service recover, with time scaled down tenfold. Then the checks
// of World, and that the service is alive, measuring at its pace, free space
// is back above the trigger level and its status is valid JSON.
#include <signal.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <functional>
#include <nlohmann/json.hpp>

#include "paths.h"
#include "sandbox.h"
#include "service.h"
#include "world.h"

namespace {

namespace fs = std::filesystem;
const std::string kHour = "2021/03/04/05";
// The backend serving the service dies, as under the OOM killer; the server
// recovers by itself. The bracket keeps pkill from matching its own shell.
const std::string kKillBackends = "pkill -9 -f 'postgres: [r]oot tolvex'";
const std::string kLock =
    "(psql -U root -d tolvex -c 'BEGIN; SELECT * FROM calls FOR UPDATE; "
    "SELECT pg_sleep(2)' >/dev/null &); sleep 0.3";

// Calls whose media cannot be removed, older than all others: 201 in a
// read-only hour, or one immutable (EPERM even for root) whose companion goes.
void Unremovable(World& w, bool fReadOnly) {
  const std::string dir = "2021/03/04/04", abs = "/recordings/" + dir + "/";
  for (int id = 1000; id < (fReadOnly ? 1201 : 1001); ++id)
    w.AddCall(id - 2000, dir, 3, 1024, true);
  if (fReadOnly)
    ReadOnly(abs);
  else
    ASSERT_EQ(0, Sh("chattr +i " + abs + "c-1000.wav"));
}

// Where a victim's second name is planted: at the metrics' temporary, the
// journal and the audit trail.
const std::pair<const char*, const char*> kPlanted[] = {
    {"/run/metrics", METRICS_NAME ".tmp"},
    {JOURNAL_DIR, JOURNAL_NAME},
    {AUDIT_DIR, AUDIT_NAME}};

struct Fault {
  const char* name;
  const char* point;      // FIFODEL_FAULT, "" for a fault set up beforehand
  std::string cmd = "";   // run once at the point
  std::string lift = "";  // run by the test once the fault has struck
  std::function<void(World&)> setup = [](World&) {};
  std::function<void()> check = [] {};
  bool fAudit = true;  // the audit trail can be written
};

const Fault kFaults[] = {
    {"DatabaseStoppedAtConnect", "connect", PrivatePostgres::kStop,
     PrivatePostgres::kStart},
    {"BackendKilledAtChunkQuery", "chunk-query", kKillBackends, "sleep 1"},
    {"BackendKilledInTenantTransaction", "tenant-transaction", kKillBackends,
     "sleep 1"},
    {"DatabaseFrozenAtChunkQuery", "chunk-query", "killall -STOP postgres",
     "sleep 6; killall -CONT postgres"},
    {"RowLockHeldBeforeMark", "before-mark", kLock, "sleep 2"},
    {"ReadOnlyMedia", "", "", "", [](World& w) { Unremovable(w, true); }},
    {"ImmutableMedia", "", "", "", [](World& w) { Unremovable(w, false); }},
    {"HardLinkAndFifosAtTemporaries", "", "", "",
     [](World&) {
       fs::create_directories("/run/metrics");
       fs::create_directories(STATE_DIR);
       ASSERT_EQ(0, mkfifo(STATE_FILE ".tmp", 0644));
       ASSERT_EQ(0, mkfifo(JOURNAL_FILE ".tmp", 0644));
       for (auto [dir, name] : kPlanted) {  // a victim's second name
         const std::string victim = dir + std::string("/victim");
         std::ofstream(victim) << "secret";
         fs::permissions(victim, fs::perms::owner_read);
         ASSERT_EQ(
             0, link(victim.c_str(), (dir + std::string("/") + name).c_str()));
       }
     },
     [] {
       for (auto [dir, name] : kPlanted) {
         const std::string victim = dir + std::string("/victim");
         EXPECT_EQ(fs::perms::owner_read, fs::status(victim).permissions());
         EXPECT_EQ("secret", Slurp(victim)) << dir;
       }
       EXPECT_TRUE(Exists("/run/metrics/" METRICS_NAME));
     },
     false},
    {"StuckNameThatIsNoUtf8", "", "", "",
     [](World&) {
       fs::create_directories("/recordings/2019/\xff\n");
       ASSERT_EQ(0, mount("tmpfs", "/recordings/2019/\xff\n", "tmpfs", 0, 0));
     }},
    {"LinkToAFifoAtTheJournal", "", "", "",
     [](World&) {
       ASSERT_EQ(0, mkfifo(JOURNAL_DIR "/fifo", 0600));
       ASSERT_EQ(0, symlink("fifo", JOURNAL_FILE));
     }},
    {"FifoAtTheAuditTrail", "", "", "",
     [](World&) { ASSERT_EQ(0, mkfifo(AUDIT_FILE, 0644)); }, [] {}, false},
};

void PrintTo(const Fault& p, std::ostream* os) { *os << p.name; }

class FaultTest : public ::testing::TestWithParam<Fault> {};

// A recording server short of about 8 MB, with the row's fault set up.
TEST_P(FaultTest, Recovers) {
  const Fault& f = GetParam();
  World w(292);  // trigger level 250 MB
  MakeFile("/var/tolvex/conf/fifo_verbose", 0);
  for (int id = 1; id <= 30; ++id) w.AddCall(id, kHour, id % 2 + 1, kMB, true);
  for (int id = 31; id <= 35; ++id) w.AddCall(id, kHour, 1, kMB, false);
  MakeFile("/recordings/live.wav", 11 * kMB);
  f.setup(w);
  w.Insert();
  std::vector<std::string> env = {"FIFODEL_TIME_SCALE=0.1"};
  if (*f.point) {  // strikes once, though later passes reach the point again
    env.push_back(std::string("FIFODEL_FAULT=") + f.point);
    env.push_back(
        "FIFODEL_FAULT_CMD=[ -e /run/striking ] && exit 0; touch "
        "/run/striking; " +
        f.cmd + "; touch /run/struck");
  }
  fs::create_directories("/run/metrics");
  Service svc(FIFODEL_BINARY, "debug --metrics-dir /run/metrics", env);
  EXPECT_TRUE(*f.point
                  ? Service::Await([] { return Exists("/run/struck"); }, 15)
                  : svc.AwaitLine("FIFO_delete: finished", 1, 15));
  Sh(f.lift);
  Service::Await([&] { return Settled(svc, false); }, 20);
  // Counts or marks still owed wait for the next shortage: recording goes on.
  MakeFile("/recordings/live2.wav", 10 * kMB);
  // Files the audit trail could not name keep the journal until it can.
  EXPECT_TRUE(Service::Await([&] { return Settled(svc, f.fAudit); }, 20));
  EXPECT_EQ(!f.fAudit, Exists(JOURNAL_FILE));
  EXPECT_TRUE(svc.Running());
  // A server frozen for 6 s costs a cycle the deadline (0.8 s) or the
  // connect timeout (2 s) at most, never the whole freeze.
  EXPECT_LT(svc.LongestGap("free: "), 4.5) << svc.Text();
  EXPECT_TRUE(nlohmann::json::parse(Output(FIFODEL_BINARY " status --json"),
                                    nullptr, false)
                  .is_object());
  EXPECT_EQ(0, svc.Stop(SIGTERM));
  w.Check({f.fAudit});
  f.check();
}

INSTANTIATE_TEST_SUITE_P(, FaultTest, ::testing::ValuesIn(kFaults),
                         [](const auto& info) { return info.param.name; });

}  // namespace
