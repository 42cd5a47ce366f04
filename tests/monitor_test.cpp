// The free-space monitor: the arithmetic of a measurement, and the real
// service keeping a real /recordings from filling.
#include "monitor.h"

#include <signal.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "dbfixture.h"

// The service harness, from runmodes_test.cpp.
pid_t StartFifodel(std::vector<const char*> args, int* fd,
                   const char* pghost = nullptr);
std::string ReadFifodel(int fd, const std::string& want, int ms);
int StopFifodel(pid_t pid, int sig, int fd);

namespace {

const long long kMB = 1 << 20;
const std::string kStarted =
    "Starting Tolvex FIFO\nOpened in debug mode.....\nFIFO program started\n";

class MonitorTest : public DbTest {};

TEST(DiskSpaceTest, TriggerLevelAndFlags) {
  struct {
    unsigned long long blocks, frsize, bavail, bsize, trigger, free;
    long long toFree;
    bool rather, somewhat;
  } cases[] = {
      // 4 KB blocks and fragments: 256 to the MB.
      {10000 * 256, 4096, 9000 * 256, 4096, 250, 9000, 0, false, false},
      {25099 * 256, 4096, 250 * 256, 4096, 250, 250, 0, true, true},
      {25100 * 256, 4096, 250 * 256, 4096, 251, 250, kMB, true, true},
      {100000 * 256, 4096, 1000 * 256, 4096, 1000, 1000, 0, true, true},
      {100000 * 256, 4096, 999 * 256, 4096, 1000, 999, kMB, true, true},
      {100000 * 256, 4096, 1000 * 256 - 1, 4096, 1000, 999, kMB, true, true},
      {100000 * 256, 4096, 2000 * 256, 4096, 1000, 2000, 0, false, true},
      {100000 * 256, 4096, 4000 * 256, 4096, 1000, 4000, 0, false, false},
      {204800 * 256, 4096, 0, 4096, 2048, 0, 2048 * kMB, true, true},
      {1ULL << 40, 4096, 8192 * 256, 4096, 2048, 8192, 0, false, false},
      // The size counts in fragments, free space in blocks.
      {10000 * 1024, 1024, 249 * 256, 4096, 250, 249, kMB, true, true},
      {100000 * 256, 4096, 999 * 4, kMB / 4, 1000, 999, kMB, true, true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::to_string(c.blocks) + " " + std::to_string(c.bavail));
    DiskSpace ds = {7, 7, true, true};
    EXPECT_EQ(c.trigger,
              ApplyDiskStats(&ds, c.blocks, c.frsize, c.bavail, c.bsize));
    EXPECT_EQ(c.free, ds.uliMegsFree);
    EXPECT_EQ(c.toFree, ds.liToFree);
    EXPECT_EQ(c.toFree > 0, ds.TooLow());
    EXPECT_EQ(c.rather, ds.ratherLow);
    EXPECT_EQ(c.somewhat, ds.somewhatLow);
  }
}

// One run through three shortages: one that deleting logs solves, one that
// pruning a stale year solves, and one that costs the two oldest calls.
TEST_F(MonitorTest, KeepsRecordingsFromFilling) {
  FreshTmpfs("/recordings", 300);  // trigger level 250 MB
  MakeFile("/var/tolvex/conf/fifo_verbose", 0);
  // Logs on the file system of /recordings.
  ASSERT_EQ(0, umount2("/recording/log", MNT_DETACH));
  MakeFile("/recordings/log/trace.pcap", 60 * kMB);
  ASSERT_EQ(
      0, mount("/recordings/log", "/recording/log", nullptr, MS_BIND, nullptr));
  // Four archived calls of 7 + 1 MB, oldest first; the second is tenant 9's.
  for (int id = 1; id <= 4; ++id) {
    std::string n = std::to_string(id), name = "c" + n + ".wav";
    MakeFile("/recordings/2021/03/04/05/" + name, 7 * kMB);
    MakeFile("/recordings/2021/03/04/05/" + name + ".g711", kMB);
    Sql("INSERT INTO calls (id, directory, filename, tenantid, isarchived, "
        "startdate) VALUES (" +
        n + ", '2021/03/04/05', '" + name + "', " + (id == 2 ? "9" : "7") +
        ", 1, '2021-03-04 05:0" + n + "')");
  }
  Sql("INSERT INTO configs (param, value) VALUES "
      "('TN7_DiskUsage', '100000000'), ('TN9_DiskUsage', '50000000')");
  const std::string logs =
      kStarted +
      "free: 208 MB trigger: 250 MB\n"
      "FIFO_check: Free: 208 Mb (TOO LOW)\n"
      "FIFO_check: 44040192 bytes difference from threshold\n"
      "free: 268 MB trigger: 250 MB\n"
      "FIFO_check: solved by deleting logs/traces\n";
  const std::string pass =
      "FIFO_delete: Connected to DB\nFIFO_delete: still bytes to free\n"
      "FIFO oldest entry in directory 2021/03/04/05 \n";
  const std::string prune =
      "free: 228 MB trigger: 250 MB\n"
      "FIFO_check: Free: 228 Mb (TOO LOW)\n"
      "FIFO_check: 23068672 bytes difference from threshold\n"
      "free: 228 MB trigger: 250 MB\n"
      "FIFO_delete: 23068672 bytes to free\n" +
      pass +
      "FIFO delete directory: /recordings/2020 \n"
      "No tenancy updates\nFIFO_delete: finished\n";
  const std::string reclaim =
      "free: 238 MB trigger: 250 MB\n"
      "FIFO_check: Free: 238 Mb (TOO LOW)\n"
      "FIFO_check: 12582912 bytes difference from threshold\n"
      "free: 238 MB trigger: 250 MB\n"
      "FIFO_delete: 12582912 bytes to free\n" +
      pass +
      "FIFO_delete: freed 16384 KB\n"
      "TN 7 DiskUsage new: 91611392\nTN 9 DiskUsage new: 41611392\n"
      "FIFO_delete: finished\n";
  int fd;
  pid_t pid = StartFifodel({"debug"}, &fd);
  EXPECT_EQ(logs, ReadFifodel(fd, logs, 7000));
  // Before the next measurement: a stale year, and a recording still going.
  MakeFile("/recordings/2020/12/31/23/old.wav", 10 * kMB);
  MakeFile("/recordings/2021/03/04/06/live.wav", 30 * kMB);
  EXPECT_EQ(prune, ReadFifodel(fd, prune, 7000));
  EXPECT_EQ(reclaim, ReadFifodel(fd, reclaim, 7000));
  EXPECT_EQ(0, StopFifodel(pid, SIGTERM, fd));

  struct statvfs sv;
  ASSERT_EQ(0, statvfs("/recordings", &sv));
  EXPECT_EQ(254u, sv.f_bavail * sv.f_bsize / kMB);
  EXPECT_EQ((std::vector<std::string>{"1 4 0", "2 4 0", "3 0 1", "4 0 1"}),
            Rows("SELECT id || ' ' || flags || ' ' || isarchived FROM calls "
                 "ORDER BY id"));
  for (int id = 1; id <= 4; ++id)
    EXPECT_EQ(id > 2, Exists("/recordings/2021/03/04/05/c" +
                             std::to_string(id) + ".wav.g711"));
}

TEST_F(MonitorTest, DatabaseDownEveryPassStopsAndTheServiceGoesOn) {
  // 64 MB of /recordings are always short of the 250 MB trigger level.
  ASSERT_EQ(0, mkdir("/recordings/nodb", 0755));
  const std::string cycle =
      "FIFO_check: Free: 64 Mb (TOO LOW)\n"
      "FIFO_check: 195035136 bytes difference from threshold\n"
      "FIFO_delete: 195035136 bytes to free\n"
      "FIFO_delete: Stop, we cannot connect to database\n"
      "FIFO_delete: finished\n";
  int fd;
  pid_t pid = StartFifodel({"debug"}, &fd, "/recordings/nodb");
  EXPECT_EQ(kStarted, ReadFifodel(fd, kStarted, 2000));
  // Looked for once, right after the start line: a second later is too late
  // for the per-measurement lines.
  sleep(1);
  MakeFile("/var/tolvex/conf/fifo_verbose", 0);
  EXPECT_EQ(cycle + cycle, ReadFifodel(fd, cycle + cycle, 12000));
  EXPECT_EQ(0, StopFifodel(pid, SIGTERM, fd));
}

}  // namespace
