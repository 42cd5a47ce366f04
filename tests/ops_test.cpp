// What operators see of the real service: the state that `fifodel status`
// judges, the metrics, the audit trail and the service manager's
// notifications, in a healthy, a reclaiming, a stuck and a database-less run.
#include <signal.h>
#include <sys/inotify.h>
#include <sys/mount.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <regex>
#include <set>
#include <sstream>

#include "dbfixture.h"
#include "paths.h"
#include "state.h"

std::pair<pid_t, int> StartFifodel(std::string args, std::string env);
std::string ReadFifodel(int fd, const std::string& want, int ms);
int StopFifodel(pid_t pid, int sig, int fd);

namespace {

namespace fs = std::filesystem;
const long long kMB = 1 << 20;
const char kHour[] = "/recordings/2021/03/04/05";

std::string Slurp(const std::string& path) {
  std::stringstream text;
  text << std::ifstream(path).rdbuf();
  return text.str();
}

// Runs `cmd` through the shell: its exit status and standard output.
std::pair<int, std::string> Shell(const std::string& cmd) {
  FILE* p = popen(cmd.c_str(), "r");
  std::string out;
  for (int c; (c = fgetc(p)) != EOF;) out += static_cast<char>(c);
  int status = pclose(p);
  return {WIFEXITED(status) ? WEXITSTATUS(status) : -1, out};
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
  }
  ~Watch() { close(notify), close(events); }
  void Drain() {
    char msg[4096];
    for (ssize_t n; (n = recv(notify, msg, sizeof msg, 0)) > 0;)
      messages += std::string(msg, n) + "\n";
    char buf[4096];
    for (ssize_t n; (n = read(events, buf, sizeof buf)) > 0;)
      for (char* p = buf; p < buf + n;) {
        auto* e = reinterpret_cast<inotify_event*>(p);
        (e->mask & IN_MOVED_TO ? renamed : written).insert(e->name);
        p += sizeof *e + e->len;
      }
  }
};

struct Scenario {
  const char* name;
  int recordings_mb;
  void (*setup)(DbTest*);
  const char* env;
  int exit_code;       // of `fifodel status`
  const char* status;  // in its text; then the notified STATUS= line
  const char* notified;
  const char* metrics;  // a regex the metrics must match
  const char* audit;    // a regex for the whole audit trail
};

void ArchivedCall(DbTest* t, long long bytes) {
  MakeFile(std::string(kHour) + "/c1.wav", bytes);
  t->Sql(
      "INSERT INTO calls (id, directory, filename, tenantid, isarchived, "
      "startdate) VALUES (1, '2021/03/04/05', 'c1.wav', 7, 1, "
      "'2021-03-04')");
  t->Sql("INSERT INTO configs VALUES ('TN7_DiskUsage', '90000000')");
}

const Scenario kScenarios[] = {
    {"healthy", 1100, [](DbTest*) {}, "", 0, "ok\n     Active: running",
     "STATUS=free 1100 MB, trigger 250 MB\n",
     "fifodel_measurement_ok 1\n# HELP fifodel_free_bytes [^\n]*\n# TYPE "
     "fifodel_free_bytes gauge\nfifodel_free_bytes 1153433600\n",
     ""},
    {"reclaims", 292, [](DbTest* t) { ArchivedCall(t, 60 * kMB); }, "", 0,
     "covered: freed 60 MB, 1 calls", "last pass [0-9:]+ covered freed 60 MB",
     "fifodel_tenant_reclaimed_bytes_total\\{tenant=\"7\"\\} 62914560\n",
     "[-0-9]+T[0-9:+]+\tpass=1\tcall=1\ttenant=7\tbytes=62914560\tremoved "
     "/recordings/2021/03/04/05/c1.wav\n"},
    {"stuck", 64,
     [](DbTest* t) {
       ArchivedCall(t, kMB);
       ASSERT_EQ(0, mount(kHour, kHour, nullptr, MS_BIND, nullptr));
       ASSERT_EQ(0, mount(nullptr, kHour, nullptr,
                          MS_REMOUNT | MS_BIND | MS_RDONLY, nullptr));
     },
     "", 2,
     "critical: free space below the trigger level after pass 1; 1 stuck",
     "STATUS=free 6[34] MB, trigger 250 MB, last pass [0-9:]+ stuck",
     "fifodel_stuck_items\\{kind=\"call\"\\} 1\n", ""},
    {"database down", 64, [](DbTest* t) { ArchivedCall(t, kMB); },
     "PGHOST=/nowhere", 2, "database unreachable at the last pass",
     "last pass [0-9:]+ db_error freed 0 MB", "fifodel_db_errors_total [1-9]",
     ""},
};

class OpsTest : public DbTest {
 protected:
  // Each scenario starts from empty file systems and tables.
  void Reset() {
    SandboxTest::SetUp();
    Sql("TRUNCATE calls, configs");
    mkdir("/run/metrics", 0755);
  }
};

// Waits until the service has published a pass (or, when none is due, a
// measurement), draining the notifications meanwhile.
ServiceState AwaitState(Watch* w, bool fPass) {
  ServiceState st;
  for (int i = 0; i < 150; ++i, usleep(100000)) {
    if (fs::exists("/run/fifodel"))
      inotify_add_watch(w->events, "/run/fifodel",
                        IN_MODIFY | IN_CLOSE_WRITE | IN_MOVED_TO);
    w->Drain();
    if (ParseState(Slurp(STATE_FILE), &st) && (!fPass || st.tPassEnd)) break;
  }
  return st;
}

TEST_F(OpsTest, StatusMetricsAuditAndNotificationsTellWhatHappened) {
  const std::string bin = FIFODEL_BINARY;
  EXPECT_EQ(3, Shell(bin + " status").first) << "nothing runs yet";
  for (const Scenario& s : kScenarios) {
    SCOPED_TRACE(s.name);
    Reset();
    FreshTmpfs("/recordings", s.recordings_mb);
    s.setup(this);
    Watch w;
    inotify_add_watch(w.events, "/run/metrics",
                      IN_MODIFY | IN_CLOSE_WRITE | IN_MOVED_TO);
    auto [pid, fd] =
        StartFifodel("nofork --metrics-dir /run/metrics",
                     std::string("NOTIFY_SOCKET=/run/notify ") + s.env);
    ReadFifodel(fd, "Starting Tolvex FIFO\n", 2000);
    ServiceState st = AwaitState(&w, s.recordings_mb < 1000);
    auto [code, text] = Shell(bin + " status");
    EXPECT_EQ(s.exit_code, code) << text;
    EXPECT_NE(std::string::npos, text.find(s.status)) << text;
    EXPECT_NE(std::string::npos, Shell(bin + " status --json")
                                     .second.find("\"exit_code\": " +
                                                  std::to_string(s.exit_code)));
    if (&s == kScenarios) {  // one instance only; a closed pipe is no death
      EXPECT_EQ(
          std::make_pair(0, "fifodel: already running as pid " +
                                std::to_string(pid) +
                                " (/run/fifodel/fifodel.lock), exiting\n"),
          Shell(bin + " debug | tail -n1"));
      EXPECT_EQ("0\n", Shell("bash -c 'set -o pipefail; { sleep 0.3; " + bin +
                             " debug; } | true; echo $?'")
                           .second);
    }
    EXPECT_EQ(0, StopFifodel(pid, SIGTERM, fd));
    w.Drain();
    EXPECT_EQ(0u, w.messages.find("READY=1\n")) << w.messages;
    EXPECT_TRUE(std::regex_search(w.messages, std::regex(s.notified)))
        << w.messages;
    EXPECT_NE(std::string::npos, w.messages.find("WATCHDOG=1\n"));
    std::string metrics = Slurp("/run/metrics/fifodel.prom");
    EXPECT_TRUE(std::regex_search(metrics, std::regex(s.metrics))) << metrics;
    EXPECT_EQ(0,
              Shell("promtool check metrics </run/metrics/fifodel.prom").first);
    EXPECT_TRUE(std::regex_match(Slurp(AUDIT_FILE), std::regex(s.audit)));
    // Replaced by rename only, and no temporary file left behind.
    EXPECT_EQ(0u, w.written.count("fifodel.prom") + w.written.count("state"));
    EXPECT_TRUE(w.renamed.count("fifodel.prom"));
    EXPECT_TRUE(w.renamed.count("state"));
    EXPECT_EQ(3u,
              std::distance(fs::directory_iterator("/run/fifodel"), {}) +
                  std::distance(fs::directory_iterator("/run/metrics"), {}));
  }
  EXPECT_EQ(3, Shell(bin + " status").first) << "stopped";
}

}  // namespace
