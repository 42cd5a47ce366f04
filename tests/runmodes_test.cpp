// The real service binary in each run mode: what it writes and where, whether
// it detaches, and that SIGTERM and SIGINT end it at once with status 0.
#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <string>
#include <vector>

#include "dbfixture.h"

// Starts the service with `args`, its standard output on a raw
// pseudo-terminal (so line-buffered, as on a console) whose master goes to
// *fd, its standard error on /dev/null with the shell commands' complaints.
// `pghost` replaces PGHOST when given.
pid_t StartFifodel(std::vector<const char*> args, int* fd,
                   const char* pghost = nullptr) {
  int tty;
  termios raw = {};
  cfmakeraw(&raw);
  EXPECT_EQ(0, openpty(fd, &tty, nullptr, &raw, nullptr));
  args.insert(args.begin(), FIFODEL_BINARY);
  args.push_back(nullptr);
  fflush(nullptr);
  pid_t pid = fork();
  if (pid == 0) {
    int null = open("/dev/null", O_RDWR);
    dup2(null, 0);
    dup2(tty, 1);
    dup2(null, 2);
    for (int f : {*fd, tty, null}) close(f);
    if (pghost) setenv("PGHOST", pghost, 1);
    execv(FIFODEL_BINARY, const_cast<char**>(args.data()));
    _exit(127);
  }
  close(tty);
  return pid;
}

// Reads `fd` until what was read holds `want`, no writer is left, or `ms`
// milliseconds passed; returns what was read.
std::string ReadFifodel(int fd, const std::string& want, int ms) {
  using namespace std::chrono;
  std::string got;
  auto end = steady_clock::now() + milliseconds(ms);
  while (want.empty() || got.find(want) == std::string::npos) {
    pollfd p = {fd, POLLIN, 0};
    int left = duration_cast<milliseconds>(end - steady_clock::now()).count();
    char buf[4096];
    ssize_t n =
        left > 0 && poll(&p, 1, left) > 0 ? read(fd, buf, sizeof buf) : 0;
    if (n <= 0) break;
    got.append(buf, n);
  }
  return got;
}

// Sends `sig` (0: none), reaps `pid` within 3 s (killing it after that),
// expects nothing more on `fd`, closes it and returns the wait status.
int StopFifodel(pid_t pid, int sig, int fd) {
  kill(pid, sig);
  int status = -1;
  for (int i = 0; i < 300 && waitpid(pid, &status, WNOHANG) == 0; ++i)
    usleep(10000);
  if (status == -1 && kill(pid, SIGKILL) == 0) waitpid(pid, &status, 0);
  EXPECT_EQ("", ReadFifodel(fd, "", 300)) << "written at the end";
  close(fd);
  return status;
}

namespace {

class RunModesTest : public DbTest {};

TEST_F(RunModesTest, EachModeWritesLogsAndEndsAsItShould) {
  namespace fs = std::filesystem;
  std::error_code error;
  ASSERT_EQ(0, prctl(PR_SET_CHILD_SUBREAPER, 1));  // detached ones stay ours
  const std::string banner = "Starting Tolvex FIFO\n";
  const std::string debug =
      banner + "Opened in debug mode.....\nFIFO program started\n";
  struct {
    std::vector<const char*> args;
    int sig;
    std::string console;
    bool detaches;
  } cases[] = {
      {{}, SIGTERM, banner, true},
      {{"--fifodelsim"}, SIGINT, banner, true},
      {{"DEBUG"}, SIGTERM, banner, true},
      {{"debug", "nofork"}, SIGTERM, debug, false},
      {{"debug"}, SIGINT, debug, false},
      {{"nofork", "debug"}, SIGTERM, banner, false},
      {{"nofork"}, SIGINT, banner, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.args.empty() ? "no argument" : c.args[0]);
    int fd;
    pid_t pid = StartFifodel(c.args, &fd);
    EXPECT_EQ(c.console, ReadFifodel(fd, c.console, 3000));
    // Logged once the descriptors are in place.
    std::vector<SyslogLine> lines = TakeSyslog(c.console == debug ? 300 : 3000);
    ASSERT_EQ(c.console == debug ? 0u : 1u, lines.size());
    for (const auto& line : lines)
      EXPECT_EQ("13 FIFO program started",
                std::to_string(line.pri) + " " + line.text);
    if (c.detaches) {
      EXPECT_EQ(0, StopFifodel(pid, 0, dup(fd)));  // ended by itself
      for (const auto& proc : fs::directory_iterator("/proc"))
        if (fs::read_symlink(proc.path() / "exe", error) == FIFODEL_BINARY)
          pid = atoi(proc.path().filename().c_str());
      EXPECT_EQ(pid, getsid(pid));
      for (const char* n : {"0", "1", "2"})
        EXPECT_EQ("/dev/null",
                  fs::read_symlink("/proc/" + std::to_string(pid) + "/fd/" + n,
                                   error));
    }
    EXPECT_EQ(0, waitpid(pid, nullptr, WNOHANG));  // still running
    EXPECT_EQ(0, StopFifodel(pid, c.sig, fd));
    EXPECT_EQ(0u, TakeSyslog(100).size());
  }
}

TEST_F(RunModesTest, SignalInTheMiddleOfAPassEndsItThere) {
  MakeFile("/recordings/2021/03/04/05/a.wav", 1 << 20);
  Sql("INSERT INTO calls (id, directory, filename, isarchived, startdate) "
      "VALUES (1, '2021/03/04/05', 'a.wav', 1, '2021-03-04')");
  for (int sig : {SIGTERM, SIGINT}) {
    // The pass's query waits for this lock, which holds the service mid-pass.
    Sql("BEGIN");
    Sql("LOCK TABLE calls");
    int fd;
    pid_t pid = StartFifodel({"debug"}, &fd);
    const std::string query = "FIFO_delete: still bytes to free\n";
    EXPECT_NE(std::string::npos, ReadFifodel(fd, query, 8000).find(query));
    const char waits[] =
        "SELECT count(*)::text FROM pg_locks WHERE NOT granted";
    for (int i = 0; i < 100 && Scalar(waits) != "1"; ++i) usleep(20000);
    EXPECT_EQ("1", Scalar(waits));
    EXPECT_EQ(0, StopFifodel(pid, sig, fd)) << sig;
    Sql("ROLLBACK");
  }
  EXPECT_EQ("1", Scalar("SELECT isarchived::text FROM calls"));
  EXPECT_TRUE(Exists("/recordings/2021/03/04/05/a.wav"));
}

TEST_F(RunModesTest, SimulationRunsOnePassThenExits) {
  const std::string conn = "Simulated\nFIFO_delete: Connected to DB\n";
  const std::string end = "No tenancy updates\nFIFO_delete: finished\n";
  struct {
    const char* arg;
    bool stale;  // an archived call, and a year older than it
    std::string out;
  } cases[] = {
      {"none", false,
       "DEBUG test\nFIFO_delete: 0 bytes to free\n" + conn + end +
           "Clean exit!\n"},
      {" 9x", true,
       "DEBUG test\nFIFO_delete: 9 bytes to free\n" + conn +
           "FIFO_delete: still bytes to free\n"
           "FIFO oldest entry in directory 2021/03/04/05 \n"
           "FIFO delete directory: /recordings/2020 \n" +
           end +
           "FIFO_delete function returned true (means would have deleted "
           "some dirs)\nClean exit!\n"},
  };
  for (const auto& c : cases) {
    if (c.stale) {
      MakeFile("/recordings/2020/12/31/23/old.wav", 10);
      Sql("INSERT INTO calls (id, directory, filename, isarchived, startdate) "
          "VALUES (1, '2021/03/04/05', 'a.wav', 1, '2021-03-04')");
    }
    int fd;
    pid_t pid = StartFifodel({"--fifodelsim", c.arg, "debug"}, &fd);
    EXPECT_EQ(c.out, ReadFifodel(fd, "", 5000));
    EXPECT_EQ(0, StopFifodel(pid, 0, fd));
    EXPECT_EQ(0u, TakeSyslog(100).size());
  }
  EXPECT_TRUE(Exists("/recordings/2020"));
  EXPECT_EQ("1 0", Scalar("SELECT isarchived || ' ' || flags FROM calls"));
}

}  // namespace
