// The two sinks of lg, read for real: standard output byte for byte, and the
// datagrams that reach /dev/log.
#include "logging.h"

#include <errno.h>
#include <syslog.h>

#include "sandbox.h"

namespace {

using Line = std::pair<int, std::string>;
using LoggingTest = SandboxTest;

// One line per priority; "100%" would break a text formatted twice.
void LogAll() {
  lg(LOG_ERR, "Query error: %d %s", -7, "100%");
  lg(LOG_WARNING, "error getting disk stat");
  lg(LOG_NOTICE, "FIFO oldest entry in directory %s ", "2019/01/02/03");
  lg(LOG_DEBUG, "free: %lld MB trigger: %lld MB", 5LL, 250LL);
}

// Stdout: the text and one newline, nothing to syslog. Syslog: the text as is,
// caller's priority, user facility, default identity. Debug only if verbose.
TEST_F(LoggingTest, StdoutAndSyslog) {
  const Line all[] = {{11, "Query error: -7 100%"},
                      {12, "error getting disk stat"},
                      {13, "FIFO oldest entry in directory 2019/01/02/03 "},
                      {15, "free: 5 MB trigger: 250 MB"}};
  const std::string ident =
      std::string(" ") + program_invocation_short_name + ": ";
  for (bool verbose : {false, true}) {
    g_verboseLogging = verbose;
    g_useSysLogger = false;
    testing::internal::CaptureStdout();
    LogAll();
    std::string out = testing::internal::GetCapturedStdout(), want_out;
    g_useSysLogger = true;
    LogAll();
    std::vector<Line> want(all, all + (verbose ? 4 : 3)), got;
    for (const SyslogLine& l : TakeSyslog()) {
      got.emplace_back(l.pri, l.text);
      EXPECT_NE(std::string::npos, l.raw.find(ident)) << l.raw;
    }
    for (const Line& w : want) want_out += w.second + "\n";
    EXPECT_EQ(want, got);
    EXPECT_EQ(want_out, out);
  }
  g_verboseLogging = false;
}

}  // namespace
