// The sandbox that tests and benchmarks run in: private mount and PID
// namespaces with a private tmpfs on each fixed path of the service, a private
// /dev whose "log" socket captures what the system logger gets, and the run's
// private PostgreSQL. The host keeps nothing of it: mount points that did not
// exist are created for the run and removed after the last run that uses
// them.
#ifndef FIFODEL_TESTKIT_SANDBOX_H_
#define FIFODEL_TESTKIT_SANDBOX_H_

#include <gtest/gtest.h>

#include <atomic>
#include <functional>
#include <string>
#include <thread>
#include <vector>

// Every path that gets a private tmpfs: the recording tree, the markers, the
// diagnostic logs, /run (lock and state), the counter journal and the audit
// trail. Ends with nullptr.
extern const char* const kSandboxPaths[];

// Runs `run` as PID 1 of new PID and mount namespaces with a 1 MB tmpfs on
// each of kSandboxPaths and a private /dev, whose "log" socket feeds
// TakeSyslog. Returns run's exit code, or 128 + the signal that ended it.
int RunInSandbox(const std::function<int()>& run);

// One datagram received on the sandbox's /dev/log.
struct SyslogLine {
  int pri;           // priority and facility, e.g. 13 for user.notice
  std::string text;  // the message, after "ident: "
  std::string raw;   // the whole datagram
};

// Datagrams received since the last call (waits up to `wait_ms` for the
// first one when none is queued). Only inside RunInSandbox.
std::vector<SyslogLine> TakeSyslog(int wait_ms = 0);

// Replaces the tmpfs at `path` by a fresh, empty one of `size_mb` MB with
// room for four million inodes. Exits the process when it cannot.
void FreshTmpfs(const std::string& path, unsigned long long size_mb);

// Creates `path` (and its parents) holding `bytes` bytes of real, allocated
// data, so that it takes space on tmpfs.
void MakeFile(const std::string& path, long long bytes);

bool Exists(const std::string& path);

// A private PostgreSQL for this process: scripts/pgsandbox start, copied
// from the template in FIFODEL_PG_TEMPLATE when the test run made one, with
// the reference schema; sets PGHOST and stops the server when the object
// goes. Made inside the sandbox, the server is this process's child, where
// faults can stop, freeze and kill it; the zombies its killed processes
// leave are reaped meanwhile, or the next start would take them for a
// running server.
class PrivatePostgres {
 public:
  PrivatePostgres();
  ~PrivatePostgres();
  PrivatePostgres(const PrivatePostgres&) = delete;
  PrivatePostgres& operator=(const PrivatePostgres&) = delete;
  // Shell commands that stop the server and start it again.
  static const char* const kStop;
  static const char* const kStart;

 private:
  std::string home_, dir_;  // the server's directory is dir_ in home_
  std::atomic<bool> done_{false};
  std::thread reaper_;
};

// Empty file systems: /recordings of 64 MB, 1 MB on each other path, and an
// empty syslog queue. Every sandbox test starts from them.
void FreshSandbox();
class SandboxTest : public ::testing::Test {
 protected:
  void SetUp() override { FreshSandbox(); }
};

#endif  // FIFODEL_TESTKIT_SANDBOX_H_
