// The test sandbox: tests that touch the fixed paths run in a private mount
// namespace with tmpfs on /recordings, /var/tolvex/conf and /recording/log and
// a private /dev whose "log" socket captures what the system logger gets.
#ifndef FIFODEL_TESTS_SANDBOX_H_
#define FIFODEL_TESTS_SANDBOX_H_

#include <gtest/gtest.h>

#include <string>
#include <vector>

// Runs `run` as PID 1 of new PID and mount namespaces, creating missing mount
// points on the host before and removing them after. Returns its exit code.
int RunInSandbox(int (*run)());

// One datagram received on the sandbox's /dev/log.
struct SyslogLine {
  int pri;           // priority and facility, e.g. 13 for user.notice
  std::string text;  // the message, after "ident: "
  std::string raw;   // the whole datagram
};

// Datagrams received since the last call (waits up to `wait_ms` for the
// first one when none is queued).
std::vector<SyslogLine> TakeSyslog(int wait_ms = 0);

// Replaces the tmpfs at `path` by a fresh, empty one of `size_mb` MB.
void FreshTmpfs(const std::string& path, unsigned long long size_mb);

// Creates `path` (and its parents) holding `bytes` bytes of real, allocated
// data, so that it takes space on tmpfs.
void MakeFile(const std::string& path, long long bytes);

bool Exists(const std::string& path);

// Every sandbox test starts from empty file systems: /recordings of 64 MB,
// the two other paths of 1 MB, and an empty syslog queue.
class SandboxTest : public ::testing::Test {
 protected:
  void SetUp() override;
};

#endif  // FIFODEL_TESTS_SANDBOX_H_
