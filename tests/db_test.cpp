// The database side, judged by the statements the server logged and the
// lines logged: the normal path's transcript, which is the contract, and
// the counters, the continuation and the counter journal.
#include "db.h"

#include <stdlib.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <map>
#include <set>
#include <tuple>

#include "audit.h"
#include "configs.h"
#include "paths.h"
#include "reclaim.h"
#include "replay.h"
#include "tenancy.h"
#include "world.h"

namespace {

using Lines = std::vector<std::string>;

Lines SyslogLines() {  // as "<pri> <text>", notices without their priority
  Lines out;
  for (const SyslogLine& l : TakeSyslog())
    out.push_back((l.pri == 13 ? "" : std::to_string(l.pri) + " ") + l.text);
  return out;
}

// The normal path, byte for byte: a stale directory is pruned, then the
// oldest archived calls go, chunk by chunk, and their tenants are charged.
TEST_F(DbTest, NormalPathTranscript) {
  World w(64);
  for (int id = 1; id <= 203; ++id)
    w.AddCall(id, "2021/03/04/05", id % 2 + 1, 1000, true);
  w.Insert();
  std::filesystem::create_directories("/recordings/2020/x");
  Mark();
  EXPECT_TRUE(FIFO_delete(1, false));
  EXPECT_FALSE(FIFO_delete(203 * 1125 - 1, false));
  std::string first = "1";
  for (int i = 2; i <= 200; ++i) first += "," + std::to_string(i);
  const std::string chunk =
      "SELECT id,directory,filename,flags,tenantid,screenfn FROM calls WHERE "
      "isarchived=1 ORDER BY startdate ASC LIMIT 200";
  const std::string mark =
      "UPDATE Calls SET flags=flags|4 , isarchived=0 WHERE id IN (";
  // Later chunks continue after the last call seen, asked for while the
  // chunk before goes; each chunk is marked while the next one goes.
  const std::string next =
      "SELECT id,directory,filename,flags,tenantid,screenfn FROM calls WHERE "
      "isarchived=1 AND ";
  Lines statements;
  for (const std::string& sql : LoggedTexts())
    statements.push_back(sql.compare(0, next.size(), next) == 0  ? "next"
                         : sql.compare(0, 10, "SELECT id:") == 0 ? "pending"
                                                                 : sql);
  const std::string add = "UPDATE Configs SET value = value::bigint + ";
  EXPECT_EQ(
      (Lines{chunk, "next", "pending", chunk, "next", mark + first + ")",
             "next", mark + "201,202,203)", "BEGIN",
             add + "-113625 WHERE param='TN1_DiskUsage'",
             "SELECT param,value FROM Configs WHERE param='TN1_DiskUsage'",
             add + "-114750 WHERE param='TN2_DiskUsage'",
             "SELECT param,value FROM Configs WHERE param='TN2_DiskUsage'",
             "SELECT pg_current_xact_id()::text", "COMMIT"}),
      statements);
  EXPECT_EQ(
      (Lines{"FIFO_delete: 1 bytes to free", "FIFO_delete: Connected to DB",
             "FIFO_delete: still bytes to free",
             "FIFO oldest entry in directory 2021/03/04/05 ",
             "FIFO delete directory: /recordings/2020 ", "No tenancy updates",
             "FIFO_delete: finished", "FIFO_delete: 228374 bytes to free",
             "FIFO_delete: Connected to DB", "FIFO_delete: still bytes to free",
             "FIFO oldest entry in directory 2021/03/04/05 ",
             "FIFO_delete: freed 219 KB", "FIFO_delete: still bytes to free",
             "FIFO_delete: freed 3 KB", "TN 1 DiskUsage new: 999886375",
             "TN 2 DiskUsage new: 999885250", "FIFO_delete: finished"}),
      SyslogLines());
  w.Check();
}

// The last row is read; the server does the adding; only failures are
// logged, the server's text escaped: a counter holding a line end must not
// forge a line of its own.
TEST_F(DbTest, ConfigValuesAndPlainStatements) {
  dbi_conn conn;  // as a pass holds it
  ASSERT_EQ(0, getDbConnection(&conn));
  EXPECT_TRUE(InsertConfigValue(conn, "k'ey", "old", ""));
  EXPECT_TRUE(UpdateConfigValue(conn, "k'ey", "\\'); --\\"));
  EXPECT_EQ(Lines{"\\'); --\\|"}, Psql("SELECT value,part FROM configs"));
  const std::string bad =
      "11 Query error: 3484946 3484946: ERROR:  invalid input syntax for type "
      "bigint: \"1\\nx\"";
  const std::tuple<std::string, std::string, bool, Lines> cases[] = {
      {"('z','0','z')", "", true, {"0|z"}},
      {"('n','5','a'),('n','7','b')", "7", true, {"-595|a", "-593|b"}},
      {"('n','7','a'),('n',NULL,'b')", "", true, {"-593|a", "NULL|b"}},
      {"('n',E'1\\nx','p')", "1\nx", false, {"1\\nx|p"}}};
  for (const auto& [rows, read, ok, after] : cases) {
    Sql("TRUNCATE configs; INSERT INTO configs VALUES " + rows);
    EXPECT_EQ(read, GetConfigValue(conn, "n")) << rows;
    EXPECT_EQ(ok, PerformSql(conn, "SELECT value::bigint FROM configs"));
    Mark();
    EXPECT_EQ(ok, AddToConfigValue(conn, "n", -600));
    EXPECT_EQ(Lines{"UPDATE Configs SET value = value::bigint + -600 WHERE "
                    "param='n'"},
              LoggedTexts());
    EXPECT_EQ(ok ? Lines{} : Lines(2, bad), SyslogLines());
    EXPECT_EQ(after, Psql("SELECT replace(coalesce(value, 'NULL'), E'\\n', "
                          "'\\n'), part FROM configs ORDER BY part"));
  }
  dbi_conn_close(conn);
}

// Sums per tenant, adds in signed id order in one transaction on a connection
// of its own, reads a missing counter as 0, and tells the transaction's id
// before it commits; a failed counter spoils only itself.
TEST_F(DbTest, TenantCounters) {
  Sql("INSERT INTO configs VALUES ('TN12_DiskUsage','1000','p'),"
      "('TN-3_DiskUsage','70','p'),('TN5_DiskUsage','x','p')");
  Tenancy tenancy;
  const long long charges[][2] = {{12, 100}, {-3, 30},           {0, 500},
                                  {5, 0},    {4294967301LL, 25}, {12, 500}};
  for (const auto& c : charges) tenancy.DeletedMediaOfCall(c[0], c[1]);
  const std::string pghost = getenv("PGHOST");
  setenv("PGHOST", "/nonexistent", 1);
  Tenancy().Update();
  EXPECT_TRUE(Tenancy(tenancy).Update().empty());
  setenv("PGHOST", pghost.c_str(), 1);
  std::string xid;
  LLMAP failed;
  LLMAP done = tenancy.Update([&](const std::string& id, const LLMAP& f) {
    xid = id, failed = f;
    return true;
  });
  EXPECT_EQ((LLMAP{{-3, -30}, {12, -600}, {4294967301LL, -25}}), done);
  EXPECT_EQ((LLMAP{{5, 0}}), failed);
  EXPECT_EQ("committed", Scalar("SELECT pg_xact_status('" + xid + "')"));
  const Lines logged = SyslogLines();
  ASSERT_LE(2u, logged.size());
  EXPECT_EQ((Lines{"No tenancy updates",
                   "11 Cannot connect to database to do tenant updates"}),
            Lines(logged.begin(), logged.begin() + 2));
  EXPECT_EQ((Lines{"-3|40", "12|400", "5|x"}),
            Psql("SELECT substr(param, 3, length(param) - 12), value FROM "
                 "configs ORDER BY param"));
  // Told false, it rolls back.
  EXPECT_TRUE(
      Tenancy(tenancy)
          .Update([](const std::string&, const LLMAP&) { return false; })
          .empty());
  EXPECT_EQ("400",
            Scalar("SELECT value FROM configs WHERE param = 'TN12_DiskUsage'"));
}

// The pass's chunks after the first continue after the last call seen:
// every archived call comes exactly once, however many share a startdate,
// and without the index that orders them too. A simulated pass names each
// file it meets.
TEST_F(DbTest, ChunksMeetEveryCallOnce) {
  Sql("DROP INDEX calls_archived_by_age");
  Sql("INSERT INTO calls (id, directory, filename, isarchived, startdate) "
      "SELECT i, 'd', 'c' || i, 1, '2021-01-01'::timestamp + (i / 150) * "
      "interval '1 s' FROM generate_series(1, 450) i ORDER BY random()");
  for (int id = 1; id <= 450; ++id)
    MakeFile("/recordings/d/c" + std::to_string(id), 1);
  TakeSyslog();
  FIFO_delete(1 << 20, true);
  std::map<std::string, int> met;
  for (const SyslogLine& l : TakeSyslog())
    if (l.text.compare(0, 22, "FIFO_delete: removing ") == 0) ++met[l.text];
  EXPECT_EQ(450u, met.size());
  for (const auto& [line, n] : met) EXPECT_EQ(1, n) << line;
}

// A connection lost in the counters' transaction charges nothing and blames
// no other counter: a ROLLBACK that fails ends the attempt.
TEST_F(DbTest, CountersOnALostConnection) {
  Sql("INSERT INTO configs SELECT 'TN' || i || '_DiskUsage', '1000', 'p' "
      "FROM generate_series(1, 3) i");
  setenv("FIFODEL_FAULT", "tenant-transaction", 1);
  setenv("FIFODEL_FAULT_CMD",
         "psql -U root -d tolvex -qAt -c \"SELECT pg_terminate_backend(pid, "
         "5000) FROM pg_stat_activity WHERE state = 'idle in transaction'\"",
         1);
  TakeSyslog();
  EXPECT_TRUE(CommitCounterDeltas({{1, -10}, {2, -10}, {3, -10}}).empty());
  unsetenv("FIFODEL_FAULT");
  int blamed = 0;
  for (const SyslogLine& l : TakeSyslog())
    blamed += l.text.find("DiskUsage not updated") != std::string::npos;
  EXPECT_EQ(1, blamed);
  EXPECT_EQ((Lines{"1000", "1000", "1000"}),
            Psql("SELECT value FROM configs ORDER BY param"));
}

// What a replay owes is charged once: a commit whose id the journal cannot
// record is not made, or the next replay would charge it again.
TEST_F(DbTest, AReplayCommitsOnlyWhatItRecords) {
  Sql("INSERT INTO configs VALUES ('TN1_DiskUsage', '1000', 'p')");
  MakeFile(JOURNAL_FILE, 0);
  std::ofstream(JOURNAL_FILE) << JournalLine("S") << OwedLine(1, -100);
  setenv("FIFODEL_FAULT", "replay-settling", 1);
  setenv("FIFODEL_FAULT_CMD", "chattr +i " JOURNAL_FILE, 1);
  ApplyPendingJournal();
  unsetenv("FIFODEL_FAULT");
  EXPECT_EQ("1000", Scalar("SELECT value FROM configs"));
  ASSERT_EQ(0, Sh("chattr -i " JOURNAL_FILE));
  ApplyPendingJournal();
  ApplyPendingJournal();
  EXPECT_EQ("900", Scalar("SELECT value FROM configs"));
  EXPECT_FALSE(Exists(JOURNAL_FILE));
}

// A transaction the server still runs may yet commit what it charged: the
// replay waits for its end, and charges only once it aborted.
TEST_F(DbTest, AReplayWaitsForATransactionStillRunning) {
  Sql("INSERT INTO configs VALUES ('TN1_DiskUsage', '1000', 'p')");
  dbi_conn conn;
  ASSERT_EQ(0, getDbConnection(&conn));
  std::string xid;
  ASSERT_TRUE(PerformSql(conn, "BEGIN") &&
              QueryText(conn, "SELECT pg_current_xact_id()::text", &xid));
  std::ofstream(JOURNAL_FILE)
      << JournalLine("S") << OwedLine(1, -100) << JournalLine("C " + xid);
  ApplyPendingJournal();
  EXPECT_EQ("1000", Scalar("SELECT value FROM configs"));
  EXPECT_TRUE(Exists(JOURNAL_FILE));
  ASSERT_TRUE(PerformSql(conn, "ROLLBACK"));
  dbi_conn_close(conn);
  ApplyPendingJournal();
  EXPECT_EQ("900", Scalar("SELECT value FROM configs"));
  EXPECT_FALSE(Exists(JOURNAL_FILE));
}

// Names are written escaped: a tab or a line end in one can forge neither a
// field nor a line of the audit trail.
TEST_F(DbTest, AuditTrailEscapesNames) {
  ASSERT_TRUE(AuditCalls(3, {{7, 1, 10, {"removed /recordings/a\tb\nc"}}}));
  const std::string audit = Slurp(AUDIT_FILE);
  EXPECT_EQ(1, std::count(audit.begin(), audit.end(), '\n')) << audit;
  EXPECT_NE(std::string::npos, audit.find("\tremoved /recordings/a\\tb\\nc\n"))
      << audit;
}

// Every prefix of a real journal, and every line of it garbled: replay
// never charges a file twice, never one that is not gone, never one that a
// committed transaction charged.
TEST_F(DbTest, JournalReplayOfEveryPrefix) {
  World w(64);
  for (int id = 1; id <= 4; ++id)
    w.AddCall(id, "2021/03/04/05", id % 2 + 1, 1000, true);
  w.Insert();
  setenv("FIFODEL_FAULT", "after-commit", 1);
  setenv("FIFODEL_FAULT_CMD", "cp " JOURNAL_FILE " /run/journal", 1);
  FIFO_delete(1 << 20, false);
  unsetenv("FIFODEL_FAULT");
  const std::string text = Slurp("/run/journal");
  auto gone = [](const Intent& i) {
    return Exists(RECORDINGS_DIR "/" + i.strRel) ? kThere : kGone;
  };
  std::map<std::string, XactFate> fates;  // asked once each
  auto fate = [&](const std::string& x) {
    if (!fates.count(x))
      fates[x] = Scalar("SELECT pg_xact_status('" + x + "')") == "committed"
                     ? kCommitted
                     : kAborted;
    return fates[x];
  };
  const size_t commit = text.rfind("\nC ") + 1;  // where the C line starts
  for (size_t n = 0; n <= text.size(); ++n) {
    const std::string prefix = text.substr(0, n);
    Pending p = ResolveJournal(prefix, gone, fate);
    std::set<std::string> charged;
    long long owed = 0;
    for (const Intent& i : p.charged) {
      EXPECT_TRUE(charged.insert(i.strRel).second) << "twice: " << i.strRel;
      owed -= i.llTenant ? i.llBytes : 0;
    }
    for (const auto& [t, d] : p.owed) owed -= d;
    EXPECT_EQ(0, owed) << n;
    EXPECT_EQ(n && text[n - 1] != '\n' ? 1 : 0, p.iBadLines) << n;
    size_t intents = 0;
    for (size_t at = 0; (at = prefix.find("I ", at)) != std::string::npos; ++at)
      intents += (at == 0 || prefix[at - 1] == '\n') &&
                 prefix.find('\n', at) != std::string::npos;
    EXPECT_EQ(n > commit && text[n - 1] == '\n' ? 0 : intents, p.charged.size())
        << n;
  }
  EXPECT_EQ(1u, fates.size());
  // A transaction the server can no longer judge charged what it names.
  EXPECT_TRUE(ResolveJournal(text, gone, [](const std::string&) {
                return kUnknown;
              }).charged.empty());
  // A file named again later, in the same segment or behind a leftover that
  // a later pass settled, is charged at its last naming only.
  const std::string uncommitted = text.substr(0, commit);
  const Pending once = ResolveJournal(uncommitted, gone, fate);
  const size_t files = once.charged.size();
  const struct {
    const char* name;
    std::string journal;
    size_t charged;
  } cases[] = {
      {"named twice, never committed", uncommitted + uncommitted, files},
      {"a leftover, then a committed pass", uncommitted + text, 0},
  };
  for (const auto& c : cases) {
    Pending p = ResolveJournal(c.journal, gone, fate);
    EXPECT_EQ(c.charged, p.charged.size()) << c.name;
    EXPECT_EQ(c.charged ? once.owed : decltype(once.owed)(), p.owed) << c.name;
  }
  EXPECT_EQ(8u, files);
  for (size_t at = 0; at < text.size(); ++at) {
    std::string garbled = text;
    garbled[at] ^= 0x01;
    Pending p = ResolveJournal(garbled, gone, fate);
    EXPECT_LE(p.charged.size(), 8u);
    EXPECT_EQ(1, p.iBadLines) << at;
  }
}

}  // namespace
