// The free-space monitor: a failed measurement, and the real service (run by
// the harness of runmodes_test.cpp) keeping /recordings from filling.
#include "monitor.h"

#include <signal.h>
#include <sys/mount.h>
#include <sys/wait.h>
#include <syslog.h>
#include <unistd.h>

#include "dbfixture.h"

std::pair<pid_t, int> StartFifodel(std::string, std::string);
std::string ReadFifodel(int fd, const std::string& want, int ms);
int StopFifodel(pid_t pid, int sig, int fd);

namespace {

const long long kMB = 1 << 20;
using MonitorTest = DbTest;

// A measurement that fails leaves nothing to free and paces slowly.
using DiskSpaceFailTest = SandboxTest;
TEST_F(DiskSpaceFailTest, NothingToFree) {
  pid_t pid = fork();
  if (pid == 0) {  // where no /recordings exists; the log socket stays open
    openlog(nullptr, LOG_NDELAY, LOG_USER);
    DiskSpace ds = {7, 7, true, true};
    _exit(chroot("/var/tolvex/conf") == 0 && (ds.Calc(), true) &&
                  !ds.TooLow() && ds.liToFree == 0 && !ds.ratherLow &&
                  !ds.somewhatLow && ds.uliMegsFree == 7
              ? 0
              : 1);
  }
  int status = -1;
  waitpid(pid, &status, 0);
  EXPECT_EQ(0, status);
  std::vector<SyslogLine> lines = TakeSyslog(2000);
  ASSERT_EQ(1u, lines.size());
  EXPECT_EQ("12 error getting disk stat",
            std::to_string(lines[0].pri) + " " + lines[0].text);
}

// Logs solve one shortage; passes stop while the database is out of reach and
// the service goes on; a stale year, then the two oldest calls, solve the rest.
TEST_F(MonitorTest, KeepsRecordingsFromFilling) {
  FreshTmpfs("/recordings", 292);  // trigger level 250 MB
  MakeFile("/var/tolvex/conf/fifo_verbose", 0);
  MakeFile("/recordings/log/trace.pcap", 60 * kMB);  // logs on /recordings
  ASSERT_EQ(0, mount("/recordings/log", "/recording/log", 0, MS_BIND, 0));
  for (const char* name : {"c1.wav", "c2.wav", "c3.wav"})
    MakeFile(std::string("/recordings/2021/03/04/05/") + name, 8 * kMB);
  Sql("INSERT INTO calls (id, directory, filename, tenantid, isarchived, "
      "startdate) SELECT i, '2021/03/04/05', 'c' || i || '.wav', 7, 1, "
      "'2021-03-04'::date + i FROM generate_series(1, 3) i");
  Sql("INSERT INTO configs VALUES ('TN7_DiskUsage', '20000000')");
  auto low = [](std::string mb, std::string b) {  // lines before a pass
    return "free: " + mb + " MB trigger: 250 MB\nFIFO_check: Free: " + mb +
           " Mb (TOO LOW)\nFIFO_check: " + b +
           " bytes difference from threshold\nfree: " + mb +
           " MB trigger: 250 MB\nFIFO_delete: " + b + " bytes to free\n";
  };
  auto [pid, fd] = StartFifodel("debug", "PGHOST=/var/tolvex/conf/pg");
  const std::string logs =
      "Starting Tolvex FIFO\nOpened in debug mode.....\nFIFO program started\n"
      "free: 208 MB trigger: 250 MB\nFIFO_check: Free: 208 Mb (TOO LOW)\n"
      "FIFO_check: 44040192 bytes difference from threshold\n"
      "free: 268 MB trigger: 250 MB\n"
      "FIFO_check: solved by deleting logs/traces\n";
  EXPECT_EQ(logs, ReadFifodel(fd, logs, 7000));
  MakeFile("/recordings/2020/12/31/23/old.wav", 10 * kMB);
  MakeFile("/recordings/2021/03/04/06/live.wav", 30 * kMB);  // still going
  const std::string down = low("228", "23068672") +
                           "FIFO_delete: Stop, we cannot connect to database\n"
                           "FIFO_delete: finished\n";
  EXPECT_EQ(down + down, ReadFifodel(fd, down + down, 7000));
  ASSERT_EQ(0, symlink(getenv("PGHOST"), "/var/tolvex/conf/pg"));
  const std::string pass =
      "FIFO_delete: Connected to DB\nFIFO_delete: still bytes to free\n"
      "FIFO oldest entry in directory 2021/03/04/05 \n";
  const std::string rest =
      low("228", "23068672") + pass +
      "FIFO delete directory: /recordings/2020 \nNo tenancy updates\n"
      "FIFO_delete: finished\n" +
      low("238", "12582912") + pass +
      "FIFO_delete: freed 16384 KB\nTN 7 DiskUsage new: 3222784\n"
      "FIFO_delete: finished\nfree: 254 MB trigger: 250 MB\n";
  EXPECT_EQ(rest, ReadFifodel(fd, rest, 7000));
  EXPECT_EQ(0, StopFifodel(pid, SIGTERM, fd));
  EXPECT_EQ("40 40 01", Scalar("SELECT string_agg(flags || '' || isarchived, "
                               "' ' ORDER BY id) FROM calls"));
  EXPECT_TRUE(Exists("/recordings/2021/03/04/05/c3.wav"));
}

}  // namespace
