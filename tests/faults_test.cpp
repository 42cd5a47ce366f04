// The fault matrix: the real service against a real PostgreSQL of its own
// (started inside the sandbox, so that the faults can stop and kill it) and a
// real tree, with each fault injected at the point of a pass where it
// strikes (FIFODEL_FAULT), lifted, and the service left to recover. Then the
// invariants: no unarchived recording lost, nothing outside /recordings
// touched, every call whose media is gone marked, each good counter down by
// exactly the bytes that left the disk, free space back above the trigger
// level, and the monitor measuring at its pace while it was not killed.
#include <dirent.h>
#include <signal.h>
#include <stdio.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <set>
#include <sstream>
#include <thread>

#include "sandbox.h"
#include "treecheck.h"

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;
const std::string kHour = "/recordings/2021/03/04/05/";
const long long kMB = 1 << 20, kStart = 1000000000;

int Sh(const std::string& cmd) { return system(cmd.c_str()); }
std::string Read(const std::string& path) {
  std::ifstream in(path);
  return std::string(std::istreambuf_iterator<char>(in), {});
}
std::string Psql(const std::string& sql) {
  std::string out;
  FILE* p = popen(
      ("psql -U root -d tolvex -qAtc \"" + sql + "\" 2>/dev/null").c_str(),
      "r");
  for (char buf[256]; fgets(buf, sizeof buf, p);) out += buf;
  pclose(p);
  while (!out.empty() && out.back() == '\n') out.pop_back();
  return out;
}

// The server of this test is its own, in $PGHOST: no other test run shares it.
const char kPgCtl[] =
    "runuser -u postgres -- $(ls -d /usr/lib/postgresql/*/bin"
    " | tail -1)/pg_ctl -D $PGHOST/data ";
const std::string kPgStart =
    std::string(kPgCtl) + "-l $PGHOST/postgresql.log -w start";
// Strikes once (the passes after it run the point again), and says so when
// it is done.
std::string Once(const std::string& cmd) {
  return "[ -e /run/striking ] && exit 0; touch /run/striking; " + cmd +
         "; touch /run/struck";
}

struct Fault {
  const char* fault;
  const char* point;  // FIFODEL_FAULT, or "" for a fault set up beforehand
  std::string cmd;    // run at the point
  std::string lift;   // run by the test once the fault has struck
  bool fKilled;       // the service dies of it (or must be restarted)
  const char* stuck;  // media made unremovable: "ro", "mount", "dir", "perm"
  bool fDrift;        // the documented window: charged twice
};

const std::string kKill = "kill -9 $PPID", kTerm = "kill -TERM $PPID";
// The backend serving the service dies, as under the OOM killer; the server
// recovers by itself. The bracket keeps pkill from matching its own shell.
const std::string kKillBackends = "pkill -9 -f 'postgres: [r]oot tolvex'";
const std::string kThaw = "killall -CONT postgres";
const std::string kLock =
    "(psql -U root -d tolvex -c 'BEGIN; "
    "SELECT * FROM calls FOR UPDATE; SELECT "
    "pg_sleep(8)' >/dev/null &); sleep 1";
const std::string kFixCounter =
    "psql -U root -d tolvex -qc \"UPDATE configs SET value = "
    "'1000000000' WHERE param = 'TN3_DiskUsage'\"";

const Fault kFaults[] = {
    {"none", "", "", "", false, "", false},
    {"database stopped", "connect",
     Once(kPgCtl + std::string("-m fast -w stop")), kPgStart, false, "", false},
    {"database killed", "chunk-query", Once(kKillBackends), "sleep 2", false,
     "", false},
    {"database killed", "tenant-transaction", Once(kKillBackends), "sleep 2",
     false, "", false},
    {"database frozen", "chunk-query", Once("killall -STOP postgres"),
     "sleep 10; " + kThaw, false, "", false},
    {"row lock held", "before-mark", Once(kLock), "sleep 8", false, "", false},
    {"service killed", "between-files", Once(kKill), "", true, "", false},
    {"service killed", "after-mark", Once(kKill), "", true, "", false},
    {"service killed", "after-commit",
     Once("cp /var/lib/fifodel/counters.journal /run/at-strike; " + kKill), "",
     true, "", true},
    {"service stopped", "tenant-transaction", Once(kTerm), "", true, "", false},
    {"unremovable media", "", "", "", false, "ro", false},
    {"unremovable media", "", "", "", false, "mount", false},
    {"unremovable media", "", "", "", false, "dir", false},
    {"unremovable media", "", "", "", false, "perm", false},
    {"bad counter", "", "", kFixCounter, false, "", false},
    {"two instances", "", "", "", false, "", false},
};

// One run of the service, its output lines with the time they came.
struct Service {
  pid_t pid = -1;
  std::mutex mu;
  std::vector<std::pair<Clock::time_point, std::string>> lines;
  std::thread reader;
  void Start(const Fault& f) {
    int fds[2];
    ASSERT_EQ(0, pipe(fds));
    pid = fork();
    if (pid == 0) {
      dup2(fds[1], 1);
      freopen("/dev/null", "w", stderr);
      if (*f.point) setenv("FIFODEL_FAULT", f.point, 1);
      setenv("FIFODEL_FAULT_CMD", f.cmd.c_str(), 1);
      execlp("stdbuf", "stdbuf", "-oL", FIFODEL_BINARY, "debug", nullptr);
      _exit(127);
    }
    close(fds[1]);
    reader = std::thread([this, fd = fds[0]] {
      std::string line;
      for (char c; read(fd, &c, 1) == 1;) {
        if (c != '\n') {
          line += c;
          continue;
        }
        std::lock_guard<std::mutex> lock(mu);
        lines.emplace_back(Clock::now(), line);
        line.clear();
      }
      close(fd);
    });
  }
  bool Running() { return waitpid(pid, nullptr, WNOHANG) == 0; }
  void Stop() {
    kill(pid, SIGTERM);
    waitpid(pid, nullptr, 0);
    reader.join();
  }
  // A pass has ended, however it ended, once the monitor measures again.
  bool PassOpen() {
    std::lock_guard<std::mutex> lock(mu);
    bool open = false;
    long long bytes;
    for (const auto& l : lines) {
      if (sscanf(l.second.c_str(), "FIFO_delete: %lld bytes", &bytes) == 1)
        open = true;
      if (l.second.rfind("free: ", 0) == 0) open = false;
    }
    return open;
  }
  int Count(const std::string& prefix) {
    std::lock_guard<std::mutex> lock(mu);
    int n = 0;
    for (const auto& l : lines) n += l.second.rfind(prefix, 0) == 0;
    return n;
  }
  double LongestGap() {  // seconds between measurements
    std::lock_guard<std::mutex> lock(mu);
    double gap = 0;
    Clock::time_point last{};
    for (const auto& [t, text] : lines) {
      if (text.rfind("free: ", 0) != 0) continue;
      if (last != Clock::time_point{})
        gap = std::max(gap, std::chrono::duration<double>(t - last).count());
      last = t;
    }
    return gap;
  }
};

long long FreeMB() {
  struct statvfs sv;
  statvfs("/recordings", &sv);
  return sv.f_bavail * sv.f_bsize / kMB;
}

// The files of calls: inode, size and tenant. A file left the disk when its
// path no longer names that inode (tmpfs hands freed inode numbers out again).
struct CallFile {
  ino_t ino;
  long long size;
  int tenant;
};
std::map<std::string, CallFile> g_files;

bool Gone(const std::string& path, const CallFile& f) {
  struct stat st;
  return lstat(path.c_str(), &st) != 0 || st.st_ino != f.ino;
}

void AddCall(int id, const std::string& dir, int tenant, long long size,
             bool archived) {
  const std::string media = dir + "c" + std::to_string(id) + ".wav";
  MakeFile(media, size);
  MakeFile(media + ".g711", size / 8);
  for (const std::string& f : {media, media + ".g711"}) {
    struct stat st;
    lstat(f.c_str(), &st);
    g_files[f] = {st.st_ino, st.st_size, tenant};
  }
  Psql("INSERT INTO calls VALUES (" + std::to_string(id) + ", '" +
       dir.substr(12, 13) + "', 'c" + std::to_string(id) + ".wav', 0, " +
       std::to_string(tenant) + ", NULL, " + (archived ? "1" : "0") +
       ", '2021-03-04'::timestamp + interval '" +
       std::to_string(id >= 1000 ? id - 2000 : id) + " s')");
}

// Calls whose media cannot be removed, older than all others: a read-only
// mount holds enough of them to fill a whole chunk.
void StuckCalls(const std::string& how) {
  const std::string dir = "/recordings/2021/03/04/04/";
  for (int id = 1000; id < (how == "ro" ? 1201 : 1001); ++id)
    AddCall(id, how == "dir" ? dir + "d/" : dir, 3, 1024, true);
  if (how == "ro") {
    ASSERT_EQ(0, mount(dir.c_str(), dir.c_str(), nullptr, MS_BIND, nullptr));
    ASSERT_EQ(0, mount(nullptr, dir.c_str(), nullptr,
                       MS_BIND | MS_REMOUNT | MS_RDONLY, nullptr));
  } else if (how == "mount") {  // a file from elsewhere mounted on the media
    g_files.erase(dir + "c1000.wav");  // hidden under the mount: cannot leave
    ASSERT_EQ(0, mount("/var/tolvex/conf/out/victim",
                       (dir + "c1000.wav").c_str(), nullptr, MS_BIND, 0));
  } else if (how == "perm") {  // immutable: EPERM even for root
    ASSERT_TRUE(SetImmutable(dir + "c1000.wav", true));
  } else if (how == "dir") {  // the media name is a directory
    // The files inside are no call's: they go with the stale directory,
    // uncharged, like any stray file there.
    g_files.erase(dir + "d/c1000.wav");
    g_files.erase(dir + "d/c1000.wav.g711");
    Psql(
        "UPDATE calls SET directory = '2021/03/04/04', filename = 'd' WHERE "
        "id = 1000");
  }
}

// The test is PID 1 of its namespace: the database's processes, orphaned
// when the faults kill or restart it, become its children, and must be
// reaped or the next start takes their zombies for a running server.
void ReapOrphanedServers(const std::atomic<bool>* done) {
  while (!*done) {
    DIR* proc = opendir("/proc");
    while (struct dirent* e = readdir(proc)) {
      int pid = atoi(e->d_name);
      std::ifstream stat("/proc/" + std::string(e->d_name) + "/stat");
      std::string comm, state;
      int ppid = 0;
      if (pid > 0 && stat >> pid >> comm >> state >> ppid && state == "Z" &&
          ppid == getpid() && comm == "(postgres)")
        waitpid(pid, nullptr, WNOHANG);
    }
    closedir(proc);
    usleep(100000);
  }
}

// Waits until free space is back, no pass is half-way and, with
// `fJournal`, no count is owed.
void WaitSettled(Service* svc, bool fJournal) {
  auto deadline = Clock::now() + std::chrono::seconds(40);
  while (Clock::now() < deadline &&
         !(FreeMB() >= 250 && !svc->PassOpen() &&
           !(fJournal && Exists("/var/lib/fifodel/counters.journal"))))
    usleep(200000);
}

// An archived call whose media has left the disk is not marked yet.
bool UnmarkedGone() {
  for (const std::string& file :
       Lines(Psql("SELECT directory || '/' || filename FROM calls WHERE "
                  "isarchived = 1")))
    if (!Exists("/recordings/" + file)) return true;
  return false;
}

class FaultMatrixTest : public SandboxTest {
 protected:
  void SetUp() override {
    char dir[] = "/tmp/fifodel-faults.XXXXXX";
    ASSERT_TRUE(mkdtemp(dir));
    const char* pghost = getenv("PGHOST");
    pghost_ = pghost ? pghost : "";
    setenv("PGHOST", dir, 1);
    Sh(SOURCE_DIR "/scripts/pgsandbox start $PGHOST " SOURCE_DIR
                  "/db/schema.sql >/dev/null");
    reaper_ = std::thread(ReapOrphanedServers, &done_);
  }
  void TearDown() override {
    done_ = true;
    reaper_.join();
    Sh(std::string(kPgCtl) +
       "-m immediate -w stop >/dev/null 2>&1; rm -rf "
       "$PGHOST");
    setenv("PGHOST", pghost_.c_str(), 1);
  }

  // A recording server short of about 8 MB, with the row's fault set up.
  void Build(const Fault& f) {
    SandboxTest::SetUp();
    FreshTmpfs("/recordings", 292);  // trigger level 250 MB
    MakeFile("/var/tolvex/conf/fifo_verbose", 0);
    MakeFile("/var/tolvex/conf/out/victim", 4096);
    g_files.clear();
    Psql(
        "TRUNCATE calls, configs; INSERT INTO configs SELECT 'TN' || i || "
        "'_DiskUsage', '1000000000', 'x' FROM generate_series(1, 3) i");
    for (int id = 1; id <= 30; ++id) AddCall(id, kHour, id % 2 + 1, kMB, true);
    for (int id = 31; id <= 35; ++id) AddCall(id, kHour, 1, kMB, false);
    MakeFile("/recordings/live.wav", 11 * kMB);
    if (*f.stuck) StuckCalls(f.stuck);
    if (std::string(f.fault) == "bad counter")
      Psql("UPDATE configs SET value = 'n/a' WHERE param = 'TN3_DiskUsage'");
    if (*f.stuck || std::string(f.fault) == "bad counter")
      AddCall(100, kHour, 3, kMB, true);
  }

  // Lets the fault strike, lifts it and starts the service again if it died.
  void Strike(const Fault& f, Service* svc) {
    auto deadline = Clock::now() + std::chrono::seconds(30);
    if (*f.point) {
      while (!Exists("/run/struck") && Clock::now() < deadline) usleep(100000);
      Check(Exists("/run/struck"), "fault struck");
    } else {
      while (svc->Count("FIFO_delete: finished") < 1 && Clock::now() < deadline)
        usleep(100000);
    }
    Sh(f.lift);
    if (f.fKilled) {
      svc->reader.join();
      waitpid(svc->pid, nullptr, 0);
      svc->lines.clear();
      svc->Start(kFaults[0]);
    }
  }

  // The second instance must leave at once, saying why, and change nothing.
  void SecondInstance() {
    usleep(500000);
    TakeSyslog();
    Check(Sh(FIFODEL_BINARY " nofork >/dev/null") == 0,
          "second instance exits 0");
    const auto logged = TakeSyslog(1000);
    Check(logged.size() == 1 && logged[0].pri == 11,
          "second instance logs one error");
  }

  void Check(bool ok, const std::string& what) {
    ++invariants_;
    if (!ok) ++violations_;
    EXPECT_TRUE(ok) << what;
  }

  // No unarchived recording lost; every call whose media is gone marked.
  void CheckCalls() {
    for (const std::string& c :
         Lines(Psql("SELECT directory || '/' || filename || ' ' || isarchived "
                    "|| ' ' || (flags & 4) FROM calls"))) {
      std::istringstream in(c);
      std::string file, archived, marked;
      in >> file >> archived >> marked;
      bool present = Exists("/recordings/" + file);
      if (archived == "0" && marked == "0") Check(present, "kept " + file);
      if (archived == "1") Check(present, "marked when gone: " + file);
    }
  }

  // Each counter fell by the bytes of its tenant that left the disk; in the
  // documented window, by the interrupted pass's charges once more.
  void CheckCounters(bool fDrift) {
    std::map<int, long long> expected;
    for (const auto& [path, file] : g_files)
      if (Gone(path, file)) expected[file.tenant] -= file.size;
    for (const std::string& l :
         Lines(fDrift ? Read("/run/at-strike") : std::string())) {
      long long tenant, delta;
      if (sscanf(l.c_str(), "%lld %lld", &tenant, &delta) == 2)
        expected[tenant] += delta;
    }
    for (int t = 1; t <= 3; ++t) {
      const std::string value =
          Psql("SELECT value FROM configs WHERE param = 'TN" +
               std::to_string(t) + "_DiskUsage'");
      Check(std::to_string(kStart + expected[t]) == value,
            "counter of tenant " + std::to_string(t) + ": " + value +
                ", expected " + std::to_string(kStart + expected[t]));
    }
  }

  std::string pghost_;
  int invariants_ = 0, violations_ = 0;
  std::atomic<bool> done_{false};
  std::thread reaper_;
};

TEST_F(FaultMatrixTest, RecoversFromEveryFaultAtEveryPoint) {
  std::set<std::string> points;
  const char* only = getenv("FAULT_ROW");  // to run one row while debugging
  for (const Fault& f : kFaults) {
    if (only && atoi(only) != &f - kFaults) continue;
    SCOPED_TRACE(std::string(f.fault) + " at " + f.point + f.stuck);
    Build(f);
    const auto outside = Snapshot("/var/tolvex/conf/out");
    Service svc;
    svc.Start(f);
    if (std::string(f.fault) == "two instances") SecondInstance();
    Strike(f, &svc);
    if (*f.point) points.insert(f.point);
    WaitSettled(&svc, false);
    // Counts or marks still owed wait for the next shortage: recording goes
    // on.
    if (Exists("/var/lib/fifodel/counters.journal") || UnmarkedGone()) {
      MakeFile("/recordings/live2.wav", 10 * kMB);
      WaitSettled(&svc, true);
    }
    Check(svc.Running(), "service alive");
    const double gap = svc.LongestGap();
    svc.Stop();
    Check(FreeMB() >= 250, "free space back above the trigger level");
    Check(outside == Snapshot("/var/tolvex/conf/out"), "outside untouched");
    Check(f.fKilled || gap < 20,
          "measured at pace, gap " + std::to_string(gap));
    CheckCalls();
    CheckCounters(f.fDrift);
    if (only)  // the service's lines, seconds since the first
      for (const auto& [t, text] : svc.lines)
        printf("%6.1f %s\n",
               std::chrono::duration<double>(t - svc.lines[0].first).count(),
               text.c_str());
  }
  printf(
      "fault matrix: %zu faults injected, %zu points covered, %d invariants "
      "checked, %d violations\n",
      std::size(kFaults) - 1, points.size(), invariants_, violations_);
}

}  // namespace
