// The real service in each run mode: output, detaching, ending on signals.
#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>

#include "dbfixture.h"

namespace fs = std::filesystem;

// Runs `env` fifodel `args`, stdout on a raw pty, the others on /dev/null.
std::pair<pid_t, int> StartFifodel(std::string args, std::string env = "") {
  int fd, tty;
  EXPECT_EQ(0, openpty(&fd, &tty, nullptr, nullptr, nullptr));
  for (int f : {fd, tty}) fcntl(f, F_SETFD, FD_CLOEXEC);
  std::string cmd = "stty raw <&1; " + env + " exec " FIFODEL_BINARY " " +
                    args + " </dev/null 2>/dev/null";
  pid_t pid = fork();
  if (pid == 0 && dup2(tty, 1) == 1)
    execl("/bin/sh", "sh", "-c", cmd.c_str(), nullptr);
  if (pid == 0) _exit(127);
  close(tty);
  return {pid, fd};
}

// Reads as many bytes as `want` has from `fd`, unless `ms` ms pass silent.
std::string ReadFifodel(int fd, const std::string& want, int ms) {
  std::string got;
  char c;
  for (pollfd p = {fd, POLLIN, 0};
       got.size() < want.size() && poll(&p, 1, ms) > 0 && read(fd, &c, 1) == 1;)
    got += c;
  return got;
}

// Sends `sig`, reaps `pid` (killed after 1 s), expects `fd` to stay silent.
int StopFifodel(pid_t pid, int sig, int fd) {
  kill(pid, sig);
  int status = -1;
  for (int i = 100; i-- && !waitpid(pid, &status, WNOHANG);) usleep(10000);
  if (kill(pid, SIGKILL) == 0) waitpid(pid, &status, 0);
  EXPECT_EQ("", ReadFifodel(fd, std::string(80, '.'), 300)) << "at the end";
  close(fd);
  return status;
}

using RunModesTest = DbTest;

// Each mode's output, and signals ending it at once, even mid-pass in shred.
TEST_F(RunModesTest, EachModeWritesWhereItShouldAndEndsAtOnce) {
  ASSERT_EQ(0, prctl(PR_SET_CHILD_SUBREAPER, 1));  // detached ones stay ours
  MakeFile("/recordings/2021/03/04/05/a.wav", 0);
  MakeFile("/var/tolvex/conf/opt_secure_delete", 0);
  Sql("INSERT INTO calls (id, directory, filename, isarchived, startdate) "
      "VALUES (1, '2021/03/04/05', 'a.wav', 1, '2021-03-04')");
  std::ofstream("/var/tolvex/conf/shred")
      << "#!/bin/sh\ntouch /var/tolvex/conf/ran\nsleep 5\n";
  fs::permissions("/var/tolvex/conf/shred", fs::perms::owner_all);
  const std::string banner = "Starting Tolvex FIFO\n";
  const std::string held =
      "Starting Tolvex FIFO\nOpened in debug mode.....\nFIFO program started\n"
      "FIFO_check: Free: 64 Mb (TOO LOW)\nFIFO_check: 195035136 bytes "
      "difference from threshold\nFIFO_delete: 195035136 bytes to free\n"
      "FIFO_delete: Connected to DB\nFIFO_delete: still bytes to free\n"
      "FIFO oldest entry in directory 2021/03/04/05 \n";
  const std::string none =
      "DEBUG test\nFIFO_delete: 0 bytes to free\nSimulated\nFIFO_delete: "
      "Connected to DB\nNo tenancy updates\nFIFO_delete: finished\n"
      "Clean exit!\n";
  const std::string nine =
      "DEBUG test\nFIFO_delete: 9 bytes to free\nSimulated\nFIFO_delete: "
      "Connected to DB\nFIFO_delete: still bytes to free\nFIFO oldest entry in "
      "directory 2021/03/04/05 \nFIFO delete directory: /recordings/2020 \nNo "
      "tenancy updates\nFIFO_delete: finished\nFIFO_delete function returned "
      "true (means would have deleted some dirs)\nClean exit!\n";
  std::tuple<const char*, int, bool, const std::string&> cases[] = {
      {"", SIGTERM, true, banner},
      {"--fifodelsim", SIGINT, true, banner},
      {"DEBUG", SIGTERM, true, banner},
      {"nofork", SIGINT, false, banner},
      {"debug", SIGINT, false, held},               // held in shred
      {"--fifodelsim none debug", 0, false, none},  // 0: ends by itself
      {"--fifodelsim ' 9x' debug", 0, false, nine},
  };
  for (const auto& [args, sig, detaches, console] : cases) {
    SCOPED_TRACE(args);
    if (!sig) MakeFile("/recordings/2020/12/31/23/old.wav", 0);  // stale year
    auto [pid, fd] = StartFifodel(args, "PATH=/var/tolvex/conf:$PATH");
    EXPECT_EQ(console, ReadFifodel(fd, console, 8000));
    std::string logged;  // a daemon logs once its descriptors are in place
    for (const auto& l : TakeSyslog(console == banner ? 3000 : 300))
      logged += std::to_string(l.pri) + " " + l.text + "\n";
    EXPECT_EQ(console == banner ? "13 FIFO program started\n" : "", logged);
    if (detaches) {
      EXPECT_EQ(0, StopFifodel(pid, 0, dup(fd)));  // ended by itself
      std::ifstream("/proc/thread-self/children") >> pid;
      EXPECT_EQ(pid, getsid(pid));
      for (auto n : {"/fd/0", "/fd/1", "/fd/2"})
        EXPECT_EQ("/dev/null",
                  fs::read_symlink("/proc/" + std::to_string(pid) + n));
    }
    EXPECT_TRUE(!sig || waitpid(pid, nullptr, WNOHANG) == 0) << "ended";
    EXPECT_EQ(0, StopFifodel(pid, sig, fd));
    EXPECT_EQ(0u, TakeSyslog(100).size());
  }
  EXPECT_TRUE(Exists("/var/tolvex/conf/ran"));  // the slow shred did run
}
