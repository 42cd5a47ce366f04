// Builds the private namespaces that the tests and benchmarks run in. The
// host's tree is never touched beyond mount points that did not exist (see
// mountpoints.h).
#include "sandbox.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <glob.h>
#include <sched.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/mount.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <fstream>
#include <mutex>
#include <thread>

#include "mountpoints.h"
#include "paths.h"

// /run as a whole: besides the service's lock and state, tests leave their
// own flags there.
const char* const kSandboxPaths[] = {
    RECORDINGS_DIR, CONF_DIR,           LOG_DIR, "/run",
    JOURNAL_DIR,    "/var/log/fifodel", nullptr};

namespace {

int g_syslogFd = -1;

// The socket queues only a few datagrams (net.unix.max_dgram_qlen) before
// the sender blocks, so a thread drains it into this queue at once. Never
// destroyed: that thread outlives the test's main().
std::mutex& g_syslogMutex = *new std::mutex;
std::condition_variable& g_syslogArrived = *new std::condition_variable;
std::deque<std::string>& g_syslogQueue = *new std::deque<std::string>;

void DrainSyslog() {
  for (;;) {
    char buf[8192];
    ssize_t n = recv(g_syslogFd, buf, sizeof buf, 0);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return;
    std::lock_guard<std::mutex> lock(g_syslogMutex);
    g_syslogQueue.emplace_back(buf, n);
    g_syslogArrived.notify_all();
  }
}

[[noreturn]] void Die(const std::string& what) {
  fprintf(stderr, "sandbox: %s: %s\n", what.c_str(), strerror(errno));
  _exit(1);
}

void Mount(const char* src, const std::string& dst, const char* type,
           unsigned long flags, const std::string& opts = "") {
  if (mount(src, dst.c_str(), type, flags, opts.c_str()) != 0) Die(dst);
}

void BindFile(const std::string& stage, const std::string& name) {
  std::string src = "/dev/" + name, dst = stage + "/" + name;
  int fd = open(dst.c_str(), O_CREAT | O_WRONLY, 0644);
  if (fd < 0) Die(dst);
  close(fd);
  Mount(src.c_str(), dst, nullptr, MS_BIND);
}

// A private /dev: the usual character devices and terminals of the host, and
// a datagram socket "log" of our own in place of the system logger's.
void PrivateDev() {
  char dir[] = "/tmp/fifodel-dev.XXXXXX";
  if (!mkdtemp(dir)) Die("mkdtemp");
  const std::string stage = dir;
  Mount("tmpfs", stage, "tmpfs", 0, "mode=755,size=1m");
  for (const char* name :
       {"null", "zero", "full", "random", "urandom", "loop-control"})
    BindFile(stage, name);
  // Loop devices, for file systems on images: the kernel makes them on
  // demand, the host's /dev gets their nodes, this one gets them here.
  for (int n = 0; n < 256; ++n)
    mknod((stage + "/loop" + std::to_string(n)).c_str(), S_IFBLK | 0600,
          makedev(7, n));
  mkdir((stage + "/pts").c_str(), 0755);
  Mount("/dev/pts", stage + "/pts", nullptr, MS_BIND | MS_REC);
  // PostgreSQL's dynamic shared memory lives in /dev/shm.
  mkdir((stage + "/shm").c_str(), 01777);
  Mount("tmpfs", stage + "/shm", "tmpfs", 0, "mode=1777,size=64m");
  // A bound ptmx node cannot find its devpts; the symlink can.
  symlink("pts/ptmx", (stage + "/ptmx").c_str());
  symlink("/proc/self/fd", (stage + "/fd").c_str());

  sockaddr_un addr = {AF_UNIX, ""};
  snprintf(addr.sun_path, sizeof addr.sun_path, "%s/log", dir);
  g_syslogFd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (g_syslogFd < 0 ||
      bind(g_syslogFd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0)
    Die("syslog socket");
  Mount(dir, "/dev", nullptr, MS_MOVE);
  rmdir(dir);
  std::thread(DrainSyslog).detach();
}

// Runs as PID 1 of a new PID namespace: "killall tcpdump" of the service
// under test reaches only processes in here, and whatever a failed test
// leaves running ends with it.
void EnterNamespace() {
  if (unshare(CLONE_NEWNS) != 0) Die("unshare");
  Mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE);
  Mount("proc", "/proc", "proc", MS_NOSUID | MS_NODEV | MS_NOEXEC);
  for (const char* const* path = kSandboxPaths; *path; ++path)
    FreshTmpfs(*path, 1);
  PrivateDev();
}

int WaitFor(pid_t pid) {
  int status = 0;
  while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

// Zombie postgres processes whose parent we became (PID 1 of the sandbox).
void ReapServers(const std::atomic<bool>* done) {
  while (!*done) {
    DIR* proc = opendir("/proc");
    while (struct dirent* e = proc ? readdir(proc) : nullptr) {
      int pid = atoi(e->d_name), ppid = 0;
      std::ifstream stat("/proc/" + std::string(e->d_name) + "/stat");
      std::string comm, state;
      if (pid > 0 && stat >> pid >> comm >> state >> ppid && state == "Z" &&
          ppid == getpid() && comm == "(postgres)")
        waitpid(pid, nullptr, WNOHANG);
    }
    if (proc) closedir(proc);
    usleep(100000);
  }
}

}  // namespace

int RunInSandbox(const std::function<int()>& run) {
  ClaimMountPoints(kSandboxPaths);
  fflush(nullptr);
  // The caller stays in its PID namespace: once PID 1 of a new one is gone,
  // no process may be forked into it, and the caller may want to fork more.
  pid_t pid = fork();
  if (pid < 0) Die("fork");
  if (pid == 0) {
    if (unshare(CLONE_NEWPID) != 0) Die("unshare pid");
    pid_t init = fork();
    if (init < 0) Die("fork");
    if (init == 0) {
      EnterNamespace();
      exit(run());
    }
    _exit(WaitFor(init));
  }
  int code = WaitFor(pid);
  ReleaseMountPoints();
  return code;
}

std::vector<SyslogLine> TakeSyslog(int wait_ms) {
  // Datagrams keep their order: once this barrier is through, everything
  // sent before it is in the queue.
  static int iBarrier = 0;
  const std::string barrier = "\001barrier " + std::to_string(++iBarrier);
  sockaddr_un addr = {AF_UNIX, "/dev/log"};
  int fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  sendto(fd, barrier.data(), barrier.size(), 0,
         reinterpret_cast<sockaddr*>(&addr), sizeof addr);
  close(fd);
  std::unique_lock<std::mutex> lock(g_syslogMutex);
  auto at = g_syslogQueue.end();
  g_syslogArrived.wait(lock, [&] {
    at = std::find(g_syslogQueue.begin(), g_syslogQueue.end(), barrier);
    return at != g_syslogQueue.end();
  });
  g_syslogQueue.erase(at);
  g_syslogArrived.wait_for(lock, std::chrono::milliseconds(wait_ms),
                           [] { return !g_syslogQueue.empty(); });
  std::vector<SyslogLine> lines;
  for (const std::string& raw : g_syslogQueue) {
    // "<pri>Mmm dd hh:mm:ss ident: text"; the ident holds no ": ".
    size_t colon = raw.find(": ");
    lines.push_back({atoi(raw.c_str() + 1),
                     colon == std::string::npos ? "" : raw.substr(colon + 2),
                     raw});
  }
  g_syslogQueue.clear();
  return lines;
}

void FreshTmpfs(const std::string& path, unsigned long long size_mb) {
  umount2(path.c_str(), MNT_DETACH);  // the first time there is none
  Mount("tmpfs", path, "tmpfs", 0,
        "mode=755,nr_inodes=4m,size=" + std::to_string(size_mb) + "m");
}

void MakeFile(const std::string& path, long long bytes) {
  for (size_t pos = path.find('/', 1); pos != std::string::npos;
       pos = path.find('/', pos + 1))
    mkdir(path.substr(0, pos).c_str(), 0755);
  int fd = open(path.c_str(), O_CREAT | O_TRUNC | O_WRONLY, 0644);
  ASSERT_GE(fd, 0) << path << ": " << strerror(errno);
  ASSERT_EQ(0, bytes > 0 ? posix_fallocate(fd, 0, bytes) : 0) << path;
  close(fd);
}

bool Exists(const std::string& path) {
  struct stat st;
  return lstat(path.c_str(), &st) == 0;
}

const char* const PrivatePostgres::kStop =
    "runuser -u postgres -- $(ls -d /usr/lib/postgresql/*/bin | tail -1)"
    "/pg_ctl -D $PGHOST/data -m fast -w stop";
const char* const PrivatePostgres::kStart =
    "runuser -u postgres -- $(ls -d /usr/lib/postgresql/*/bin | tail -1)"
    "/pg_ctl -D $PGHOST/data -l $PGHOST/postgresql.log -o \"-k $PGHOST\" "
    "-w start >/dev/null";

namespace {

// The server's own client first in PATH: Debian's psql is a Perl wrapper
// that picks a version each time, and the tests run psql a thousand times.
void ClientFirstInPath() {
  glob_t bins;
  if (glob("/usr/lib/postgresql/*/bin", 0, nullptr, &bins) != 0) return;
  const std::string bin = bins.gl_pathv[bins.gl_pathc - 1];
  globfree(&bins);
  const char* path = getenv("PATH");
  const std::string now = path ? path : "/usr/bin:/bin";
  if (now.compare(0, bin.size() + 1, bin + ":") != 0)
    setenv("PATH", (bin + ":" + now).c_str(), 1);
}

}  // namespace

PrivatePostgres::PrivatePostgres() {
  char home[] = "/tmp/fifodel-pg.XXXXXX";  // short: the socket's path is
  if (!mkdtemp(home)) Die("mkdtemp");      // limited to 107 bytes
  home_ = home;
  // In a sandbox's namespaces the server lives in memory: a copy of the
  // template is ten times faster there than on the host's ext4, and a
  // killed test leaves only an empty directory behind.
  if (getpid() == 1 &&
      mount("tmpfs", home, "tmpfs", 0, "mode=755,size=1g") != 0)
    Die("mount " + home_);
  dir_ = home_ + "/pg";
  std::string cmd = FIFODEL_SOURCE_DIR "/scripts/pgsandbox start " + dir_ +
                    " " FIFODEL_SOURCE_DIR "/db/schema.sql >/dev/null";
  if (system(cmd.c_str()) != 0) Die("scripts/pgsandbox start");
  setenv("PGHOST", dir_.c_str(), 1);
  ClientFirstInPath();
  if (getpid() == 1) reaper_ = std::thread(ReapServers, &done_);
}

PrivatePostgres::~PrivatePostgres() {
  std::string cmd = FIFODEL_SOURCE_DIR "/scripts/pgsandbox stop " + dir_;
  if (system(cmd.c_str()) != 0)
    fprintf(stderr, "sandbox: %s failed\n", cmd.c_str());
  if (getpid() == 1) umount2(home_.c_str(), MNT_DETACH);
  rmdir(home_.c_str());
  done_ = true;
  if (reaper_.joinable()) reaper_.join();
}

void FreshSandbox() {
  FreshTmpfs(RECORDINGS_DIR, 64);
  for (const char* const* path = kSandboxPaths + 1; *path; ++path)
    FreshTmpfs(*path, 1);
  TakeSyslog();
}
