// The real binary as operators meet it: the run modes and the command line,
// one instance at a time, and what it tells through `fifodel status`, the
// metrics, the audit trail and the service manager's notifications.
#include "service.h"

#include <signal.h>
#include <sys/inotify.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <nlohmann/json.hpp>
#include <random>
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

const char kUsage[] = "usage: fifodel [debug | nofork] [--metrics-dir DIR]\n";
const Mode kModes[] = {
    {"", SIGTERM, true, 0, "Starting Tolvex FIFO\n"},
    {"--fifodelsim", SIGINT, true, 0, "Starting Tolvex FIFO\n"},
    {"DEBUG", SIGTERM, true, 0, "Starting Tolvex FIFO\n"},
    {"nofork", SIGINT, false, 0, "Starting Tolvex FIFO\n"},
    {"debug", SIGINT, false, 0, kHeld},
    {"--fifodelsim ' 9x' debug", 0, false, 0, kStale},
    {"--help", 0, false, 0, kUsage},
    {"-h", 0, false, 0, kUsage},
    {"--version", 0, false, 0, "fifodel 1.0.0\n"},
    {"status --jsn", 0, false, 3, ""},
    {"nofork --metrics-dir", 0, false, 2, ""},
    {"debug --metrics-dir /nowhere", 0, false, 2, ""},
    {"debug --metrics-dir /proc/self/cwd", 0, false, 2, ""},  // a link
};

using ServiceTest = SandboxTest;

// Each of `regexes` ("&&" between two) is found in `text`, each searched for
// on its own: libstdc++ matches one spanning lines by recursion as deep as
// the text is long.
void ExpectEach(const std::string& text, const std::string& regexes) {
  for (size_t at = 0, end = 0; end != std::string::npos; at = end + 2) {
    end = regexes.find("&&", at);
    const std::string re = regexes.substr(at, end - at);
    EXPECT_TRUE(std::regex_search(text, std::regex(re))) << re << "\n" << text;
  }
}

// The detached service, adopted by this process: its own session, its
// standard descriptors on /dev/null.
pid_t Detached() {
  const pid_t pid = atoi(
      Output("pgrep -x -P " + std::to_string(getpid()) + " fifodel").c_str());
  EXPECT_EQ(pid, getsid(pid));
  for (auto n : {"/fd/0", "/fd/1", "/fd/2"})
    EXPECT_EQ("/dev/null",
              fs::read_symlink("/proc/" + std::to_string(pid) + n));
  return pid;
}

// Each mode's output, and signals ending it at once, even mid-pass in shred.
TEST_F(ServiceTest, EachModeWritesWhereItShouldAndEndsAtOnce) {
  ASSERT_EQ(0, prctl(PR_SET_CHILD_SUBREAPER, 1));  // detached ones stay ours
  World w(64);
  w.AddCall(1, "2021/03/04/05", 1, 0, true);
  w.Insert();
  MakeFile("/var/tolvex/conf/opt_secure_delete", 0);
  std::ofstream("/var/tolvex/conf/shred") << "#!/bin/sh\nsleep 5\n";
  fs::permissions("/var/tolvex/conf/shred", fs::perms::owner_all);
  for (const Mode& m : kModes) {
    SCOPED_TRACE(m.args);
    if (!m.sig) fs::create_directories("/recordings/2020/12/31/23");  // stale
    Service svc(FIFODEL_BINARY, m.args, kFast);
    const std::string console = m.console;
    svc.Await([&] { return svc.Text().size() >= console.size(); }, 5);
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
    int status = m.detaches ? -1 : svc.Stop(0);
    Service::Await(
        [&] { return !m.detaches || waitpid(pid, &status, WNOHANG) == pid; },
        2);
    EXPECT_EQ(m.exit_code << 8, status);
    EXPECT_TRUE(m.detaches || fBanner || fUsage || console == svc.Text())
        << "nothing more: " << svc.Text();
    EXPECT_EQ(0u, TakeSyslog(100).size()) << "nothing more";
  }
}

// One instance at a time, however /run/fifodel is spoiled, even unusable
// when the first starts and mended before the second does, and whatever is
// mounted on /recordings meanwhile: both lock the one object they would
// reclaim from. A second instance in any monitor mode leaves at once, saying
// why, and `fifodel status` tells the first running, also to a user who may
// not open /recordings.
TEST_F(ServiceTest, OneInstanceOnly) {
  const struct {
    const char* spoil;  // before the first starts
    const char* mend;   // once it runs passes, before the second starts
  } cases[] = {
      {"", ""},
      {"mkdir " PID_FILE, ""},
      {"ln -s /nowhere " PID_FILE, ""},
      {"rmdir " STATE_DIR "; touch " STATE_DIR,
       "rm " STATE_DIR "; mkdir " STATE_DIR},
      {"", "mount -t tmpfs -o size=64m tmpfs " RECORDINGS_DIR},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.spoil) + " | " + c.mend);
    FreshSandbox();
    Sh(std::string("mkdir -p " STATE_DIR "; ") + c.spoil);
    Service first(FIFODEL_BINARY, "debug", kFast), second(FIFODEL_BINARY);
    ASSERT_TRUE(first.AwaitLine("FIFO_delete: finished", 1, 10));
    Sh(c.mend);
    // A pass begun after the change has looked at the lock again.
    int passes = first.Count("FIFO_delete: finished") + 2;
    ASSERT_TRUE(first.AwaitLine("FIFO_delete: finished", passes, 10));
    TakeSyslog();
    second.Start("nofork", kFast);
    EXPECT_EQ(0, second.Stop(0, 5));
    const auto logged = TakeSyslog(500);
    ASSERT_EQ(1u, logged.size());
    EXPECT_EQ(11, logged[0].pri) << logged[0].text;
    EXPECT_TRUE(first.Running());
    const std::string running = "running, pid " + std::to_string(first.pid());
    ExpectEach(Output(FIFODEL_BINARY " status"), running);
    Sh("chmod 700 " RECORDINGS_DIR);
    ExpectEach(Output("runuser -u nobody -- " FIFODEL_BINARY " status"),
               running + "&&cannot be opened \\(Perm");
    // A reader that goes away does not end it either.
    EXPECT_EQ("0\n",
              Output("bash -c 'set -o pipefail; { sleep 0.3; " FIFODEL_BINARY
                     " debug; } | true; echo $?'"));
    EXPECT_EQ(0, first.Stop(SIGTERM));
  }
}

// One system call of an strace -f log. A call that another thread
// interrupts is split into "<unfinished ...>" and "<... name resumed>"
// lines; joined again, it began at the first and returned at the last.
struct StraceCall {
  std::string text;
  int began = -1, returned = -1;
};

std::vector<StraceCall> ReadStrace(const std::string& path) {
  static const std::string kUnfinished = " <unfinished ...>";
  static const std::string kResumed = " resumed>";
  std::vector<StraceCall> calls;
  std::map<std::string, size_t> open;  // by thread id
  std::ifstream in(path);
  int at = 0;
  for (std::string line; std::getline(in, line); ++at) {
    const std::string tid = line.substr(0, line.find(' '));
    const size_t resumed = line.find(kResumed);
    if (resumed != std::string::npos && open.count(tid)) {
      StraceCall& call = calls[open[tid]];
      call.text += line.substr(resumed + kResumed.size());
      call.returned = at;
      open.erase(tid);
    } else if (line.size() >= kUnfinished.size() &&
               line.compare(line.size() - kUnfinished.size(),
                            kUnfinished.size(), kUnfinished) == 0) {
      open[tid] = calls.size();
      calls.push_back({line.substr(0, line.size() - kUnfinished.size()), at});
    } else {
      calls.push_back({line, at, at});
    }
  }
  return calls;
}

// A pass looks at a chunk's files, puts their intents on the disk, and only
// then unlinks any; the journal's directory is synced once it is created;
// the unlinks are on the disk (their directory synced) before the chunk is
// marked and before the counters are charged.
TEST_F(ServiceTest, WhatIsCountedIsOnTheDiskFirst) {
  World w(64);
  for (int id = 1; id <= 3; ++id) w.AddCall(id, "2021/03/04/05", 1, 1000, true);
  w.Insert();
  Service svc(
      "strace -f -qq -y -s 80 -e trace=openat,openat2,fsync,fdatasync,"
      "unlinkat,sendto -o /run/trace " FIFODEL_BINARY,
      "debug", kFast);
  ASSERT_TRUE(svc.AwaitLine("FIFO_delete: finished", 1, 15));
  Sh("pkill -x fifodel");  // strace ends with it
  svc.Stop(0);
  // Each event's first call, with the lines where it began and returned;
  // strace shows descriptors by their paths.
  std::map<char, StraceCall> first;
  for (const StraceCall& call : ReadStrace("/run/trace")) {
    auto has = [&](const std::string& text) {
      return call.text.find(text) != std::string::npos;
    };
    const std::string& t = call.text;
    const bool fOk = t.size() > 3 && t.substr(t.size() - 3) == "= 0";
    const std::pair<char, bool> events[] = {
        {'d', has("fsync(") && has("<" JOURNAL_DIR ">)") && fOk},
        {'j', has("fdatasync(") && has("<" JOURNAL_FILE ">)") && fOk},
        {'u', has("unlinkat(") && has("c1.wav\"")},
        {'s', first.count('u') && has("fsync(") && fOk &&
                  has("<" RECORDINGS_DIR "/2021/03/04/05>)")},
        {'m', has("sendto(") && has("UPDATE Calls")},
        {'c', has("sendto(") && has("COMMIT")}};
    for (auto [event, fNow] : events)
      if (fNow) first.emplace(event, call);
  }
  ASSERT_EQ(6u, first.size()) << Slurp("/run/trace");
  // What must be on the disk first has returned before the next one began.
  auto before = [&](char a, char b) {
    return first[a].returned < first[b].began;
  };
  EXPECT_TRUE(before('d', 'j')) << "the journal's directory synced";
  EXPECT_TRUE(before('j', 'u')) << "intents before the unlinks";
  EXPECT_TRUE(before('s', 'm')) << "unlinks synced before marking";
  EXPECT_TRUE(before('s', 'c')) << "unlinks synced before charging";
  w.Check();
}

// A started service measures at once and reaches its first pass without
// waiting a cycle; a pass that only pruned stale directories is followed at
// once by the next, which reclaims calls: not a whole cycle later.
TEST_F(ServiceTest, AStartOrAPruneNeverCostsACycle) {
  World w(292);  // trigger level 250 MB
  w.AddCall(1, "2021/03/04/05", 1, 60 * kMB, true);
  w.Insert();
  fs::create_directories("/recordings/2021/03/04/04");  // stale and empty
  Service svc(FIFODEL_BINARY, "debug", {});  // time as it is: the cycle is 5 s
  EXPECT_TRUE(Service::Await([&] { return svc.Count("FIFO_delete: "); }, 2.5));
  ASSERT_TRUE(svc.AwaitLine("FIFO_delete: finished", 2, 12));
  EXPECT_LT(svc.LongestGap("FIFO_delete: finished"), 2.5) << svc.Text();
  svc.Stop(SIGTERM);
  EXPECT_FALSE(Exists("/recordings/2021/03/04/04"));
  w.Check();
}

// The monitor keeps its pace whatever the notification socket does: here
// nobody reads it (a hung manager, NOTIFY_SOCKET inherited by a shell) and
// its queue is full from the start, so notifications are lost, never a
// cycle. The next measurement follows after 5 s below twice the trigger
// level (and after a pass), after 15 s below four times it: scaled tenfold
// down and counted over 4.5 s, with room for a loaded machine.
TEST_F(ServiceTest, KeepsItsPaceWhenNobodyReadsItsNotifications) {
  const struct {
    int mb;  // free; the trigger level is 250 MB
    const char* counted;
    int least, most;
  } cases[] = {{64, "FIFO_delete: finished", 3, 10},
               {400, "free: ", 6, 10},
               {800, "free: ", 2, 4}};
  int deaf = socket(AF_UNIX, SOCK_DGRAM, 0), tiny = 1;
  setsockopt(deaf, SOL_SOCKET, SO_RCVBUF, &tiny, sizeof tiny);
  sockaddr_un addr = {AF_UNIX, "/run/deaf"};
  auto* sa = reinterpret_cast<sockaddr*>(&addr);
  ASSERT_EQ(0, bind(deaf, sa, sizeof addr));
  int filler = socket(AF_UNIX, SOCK_DGRAM | SOCK_NONBLOCK, 0);
  while (sendto(filler, "x", 1, 0, sa, sizeof addr) == 1) {
  }
  std::vector<std::string> env = kFast;
  env.push_back("NOTIFY_SOCKET=/run/deaf");
  for (const auto& c : cases) {
    SCOPED_TRACE(c.mb);
    FreshTmpfs(RECORDINGS_DIR, c.mb);
    MakeFile(VERBOSE_MARKER, 0);
    Service svc(FIFODEL_BINARY, "debug", env);
    usleep(4500000);
    const int n = svc.Count(c.counted);
    EXPECT_EQ(0, svc.Stop(SIGTERM));
    EXPECT_TRUE(n >= c.least && n <= c.most) << n << "\n" << svc.Text();
  }
  close(filler), close(deaf);
}

// A step of the wall clock changes no decision: the fill rate rests on
// durations. The service's own clock steps back an hour (libfaketime) while
// a recorder writes at a steady 16 MB/s.
TEST_F(ServiceTest, AClockStepBendsNoFillRate) {
  const std::string faketime =
      "/usr/lib/x86_64-linux-gnu/faketime/libfaketime.so.1";
  ASSERT_TRUE(Exists(faketime)) << "scripts/install-deps installs faketime";
  FreshTmpfs(RECORDINGS_DIR, 450);  // measured every 5 s, scaled
  std::ofstream("/run/clock") << "+0\n";
  std::vector<std::string> env = kFast;
  env.insert(env.end(),
             {"LD_PRELOAD=" + faketime, "FAKETIME_TIMESTAMP_FILE=/run/clock",
              "FAKETIME_NO_CACHE=1", "FAKETIME_DONT_FAKE_MONOTONIC=1",
              // Else the sanitizer's allocator asks the clock while the
              // library that fakes it is still being loaded, and hangs.
              "ASAN_OPTIONS=verify_asan_link_order=0:"
              "allocator_release_to_os_interval_ms=-1"});
  Service svc(FIFODEL_BINARY, "debug", env);
  for (int i = 0; i < 16; ++i, usleep(250000)) {
    if (i == 8) std::ofstream("/run/clock") << "-3600\n";
    MakeFile("/recordings/fill/" + std::to_string(i), 4 * kMB);
  }
  ServiceState st;
  ASSERT_TRUE(ParseState(Slurp(STATE_FILE), &st)) << svc.Text();
  EXPECT_EQ(0, svc.Stop(SIGTERM));
  EXPECT_LT(st.tWritten, time(nullptr) - 3000) << "the clock stepped";
  EXPECT_GT(st.dRate, 8 * kMB);
  EXPECT_LT(st.dRate, 32 * kMB);
}

// A pass longer than the publishing pace (10 s, scaled) publishes between
// its chunks, so that `fifodel status` does not take a busy service for a
// hung one: here a slow database answers each chunk's query late.
TEST_F(ServiceTest, ALongPassPublishesBetweenItsChunks) {
  World w(64);
  for (int id = 1; id <= 3; ++id) w.AddCall(id, "2021/03/04/05", 1, 100, true);
  w.Insert();
  std::vector<std::string> env = kFast;
  env.insert(env.end(),
             {"FIFODEL_FAULT=chunk-query", "FIFODEL_FAULT_CMD=sleep 1.2"});
  Service svc(FIFODEL_BINARY, "debug", env);
  bool fMidPass = false;  // published while pass 1 ran
  Service::Await(
      [&] {
        ServiceState st;
        fMidPass |= ParseState(Slurp(STATE_FILE), &st) &&
                    st.pass.llNumber == 1 && st.pass.tEnd == 0;
        return svc.Count("FIFO_delete: finished") > 0;
      },
      20);
  EXPECT_EQ(0, svc.Stop(SIGTERM));
  EXPECT_TRUE(fMidPass) << svc.Text();
  w.Check();
}

// The service manager's end of NOTIFY_SOCKET, at the path `name` or, with
// '@', the abstract name, and inotify on the directories whose files must
// only ever be renamed into place.
struct Watch {
  int notify = socket(AF_UNIX, SOCK_DGRAM | SOCK_NONBLOCK, 0);
  int events = inotify_init1(IN_NONBLOCK);
  std::string messages;
  std::set<std::string> renamed, written;  // names seen moved in / written

  explicit Watch(const std::string& name) {
    sockaddr_un addr = {AF_UNIX, ""};
    name.copy(addr.sun_path, name.size());
    if (name[0] == '@') addr.sun_path[0] = '\0';
    bind(notify, reinterpret_cast<sockaddr*>(&addr),
         offsetof(sockaddr_un, sun_path) + name.size());
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
  int exit_code;  // of `fifodel status`
  // Regexes, "&&" between two, in its text, the STATUS= lines, the metrics.
  const char *status, *notified, *metrics;
  const char* audit;        // a regex for the whole audit trail
  const char* logged = "";  // a regex for the lines logged
};

void ArchivedCall(World* w, long long bytes) {
  w->AddCall(1, "2021/03/04/05", 3, bytes, true);
  w->Insert();
}

const Scenario kScenarios[] = {
    {"healthy", 1100, [](World*) {}, "", 0, "ok\n     Active: running",
     "STATUS=free 1100 MB, trigger 250 MB\n",
     "fifodel_measurement_ok 1\n&&fifodel_free_bytes 1153433600\n", ""},
    {"reclaims", 292, [](World* w) { ArchivedCall(w, 60 * kMB); }, "", 0,
     "covered: freed 67 MB, 1 calls", "last pass [0-9:]+ covered freed 67 MB",
     "fifodel_tenant_reclaimed_bytes_total\\{tenant=\"3\"\\} 70778880\n",
     "[-0-9]+T[0-9:+]+\tpass=1\tcall=1\ttenant=3\tbytes=70778880\tremoved "
     "/recordings/2021/03/04/05/c1.wav\tremoved "
     "/recordings/2021/03/04/05/c1.wav.g711\n"},
    {"stuck", 64,
     [](World* w) {
       ArchivedCall(w, kMB);
       ReadOnly("/recordings/2021/03/04/05");
     },
     "", 2,
     "critical: free space below the trigger level after pass 1; 1 stuck",
     "STATUS=free 6[0-9] MB, trigger 250 MB, last pass [0-9:]+ stuck",
     "fifodel_stuck_items\\{kind=\"call\"\\} 1\n", ""},
    {"database down", 64, [](World* w) { ArchivedCall(w, kMB); },
     "PGHOST=/nowhere", 2,
     "database unreachable at the last pass&&Oldest call: unknown\n&&  "
     "Archiving: unknown: the database did not answer\n",
     "last pass [0-9:]+ db_error freed 0 MB",
     "fifodel_db_errors_total [1-9]&&"
     "fifodel_archive_backlog_updated_timestamp_seconds 0\n$",
     ""},
    // Five calls from 2011 not archived yet, and less archived than missing.
    {"archiving behind", 64,
     [](World* w) {
       ArchivedCall(w, kMB);
       for (int id = 11; id <= 15; ++id)
         w->AddCall(id, "2011/01/01/00", 1, kMB, false);
       w->Insert();
       Psql(
           "UPDATE calls SET startdate = '2011-01-01'::timestamp + id * "
           "interval '1 s' WHERE isarchived = 0");
     },
     "", 2,
     "after pass 1: archiving is behind, 5 calls not archived yet, the oldest "
     "from 2011-01-01 00:00:11&&Oldest call: none archived\n&&  Archiving: 5 "
     "calls not archived yet, the oldest from 2011-01-01 00:00:11 \\(",
     "last pass [0-9:]+ exhausted",
     "fifodel_archive_backlog_calls 5\n&&"
     "fifodel_archive_backlog_oldest_start_timestamp_seconds 1293840011\n",
     "[^\n]*\tpass=1\tcall=1\t[^\n]*\n",
     "FIFO: archiving is behind: no archived call left, free [0-9]+ MB, "
     "trigger 250 MB, 5 calls not archived yet, the oldest from 2011-01-01 "
     "00:00\n"},
};

// A stuck item leaves the list once it no longer exists, though no pass
// marks or prunes it: a call whose row went, a directory removed by hand.
TEST_F(ServiceTest, StuckItemsLeaveWhenTheyNoLongerExist) {
  World w(64);
  ArchivedCall(&w, kMB);
  w.AddCall(2, "2019/03/04/05", 1, kMB, false);
  w.Insert();
  ReadOnly("/recordings/2021/03/04/05");
  Service svc(FIFODEL_BINARY, "nofork", kFast);
  ServiceState st;
  auto stuck = [&](size_t n) {
    return Service::Await(
        [&] {
          return ParseState(Slurp(STATE_FILE), &st) && st.stuck.size() == n;
        },
        15);
  };
  ASSERT_TRUE(stuck(2)) << Slurp(STATE_FILE);
  Psql("DELETE FROM calls WHERE id = 1");
  for (const char* f : {"c2.wav", "c2.wav.g711"})
    w.Untrack(std::string("/recordings/2019/03/04/05/") + f);
  fs::remove_all("/recordings/2019");
  EXPECT_TRUE(stuck(0)) << Slurp(STATE_FILE);
  EXPECT_EQ(0, svc.Stop(SIGTERM));
}

TEST_F(ServiceTest, StatusMetricsAuditAndNotificationsTellWhatHappened) {
  EXPECT_EQ(3, Sh(FIFODEL_BINARY " status >/dev/null")) << "nothing runs yet";
  for (const Scenario& s : kScenarios) {
    SCOPED_TRACE(s.name);
    World w(s.recordings_mb);
    s.setup(&w);
    w.Insert();
    // Every other scenario's manager listens on an abstract name, which
    // no other sandbox shares.
    const std::string socket =
        (&s - kScenarios) % 2
            ? "@fifodel-" + std::to_string(std::random_device()())
            : "/run/notify";
    Watch watch(socket);
    std::vector<std::string> env = kFast;
    env.push_back("NOTIFY_SOCKET=" + socket);
    if (*s.env) env.push_back(s.env);
    Service svc(FIFODEL_BINARY, "nofork --metrics-dir /run/metrics", env);
    ServiceState st;
    Service::Await(
        [&] {
          watch.Drain();
          return ParseState(Slurp(STATE_FILE), &st) &&
                 (s.recordings_mb > 1000 || st.pass.tEnd != 0) &&
                 (st.archiving.tUpdated || *s.env);
        },
        15);
    std::string text = Output(FIFODEL_BINARY " status");
    EXPECT_EQ(s.exit_code, Sh(FIFODEL_BINARY " status >/dev/null")) << text;
    ExpectEach(text, s.status);
    auto json = nlohmann::json::parse(Output(FIFODEL_BINARY " status --json"));
    EXPECT_EQ(s.exit_code, json.value("exit_code", -1));
    EXPECT_EQ(0, svc.Stop(SIGTERM));
    watch.Drain();
    ExpectEach(watch.messages,
               "^READY=1\n&&" + std::string(s.notified) + "&&WATCHDOG=1\n");
    ExpectEach(Slurp("/run/metrics/" METRICS_NAME), s.metrics);
    EXPECT_EQ(0, Sh("promtool check metrics </run/metrics/" METRICS_NAME));
    EXPECT_TRUE(std::regex_match(Slurp(AUDIT_FILE), std::regex(s.audit)));
    std::string logged;
    for (const SyslogLine& l : TakeSyslog()) logged += l.text + "\n";
    ExpectEach(logged, s.logged);
    // Replaced by rename only, and no temporary file left behind.
    for (const char* f : {METRICS_NAME, STATE_NAME})
      EXPECT_TRUE(watch.renamed.count(f) && !watch.written.count(f)) << f;
    EXPECT_EQ(3, std::distance(fs::directory_iterator(STATE_DIR), {}) +
                     std::distance(fs::directory_iterator("/run/metrics"), {}));
    w.Check();
  }
  EXPECT_EQ(3, Sh(FIFODEL_BINARY " status >/dev/null")) << "stopped";
}

}  // namespace
