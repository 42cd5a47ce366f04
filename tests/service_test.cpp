// The real binary as operators meet it: the run modes and the command line,
// one instance at a time, and what it tells through `fifodel status`, the
// metrics, the audit trail and the service manager's notifications.
#include "service.h"

#include <signal.h>
#include <sys/inotify.h>
#include <sys/mount.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>
#include <regex>
#include <set>

#include "paths.h"
#include "sandbox.h"
#include "statedoc.h"
#include "world.h"

namespace {

namespace fs = std::filesystem;
const std::vector<std::string> kFast = {"FIFODEL_TIME_SCALE=0.1",
                                        "PATH=/var/tolvex/conf:/usr/bin:/bin"};

struct Mode {
  const char* args;
  int sig;        // ends it; 0: it ends by itself
  bool detaches;  // the service goes on in a child of its own session
  int exit_code;  // of the command itself
  const char* console;
};

const char kHeld[] =  // a pass held in a slow shred
    "Starting Tolvex FIFO\nOpened in debug mode.....\nFIFO program started\n"
    "FIFO_check: Free: 64 Mb (TOO LOW)\nFIFO_check: 195035136 bytes "
    "difference from threshold\nFIFO_delete: 195035136 bytes to free\n"
    "FIFO_delete: Connected to DB\nFIFO_delete: still bytes to free\n"
    "FIFO oldest entry in directory 2021/03/04/05 \n";
const char kStale[] =
    "DEBUG test\nFIFO_delete: 9 bytes to free\nSimulated\nFIFO_delete: "
    "Connected to DB\nFIFO_delete: still bytes to free\nFIFO oldest entry in "
    "directory 2021/03/04/05 \nFIFO delete directory: /recordings/2020 \nNo "
    "tenancy updates\nFIFO_delete: finished\nFIFO_delete function returned "
    "true (means would have deleted some dirs)\nClean exit!\n";

const Mode kModes[] = {
    {"", SIGTERM, true, 0, "Starting Tolvex FIFO\n"},
    {"--fifodelsim", SIGINT, true, 0, "Starting Tolvex FIFO\n"},
    {"DEBUG", SIGTERM, true, 0, "Starting Tolvex FIFO\n"},
    {"nofork", SIGINT, false, 0, "Starting Tolvex FIFO\n"},
    {"debug", SIGINT, false, 0, kHeld},
    {"--fifodelsim ' 9x' debug", 0, false, 0, kStale},
    {"--help", 0, false, 0,
     "usage: fifodel [debug | nofork] [--metrics-dir DIR]\n"},
    {"-h", 0, false, 0,
     "usage: fifodel [debug | nofork] [--metrics-dir DIR]\n"},
    {"--version", 0, false, 0, "fifodel 1.0.0\n"},
    {"status --jsn", 0, false, 3, ""},
    {"nofork --metrics-dir", 0, false, 2, ""},
    {"debug --metrics-dir /nowhere", 0, false, 2, ""},
    {"debug --metrics-dir /proc/self/cwd", 0, false, 2, ""},  // a link
};

using ServiceTest = SandboxTest;

// The detached service, adopted by this process: its own session, its
// standard descriptors on /dev/null.
pid_t Detached() {
  pid_t pid = 0;
  for (const auto& e : fs::directory_iterator("/proc")) {
    std::ifstream stat(e.path() / "stat");
    std::string comm, state;
    int child = 0, ppid = 0;
    if (stat >> child >> comm >> state >> ppid && ppid == getpid() &&
        comm == "(fifodel)")
      pid = child;
  }
  EXPECT_EQ(pid, getsid(pid));
  for (auto n : {"/fd/0", "/fd/1", "/fd/2"})
    EXPECT_EQ("/dev/null",
              fs::read_symlink("/proc/" + std::to_string(pid) + n));
  return pid;
}

// Each mode's output, and signals ending it at once, even mid-pass in shred.
TEST_F(ServiceTest, EachModeWritesWhereItShouldAndEndsAtOnce) {
  ASSERT_EQ(0, prctl(PR_SET_CHILD_SUBREAPER, 1));  // detached ones stay ours
  World w;
  w.Reset(64);
  w.AddCall(1, "2021/03/04/05", 1, 0, true);
  w.Insert();
  MakeFile("/var/tolvex/conf/opt_secure_delete", 0);
  std::ofstream("/var/tolvex/conf/shred") << "#!/bin/sh\nsleep 5\n";
  fs::permissions("/var/tolvex/conf/shred", fs::perms::owner_all);
  for (const Mode& m : kModes) {
    SCOPED_TRACE(m.args);
    if (!m.sig) fs::create_directories("/recordings/2020/12/31/23");  // stale
    Service svc(FIFODEL_BINARY);
    svc.Start(m.args, kFast);
    const std::string console = m.console;
    svc.Await([&] { return svc.Text().size() >= console.size(); }, 5);
    // Of the usage, its first line.
    const bool fUsage = console.compare(0, 6, "usage:") == 0;
    EXPECT_EQ(console,
              fUsage ? svc.Text().substr(0, console.size()) : svc.Text());
    bool fBanner = console == "Starting Tolvex FIFO\n";
    // A daemon logs once its descriptors are in place.
    std::vector<SyslogLine> logged = TakeSyslog(fBanner ? 3000 : 300);
    EXPECT_EQ(fBanner, !logged.empty() && logged[0].pri == 13 &&
                           logged[0].text == "FIFO program started");
    EXPECT_TRUE(fBanner || logged.empty());
    pid_t pid = m.detaches ? (svc.Stop(0), Detached()) : svc.pid();
    EXPECT_TRUE(!m.sig || kill(pid, 0) == 0) << "ended too early";
    TakeSyslog();
    if (m.sig) kill(pid, m.sig);
    if (m.detaches) {
      int status = -1;
      Service::Await([&] { return waitpid(pid, &status, WNOHANG) == pid; }, 2);
      EXPECT_EQ(0, status);
    } else {
      EXPECT_EQ(m.exit_code << 8, svc.Stop(0));
      if (!fBanner && !fUsage) {
        EXPECT_EQ(console, svc.Text()) << "nothing more";
      }
    }
    EXPECT_EQ(0u, TakeSyslog(100).size()) << "nothing more";
  }
}

// One instance at a time, however the files in its state directory are
// spoiled: a second one in any monitor mode leaves at once, saying why.
TEST_F(ServiceTest, OneInstanceOnly) {
  const char* const spoilers[] = {"", "mkdir " PID_FILE,
                                  "ln -s /nowhere " PID_FILE,
                                  "rmdir " STATE_DIR "; touch " STATE_DIR};
  for (const char* spoil : spoilers) {
    SCOPED_TRACE(spoil);
    FreshSandbox();
    Sh(std::string("mkdir -p " STATE_DIR "; ") + spoil);
    MakeFile("/recordings/2021/03/04/05/x", 0);
    Service first(FIFODEL_BINARY), second(FIFODEL_BINARY);
    first.Start("debug", kFast);
    ASSERT_TRUE(first.AwaitLine("FIFO program started", 1, 5));
    TakeSyslog();
    second.Start("nofork", kFast);
    EXPECT_EQ(0, second.Stop(0, 5));
    const auto logged = TakeSyslog(500);
    ASSERT_EQ(1u, logged.size());
    EXPECT_EQ(11, logged[0].pri) << logged[0].text;
    EXPECT_TRUE(first.Running());
    // A reader that goes away does not end it either.
    EXPECT_EQ("0\n",
              Output("bash -c 'set -o pipefail; { sleep 0.3; " FIFODEL_BINARY
                     " debug; } | true; echo $?'"));
    EXPECT_EQ(0, first.Stop(SIGTERM));
  }
}

// A pass looks at a chunk's files, puts their intents on the disk, and only
// then unlinks any; the journal's directory is synced once it is created.
TEST_F(ServiceTest, IntentsAreOnTheDiskBeforeAnyUnlink) {
  World w;
  w.Reset(64);
  for (int id = 1; id <= 3; ++id) w.AddCall(id, "2021/03/04/05", 1, 1000, true);
  w.Insert();
  Service svc(
      "strace -f -qq -e trace=openat,fsync,fdatasync,unlinkat -o "
      "/run/trace " FIFODEL_BINARY);
  svc.Start("debug", kFast);
  ASSERT_TRUE(svc.AwaitLine("FIFO_delete: finished", 1, 15));
  Sh("pkill -x fifodel");  // strace ends with it
  svc.Stop(0);
  std::string journal, dir, order;  // their descriptors; what happened
  std::ifstream trace("/run/trace");
  for (std::string line; std::getline(trace, line);) {
    std::smatch m;
    if (std::regex_search(
            line, m,
            std::regex("openat\\(AT_FDCWD, \"" JOURNAL_DIR "\".* = ([0-9]+)")))
      dir = m[1];
    if (std::regex_search(
            line, m, std::regex("\"" JOURNAL_NAME "\".*O_CREAT.* = ([0-9]+)")))
      journal = m[1];
    if (!dir.empty() && line.find("fsync(" + dir + ")") != std::string::npos)
      order += "d";
    if (!journal.empty() &&
        line.find("fdatasync(" + journal + ")") != std::string::npos)
      order += "j";
    if (line.find("unlinkat(") != std::string::npos &&
        line.find("c1.wav\"") != std::string::npos)
      order += "u";
  }
  EXPECT_EQ(0u, order.find("dj")) << order;
  EXPECT_LT(order.find('j'), order.find('u')) << order;
  w.Check();
}

// A pass that only pruned stale directories is followed at once by the next,
// which reclaims calls: not a whole cycle later.
TEST_F(ServiceTest, APruneNeverCostsACycle) {
  World w;
  w.Reset(292);  // trigger level 250 MB
  w.AddCall(1, "2021/03/04/05", 1, 60 * kMB, true);
  w.Insert();
  fs::create_directories("/recordings/2021/03/04/04");  // stale and empty
  Service svc(FIFODEL_BINARY);
  svc.Start("debug", {});  // time as it is: the cycle is 5 s
  ASSERT_TRUE(svc.AwaitLine("FIFO_delete: finished", 2, 12));
  EXPECT_LT(svc.LongestGap("FIFO_delete: finished"), 2.5) << svc.Text();
  svc.Stop(SIGTERM);
  EXPECT_FALSE(Exists("/recordings/2021/03/04/04"));
  w.Check();
}

// The service manager's end of NOTIFY_SOCKET, and inotify on the
// directories whose files must only ever be renamed into place.
struct Watch {
  int notify = socket(AF_UNIX, SOCK_DGRAM | SOCK_NONBLOCK, 0);
  int events = inotify_init1(IN_NONBLOCK);
  std::string messages;
  std::set<std::string> renamed, written;  // names seen moved in / written

  Watch() {
    sockaddr_un addr = {AF_UNIX, "/run/notify"};
    bind(notify, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
    fs::create_directories(STATE_DIR);
    fs::create_directories("/run/metrics");
    for (const char* dir : {STATE_DIR, "/run/metrics"})
      inotify_add_watch(events, dir, IN_MODIFY | IN_CLOSE_WRITE | IN_MOVED_TO);
  }
  ~Watch() { close(notify), close(events); }
  void Drain() {
    char msg[4096];
    for (ssize_t n; (n = recv(notify, msg, sizeof msg, 0)) > 0;)
      messages += std::string(msg, n) + "\n";
    for (ssize_t n; (n = read(events, msg, sizeof msg)) > 0;)
      for (char* p = msg; p < msg + n;) {
        auto* e = reinterpret_cast<inotify_event*>(p);
        (e->mask & IN_MOVED_TO ? renamed : written).insert(e->name);
        p += sizeof *e + e->len;
      }
  }
};

struct Scenario {
  const char* name;
  int recordings_mb;
  void (*setup)(World*);
  const char* env;
  int exit_code;         // of `fifodel status`
  const char* status;    // in its text
  const char* notified;  // a regex for the STATUS= lines
  const char* metrics;   // a regex the metrics must match
  const char* audit;     // a regex for the whole audit trail
};

void ArchivedCall(World* w, long long bytes) {
  w->AddCall(1, "2021/03/04/05", 3, bytes, true);
  w->Insert();
}

const Scenario kScenarios[] = {
    {"healthy", 1100, [](World*) {}, "", 0, "ok\n     Active: running",
     "STATUS=free 1100 MB, trigger 250 MB\n",
     "fifodel_measurement_ok 1\n(.|\n)*fifodel_free_bytes 1153433600\n", ""},
    {"reclaims", 292, [](World* w) { ArchivedCall(w, 60 * kMB); }, "", 0,
     "covered: freed 67 MB, 1 calls", "last pass [0-9:]+ covered freed 67 MB",
     "fifodel_tenant_reclaimed_bytes_total\\{tenant=\"3\"\\} 70778880\n",
     "[-0-9]+T[0-9:+]+\tpass=1\tcall=1\ttenant=3\tbytes=70778880\tremoved "
     "/recordings/2021/03/04/05/c1.wav\tremoved "
     "/recordings/2021/03/04/05/c1.wav.g711\n"},
    {"stuck", 64,
     [](World* w) {
       ArchivedCall(w, kMB);
       const char* hour = "/recordings/2021/03/04/05";
       ASSERT_EQ(0, mount(hour, hour, nullptr, MS_BIND, nullptr));
       ASSERT_EQ(0, mount(nullptr, hour, nullptr,
                          MS_REMOUNT | MS_BIND | MS_RDONLY, nullptr));
     },
     "", 2,
     "critical: free space below the trigger level after pass 1; 1 stuck",
     "STATUS=free 6[0-9] MB, trigger 250 MB, last pass [0-9:]+ stuck",
     "fifodel_stuck_items\\{kind=\"call\"\\} 1\n", ""},
    {"database down", 64, [](World* w) { ArchivedCall(w, kMB); },
     "PGHOST=/nowhere", 2, "database unreachable at the last pass",
     "last pass [0-9:]+ db_error freed 0 MB", "fifodel_db_errors_total [1-9]",
     ""},
};

TEST_F(ServiceTest, StatusMetricsAuditAndNotificationsTellWhatHappened) {
  EXPECT_EQ(3, Sh(FIFODEL_BINARY " status >/dev/null")) << "nothing runs yet";
  for (const Scenario& s : kScenarios) {
    SCOPED_TRACE(s.name);
    World w;
    w.Reset(s.recordings_mb);
    s.setup(&w);
    w.Insert();
    Watch watch;
    Service svc(FIFODEL_BINARY);
    std::vector<std::string> env = kFast;
    env.push_back("NOTIFY_SOCKET=/run/notify");
    if (*s.env) env.push_back(s.env);
    svc.Start("nofork --metrics-dir /run/metrics", env);
    ServiceState st;
    Service::Await(
        [&] {
          watch.Drain();
          return ParseState(Slurp(STATE_FILE), &st) &&
                 (s.recordings_mb > 1000 || st.pass.tEnd != 0);
        },
        15);
    std::string text = Output(FIFODEL_BINARY " status");
    EXPECT_EQ(s.exit_code, Sh(FIFODEL_BINARY " status >/dev/null")) << text;
    EXPECT_NE(std::string::npos, text.find(s.status)) << text;
    auto json = nlohmann::json::parse(Output(FIFODEL_BINARY " status --json"));
    EXPECT_EQ(s.exit_code, json.value("exit_code", -1));
    EXPECT_EQ(0, svc.Stop(SIGTERM));
    watch.Drain();
    EXPECT_EQ(0u, watch.messages.find("READY=1\n")) << watch.messages;
    EXPECT_TRUE(std::regex_search(watch.messages, std::regex(s.notified)))
        << watch.messages;
    EXPECT_NE(std::string::npos, watch.messages.find("WATCHDOG=1\n"));
    const std::string metrics = Slurp("/run/metrics/" METRICS_NAME);
    EXPECT_TRUE(std::regex_search(metrics, std::regex(s.metrics))) << metrics;
    EXPECT_EQ(0, Sh("promtool check metrics </run/metrics/" METRICS_NAME));
    EXPECT_TRUE(std::regex_match(Slurp(AUDIT_FILE), std::regex(s.audit)));
    // Replaced by rename only, and no temporary file left behind.
    EXPECT_EQ(0u, watch.written.count(METRICS_NAME) +
                      watch.written.count(STATE_NAME));
    EXPECT_TRUE(watch.renamed.count(METRICS_NAME) &&
                watch.renamed.count(STATE_NAME));
    EXPECT_EQ(3, std::distance(fs::directory_iterator(STATE_DIR), {}) +
                     std::distance(fs::directory_iterator("/run/metrics"), {}));
    w.Check();
  }
  EXPECT_EQ(3, Sh(FIFODEL_BINARY " status >/dev/null")) << "stopped";
}

}  // namespace
