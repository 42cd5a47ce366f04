// Whole reclamation passes against the private database and a real recording
// tree: which files go, which calls get marked, what the tenants are charged
// and what is logged, line for line.
#include "reclaim.h"

#include <utility>

#include "dbfixture.h"

namespace {

using Lines = std::vector<std::string>;
using Files = std::vector<std::pair<std::string, int>>;

const char kChunk[] =
    "SELECT id,directory,filename,flags,tenantid,screenfn FROM calls WHERE "
    "isarchived=1 ORDER BY startdate ASC LIMIT 200";
const std::string kDir = "/recordings/2020/01/01/05/";

Lines Cat(std::initializer_list<Lines> parts) {
  Lines out;
  for (const Lines& p : parts) out.insert(out.end(), p.begin(), p.end());
  return out;
}

// A pass's lines up to its first row, an archived call in 2020/01/01/05.
Lines Start(const std::string& bytes) {
  return {"FIFO_delete: " + bytes + " bytes to free",
          "FIFO_delete: Connected to DB", "FIFO_delete: still bytes to free",
          "FIFO oldest entry in directory 2020/01/01/05 "};
}

std::string Marking(const std::string& ids) {
  return "UPDATE Calls SET flags=flags|4 , isarchived=0 WHERE id IN (" + ids +
         ")";
}

// The tenant transaction adding each (negative) delta.
Lines Charged(std::vector<std::pair<int, long long>> deltas) {
  Lines out = {"BEGIN"};
  for (auto [tn, delta] : deltas) {
    std::string param = "param='TN" + std::to_string(tn) + "_DiskUsage'";
    out.push_back("UPDATE Configs SET value = value::bigint + " +
                  std::to_string(delta) + " WHERE " + param);
    out.push_back("SELECT param,value FROM Configs WHERE " + param);
  }
  out.push_back("COMMIT");
  return out;
}

// Runs a pass and returns its log; lines not at user.notice carry their
// priority in front.
Lines Pass(long long bytes, bool fSim, bool pruned = false) {
  EXPECT_EQ(pruned, FIFO_delete(bytes, fSim));
  Lines out;
  for (const SyslogLine& l : TakeSyslog())
    out.push_back((l.pri == 13 ? "" : "<" + std::to_string(l.pri) + ">") +
                  l.text);
  return out;
}

class ReclaimTest : public DbTest {
 protected:
  // Calls, oldest first, as (id, directory, filename, flags, tenantid,
  // screenfn, isarchived); and counters of 10000 bytes for tenants 1 to 9.
  void Calls(const std::string& values) {
    Sql("INSERT INTO calls SELECT v.*, now() + row_number() OVER () * "
        "interval '1 s' FROM (VALUES " +
        values + ") AS v");
    Sql("INSERT INTO configs SELECT 'TN' || i || '_DiskUsage', '10000', 'x' "
        "FROM generate_series(1, 9) i");
  }
  // Creates the files below kDir; the statements logged from here on are the
  // pass's.
  void Make(const Files& files) {
    for (const auto& [name, size] : files) MakeFile(kDir + name, size);
    Mark();
  }
  // The names of `files` still present.
  Lines Remaining(const Files& files) {
    Lines out;
    for (const auto& f : files)
      if (Exists(kDir + f.first)) out.push_back(f.first);
    return out;
  }
};

TEST_F(ReclaimTest, PassRemovesOldestArchivedCallsFirst) {
  Calls(
      "(10,'2020/01/01/05','old.wav',0,2,NULL,0), "
      "(31,'2020/01/01/05','a.wav',0,1,NULL,1), "
      "(12,'2020/01/01/05','b.wav',2,2,NULL,1), "
      "(23,'2020/01/01/05','c.wav',2,1,'shot.mp4',1), "
      "(4,'2020/01/01/05','d.wav',0,3,'x.mp4',1), "
      "(5,'2020/01/01/06','e.wav',0,3,NULL,1)");
  Files files = {{"old.wav", 9},    {"a.wav", 1000},      {"a.wav.g711", 200},
                 {"b.wav", 3000},   {"screenb.wmv", 500}, {"c.wav.g711", 700},
                 {"shot.mp4", 400}, {"screenc.wmv", 9},   {"d.wav", 50},
                 {"x.mp4", 9},      {"../06/e.wav", 9}};
  Make(files);
  // One byte is still missing after the third call; the fourth overshoots.
  EXPECT_EQ(Cat({Start("5801"),
                 {"FIFO_delete: freed 5 KB", "TN 1 DiskUsage new: 7700",
                  "TN 2 DiskUsage new: 6500", "TN 3 DiskUsage new: 9950",
                  "FIFO_delete: finished"}}),
            Pass(5801, false));
  EXPECT_EQ((Lines{"old.wav", "screenc.wmv", "x.mp4", "../06/e.wav"}),
            Remaining(files));
  EXPECT_EQ(Cat({{kChunk, Marking("31,12,23,4")},
                 Charged({{1, -2300}, {2, -3500}, {3, -50}})}),
            LoggedTexts());
}

TEST_F(ReclaimTest, ChunksOfTwoHundredUntilTheShortfallIsCovered) {
  Sql("INSERT INTO calls SELECT i, '2020/01/01/05', 'c' || i, 0, 5, NULL, 1, "
      "now() + i * interval '1 s' FROM generate_series(1, 250) i");
  Sql("INSERT INTO configs VALUES ('TN5_DiskUsage', '1000000', 'x')");
  Files files;
  for (int i = 1; i <= 250; ++i)
    files.push_back({"c" + std::to_string(i), 1000});
  Make(files);
  EXPECT_EQ(
      Cat({Start("229500"),
           {"FIFO_delete: freed 195 KB", "FIFO_delete: still bytes to free",
            "FIFO_delete: freed 29 KB", "TN 5 DiskUsage new: 770000",
            "FIFO_delete: finished"}}),
      Pass(229500, false));
  std::string first = "1", second = "201";
  for (int i = 2; i <= 200; ++i) first += "," + std::to_string(i);
  for (int i = 202; i <= 230; ++i) second += "," + std::to_string(i);
  EXPECT_EQ(Cat({{kChunk, Marking(first), kChunk, Marking(second)},
                 Charged({{5, -230000}})}),
            LoggedTexts());
  EXPECT_EQ(20u, Remaining(files).size());
}

TEST_F(ReclaimTest, PassesThatReclaimNoCall) {
  struct {
    long long bytes;
    bool archived;
    Lines log;
  } cases[] = {
      {0,
       true,
       {"FIFO_delete: 0 bytes to free", "FIFO_delete: Connected to DB"}},
      {100,
       false,
       {"FIFO_delete: 100 bytes to free", "FIFO_delete: Connected to DB",
        "FIFO_delete: still bytes to free", "FIFO_delete: freed 0 KB",
        "FIFO_delete row count is zero"}},
      // An older directory ends the pass at its first row.
      {100, true,
       Cat({Start("100"), {"FIFO delete directory: /recordings/2019 "}})},
  };
  MakeFile("/recordings/2019/12/31/23/x", 10);
  for (const auto& c : cases) {
    Sql("TRUNCATE calls, configs");
    Calls(std::string("(1,'2020/01/01/05','a.wav',0,1,NULL,") +
          (c.archived ? "1)" : "0)"));
    Make({{"a.wav", 10}});
    bool pruned = c.archived && c.bytes > 0;
    EXPECT_EQ(Cat({c.log, {"No tenancy updates", "FIFO_delete: finished"}}),
              Pass(c.bytes, false, pruned));
    EXPECT_EQ(c.bytes > 0 ? Lines{kChunk} : Lines{}, LoggedTexts());
    EXPECT_TRUE(Exists(kDir + "a.wav"));
    EXPECT_EQ(!pruned, Exists("/recordings/2019/12/31/23/x"));
  }
}

TEST_F(ReclaimTest, SimulationOnlyLogs) {
  Calls("(1,'2020/01/01/05','a.wav',2,1,'s.mp4',1)");
  Files files = {{"a.wav", 1000}, {"a.wav.g711", 100}, {"s.mp4", 10}};
  Make(files);
  Lines start = Start("2000"),
        end = {"No tenancy updates", "FIFO_delete: finished"};
  start.insert(start.begin() + 1, "Simulated");
  Lines a = {"FIFO_delete: removing " + kDir + "a.wav size 1000",
             "FIFO_delete: removing " + kDir + "a.wav.g711 size 100",
             "FIFO_delete: removing " + kDir + "s.mp4 size 10",
             "FIFO_delete: freed 1 KB"};
  // Nothing is marked, so the second chunk brings the same call again.
  EXPECT_EQ(Cat({start, a, {"FIFO_delete: still bytes to free"}, a, end}),
            Pass(2000, true));
  EXPECT_EQ(3u, Remaining(files).size());
  EXPECT_EQ((Lines{kChunk, kChunk}), LoggedTexts());
  // With every file missing the same chunk would come back for ever.
  FreshTmpfs("/recordings", 64);
  EXPECT_EQ(Cat({start,
                 {"FIFO_delete: freed 0 KB",
                  "FIFO_delete: no progress in this chunk, giving up"},
                 end}),
            Pass(2000, true));
}

// Rows that name no file, or a file outside the tree, are marked without
// touching anything; a media file that cannot be removed keeps its call.
TEST_F(ReclaimTest, TroublesomeRowsDoNotStopThePass) {
  std::string deep = std::string(200, 'd') + "/" + std::string(150, 'f');
  Calls(
      "(1,NULL,'a.wav',0,6,NULL,1), (2,'2020/01/01/05',NULL,0,6,NULL,1), "
      "(3,'../var/tolvex/conf','secret',0,6,NULL,1), "
      "(4,'2020/01/01/05','../../../../../var/tolvex/conf/secret',0,6,NULL,1),"
      "(5,'2020/01/01/05','c.wav',2,6,'../../../../../var/tolvex/conf/secret',"
      "1), (6,'2020/01/01/05','" +
      deep +
      "',0,6,NULL,1), "
      "(7,'2020/01/01/05','m.wav',2,4,NULL,1)");
  MakeFile("/var/tolvex/conf/secret", 10);
  Files files = {{"c.wav", 10},          {deep, 4000},
                 {deep + ".g711", 1000}, {"m.wav/keep", 10},
                 {"m.wav.g711", 300},    {"screenm.wmv", 200}};
  Make(files);
  const std::string dotdot =
      " left untouched: a '..' path component would leave /recordings";
  Lines start = Start("100000");
  start.insert(
      start.end() - 1,
      {"<12>FIFO_delete: call 1 left untouched: directory is NULL",
       "<12>FIFO_delete: call 2 left untouched: filename is NULL",
       "<12>FIFO_delete: call 3" + dotdot, "<12>FIFO_delete: call 4" + dotdot,
       "<12>FIFO_delete: call 5" + dotdot});
  // The second chunk holds call 7 alone, with nothing left to take.
  EXPECT_EQ(Cat({start,
                 {"FIFO_delete: freed 5 KB", "FIFO_delete: still bytes to free",
                  "FIFO_delete: freed 0 KB",
                  "FIFO_delete: no progress in this chunk, giving up",
                  "TN 4 DiskUsage new: 9500", "TN 6 DiskUsage new: 5000",
                  "FIFO_delete: finished"}}),
            Pass(100000, false));
  EXPECT_TRUE(Exists("/var/tolvex/conf/secret"));
  EXPECT_EQ((Lines{"c.wav", "m.wav/keep"}), Remaining(files));
  EXPECT_EQ(Cat({{kChunk, Marking("1,2,3,4,5,6"), kChunk},
                 Charged({{4, -500}, {6, -5000}})}),
            LoggedTexts());
}

}  // namespace
