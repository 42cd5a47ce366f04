// Whole reclamation passes over a real tree and database, checked line by line.
#include "reclaim.h"

#include <utility>

#include "dbfixture.h"

namespace {

using Lines = std::vector<std::string>;
using Files = std::vector<std::pair<std::string, int>>;

const char kChunk[] =
    "SELECT id,directory,filename,flags,tenantid,screenfn FROM calls WHERE "
    "isarchived=1 ORDER BY startdate ASC LIMIT 200";
const std::string kMark =
    "UPDATE Calls SET flags=flags|4 , isarchived=0 WHERE id IN (";
const std::string kDir = "/recordings/2020/01/01/05/";
const char kStill[] = "FIFO_delete: still bytes to free";
const char kOldest[] = "FIFO oldest entry in directory 2020/01/01/05 ";
const char kNone[] = "No tenancy updates";
const char kGiveUp[] = "FIFO_delete: no progress in this chunk, giving up";

// `sql` followed by the tenant transaction adding each (negative) delta.
Lines Charged(Lines sql, std::vector<std::pair<int, int>> deltas) {
  sql.push_back("BEGIN");
  for (auto [tn, delta] : deltas) {
    std::string param = "param='TN" + std::to_string(tn) + "_DiskUsage'";
    sql.push_back("UPDATE Configs SET value = value::bigint + " +
                  std::to_string(delta) + " WHERE " + param);
    sql.push_back("SELECT param,value FROM Configs WHERE " + param);
  }
  sql.push_back("COMMIT");
  return sql;
}

enum Kind { kReal, kSim, kPrunes };

// Runs a pass and checks its log: the opening lines, `rest`, the closing one.
void Pass(const std::string& bytes, Kind kind, Lines rest) {
  EXPECT_EQ(kind == kPrunes, FIFO_delete(std::stoll(bytes), kind == kSim));
  rest.insert(rest.begin(), {"FIFO_delete: " + bytes + " bytes to free",
                             "FIFO_delete: Connected to DB"});
  if (kind == kSim) rest.insert(rest.begin() + 1, "Simulated");
  rest.push_back("FIFO_delete: finished");
  Lines log;
  for (const SyslogLine& l : TakeSyslog())
    log.push_back((l.pri == 13 ? "" : "<" + std::to_string(l.pri) + ">") +
                  l.text);
  EXPECT_EQ(rest, log);
}

Lines Remaining(const Files& files) {  // below kDir
  Lines out;
  for (const auto& f : files)
    if (Exists(kDir + f.first)) out.push_back(f.first);
  return out;
}

class ReclaimTest : public DbTest {
 protected:
  // Calls, oldest first, as (id, directory, filename, flags, tenantid,
  // screenfn, isarchived); counters of 10000 for tenants 1 to 9.
  void Add(const std::string& calls, const Files& files = {}) {
    Sql("INSERT INTO configs SELECT 'TN' || i || '_DiskUsage', '10000', 'x' "
        "FROM generate_series(1, 9) i; INSERT INTO calls SELECT *, now() + "
        "row_number() OVER () * interval '1 s' FROM (" +
        calls + ") v");
    for (const auto& [name, size] : files) MakeFile(kDir + name, size);
    Mark();
  }
};

// Stale directories first, a simulation, then the oldest archived calls' files.
TEST_F(ReclaimTest, PassRemovesOldestArchivedCallsFirst) {
  Files files = {{"old.wav", 9},       {"a.wav", 1100},     {"b.wav", 3000},
                 {"screenb.wmv", 500}, {"c.wav.g711", 700}, {"shot.mp4", 400},
                 {"screenc.wmv", 9},   {"d.wav", 50},       {"x.mp4", 9}};
  MakeFile("/recordings/2019/x", 9);
  Add("VALUES (10,'2020/01/01/05','old.wav',0,2,NULL,0), "
      "(31,'2020/01/01/05','a.wav',0,1,NULL,1), "
      "(12,'2020/01/01/05','b.wav',2,2,NULL,1), "
      "(23,'2020/01/01/05','c.wav',2,1,'shot.mp4',1), "
      "(4,'2020/01/01/05','d.wav',0,3,'x.mp4',1)",
      files);
  Pass("1", kPrunes,
       {kStill, kOldest, "FIFO delete directory: /recordings/2019 ", kNone});
  Pass("0", kReal, {kNone});
  Pass("1000", kSim,
       {kStill, kOldest, "FIFO_delete: removing " + kDir + "a.wav size 1100",
        "FIFO_delete: freed 1 KB", kNone});
  Pass("100000", kReal,
       {kStill, kOldest, "FIFO_delete: freed 5 KB", kStill,
        "FIFO_delete: freed 0 KB", "FIFO_delete row count is zero",
        "TN 1 DiskUsage new: 7800", "TN 2 DiskUsage new: 6500",
        "TN 3 DiskUsage new: 9950"});
  EXPECT_EQ((Lines{"old.wav", "screenc.wmv", "x.mp4"}), Remaining(files));
  const std::string pending =
      "SELECT id FROM calls WHERE isarchived = 0 AND flags & 4 = 0 AND "
      "directory LIKE '2019%' AND (directory = '2019' OR directory LIKE "
      "'2019/%') LIMIT 1";
  EXPECT_EQ(
      Charged({kChunk, pending, kChunk, kChunk, kMark + "31,12,23,4)", kChunk},
              {{1, -2200}, {2, -3500}, {3, -50}}),
      LoggedTexts());
}

TEST_F(ReclaimTest, ChunksOfTwoHundredUntilTheShortfallIsCovered) {
  Add("SELECT i, '2020/01/01/05', i::text, 0, 5, NULL, 1 "
      "FROM generate_series(1, 203) i");
  Pass("1", kSim, {kStill, kOldest, "FIFO_delete: freed 0 KB", kGiveUp, kNone});
  std::string first = kMark + "1";
  for (int i = 1; i <= 203; ++i) MakeFile(kDir + std::to_string(i), 1000);
  for (int i = 2; i <= 200; ++i) first += "," + std::to_string(i);
  Pass("202000", kReal,
       {kStill, kOldest, "FIFO_delete: freed 195 KB", kStill,
        "FIFO_delete: freed 1 KB", "TN 5 DiskUsage new: -192000"});
  EXPECT_EQ(Charged({kChunk, kChunk, first + ")", kChunk, kMark + "201,202)"},
                    {{5, -202000}}),
            LoggedTexts());
}

// Rows reaching outside the tree, or whose media is no file, are left alone
// and marked.
TEST_F(ReclaimTest, TroublesomeRowsDoNotStopThePass) {
  const std::string deep = std::string(200, 'd') + "/" + std::string(150, 'f');
  const std::string secret = "../../../../../var/tolvex/conf/secret";
  Files files = {{"c.wav", 10},        {"m.wav/keep", 10}, {"m.wav.g711", 300},
                 {"screenm.wmv", 200}, {deep, 5000},       {secret, 10}};
  Add("VALUES (1,NULL,'a.wav',0,6,NULL,1), (3,'..','var/tolvex/conf/secret',"
      "0,6,NULL,1), (4,'2020','../../var/tolvex/conf/secret',0,6,NULL,1), "
      "(5,'2020/01/01/05','c.wav',2,6,'../../../../../var/tolvex/conf/secret',"
      "1), (6,'2020/01/01/05',repeat('d',200)||'/'||repeat('f',150),0,6,NULL,"
      "1), (7,'2020/01/01/05','m.wav',2,4,NULL,1)",
      files);
  const std::string dotdot =
      " left untouched: a '..' path component would leave /recordings";
  Pass("100000", kReal,
       {kStill, "<12>FIFO_delete: call 1 left untouched: directory is NULL",
        "<12>FIFO_delete: call 3" + dotdot, "<12>FIFO_delete: call 4" + dotdot,
        "<12>FIFO_delete: call 5" + dotdot, kOldest,
        "<12>FIFO_delete: call 7 left untouched: the media file is not a "
        "regular file",
        "FIFO_delete: freed 4 KB", kStill, "FIFO_delete: freed 0 KB",
        "FIFO_delete row count is zero", "TN 6 DiskUsage new: 5000"});
  EXPECT_EQ((Lines{"c.wav", "m.wav/keep", "m.wav.g711", "screenm.wmv", secret}),
            Remaining(files));
  EXPECT_EQ(Charged({kChunk, kMark + "1,3,4,5,6,7)", kChunk}, {{6, -5000}}),
            LoggedTexts());
}

}  // namespace
