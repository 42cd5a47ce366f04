// The two sinks of lg, read for real: standard output byte for byte, and the
// datagrams that reach /dev/log.
#include "logging.h"

#include <stdio.h>
#include <syslog.h>
#include <unistd.h>

#include "sandbox.h"

namespace {

// Runs `fn` with standard output going to a pipe; returns what it wrote.
std::string CaptureStdout(void (*fn)()) {
  fflush(stdout);
  int fds[2];
  EXPECT_EQ(0, pipe(fds));
  int saved = dup(1);
  dup2(fds[1], 1);
  close(fds[1]);
  fn();
  fflush(stdout);
  dup2(saved, 1);
  close(saved);
  std::string out;
  char buf[4096];
  for (ssize_t n; (n = read(fds[0], buf, sizeof buf)) > 0;) out.append(buf, n);
  close(fds[0]);
  return out;
}

class LoggingTest : public SandboxTest {
 protected:
  void TearDown() override {
    g_useSysLogger = true;
    g_verboseLogging = false;
  }
};

TEST_F(LoggingTest, StdoutIsTextAndOneNewline) {
  g_useSysLogger = false;
  struct {
    bool verbose;
    std::string expected;
  } cases[] = {
      {false,
       "error getting disk stat\nFIFO_delete: 12 bytes to free\n"
       "Query error: -7 100%\nFIFO_delete: finished\n"},
      {true,
       "error getting disk stat\nFIFO_delete: 12 bytes to free\n"
       "Query error: -7 100%\nfree: 5 MB trigger: 250 MB\n"
       "FIFO_delete: finished\n"},
  };
  for (const auto& c : cases) {
    g_verboseLogging = c.verbose;
    EXPECT_EQ(c.expected, CaptureStdout([] {
                lg(LOG_WARNING, "error getting disk stat");
                lg(LOG_NOTICE, "FIFO_delete: %lld bytes to free", 12LL);
                lg(LOG_ERR, "Query error: %d %s", -7, "100%");
                lg(LOG_DEBUG, "free: %lld MB trigger: %lld MB", 5LL, 250LL);
                lg(LOG_NOTICE, "FIFO_delete: finished");
              }))
        << "verbose " << c.verbose;
  }
  EXPECT_EQ(0u, TakeSyslog().size());
}

TEST_F(LoggingTest, SyslogGetsTextUnchangedAtCallersPriority) {
  lg(LOG_ERR, "Query error: %d %s", 42, "broken");
  lg(LOG_WARNING, "FIFO_check: Free: %llu Mb (TOO LOW)", 17ULL);
  lg(LOG_NOTICE, "FIFO oldest entry in directory %s ", "2019/01/02/03");
  lg(LOG_DEBUG, "free: %lld MB trigger: %lld MB", 1LL, 2LL);  // filtered
  g_verboseLogging = true;
  lg(LOG_DEBUG, "free: %lld MB trigger: %lld MB", 3LL, 4LL);

  struct {
    int pri;
    const char* text;
  } expected[] = {
      {11, "Query error: 42 broken"},
      {12, "FIFO_check: Free: 17 Mb (TOO LOW)"},
      {13, "FIFO oldest entry in directory 2019/01/02/03 "},
      {15, "free: 3 MB trigger: 4 MB"},
  };
  std::vector<SyslogLine> got;
  while (got.size() < 4) {
    std::vector<SyslogLine> more = TakeSyslog(2000);
    if (more.empty()) break;
    got.insert(got.end(), more.begin(), more.end());
  }
  ASSERT_EQ(4u, got.size());
  for (size_t i = 0; i < got.size(); ++i) {
    EXPECT_EQ(expected[i].pri, got[i].pri) << got[i].raw;
    EXPECT_EQ(expected[i].text, got[i].text) << got[i].raw;
    EXPECT_EQ(
        "fifodel_tests",
        got[i].raw.substr(got[i].raw.size() - got[i].text.size() - 2 - 13, 13));
  }
  EXPECT_EQ(0u, TakeSyslog(100).size());
}

}  // namespace
