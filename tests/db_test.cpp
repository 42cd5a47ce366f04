// The database layer against the run's PostgreSQL, judged by the exact
// statements the server logged and the lines the system logger received.
#include "db.h"

#include <stdlib.h>
#include <unistd.h>

#include <set>
#include <string>
#include <utility>
#include <vector>

#include "configs.h"
#include "dbfixture.h"
#include "logging.h"
#include "tenancy.h"

namespace {

typedef std::vector<std::string> Lines;

// Syslog lines received since the last call, as "<pri> <text>".
Lines SyslogLines() {
  Lines out;
  for (const SyslogLine& l : TakeSyslog())
    out.push_back(std::to_string(l.pri) + " " + l.text);
  return out;
}

// Holds a connection of the code under test, as a reclamation pass would.
class DbLayerTest : public DbTest {
 protected:
  void SetUp() override {
    DbTest::SetUp();
    g_useSysLogger = true;
    ASSERT_EQ(0, getDbConnection(&conn_));
  }
  void TearDown() override {
    if (conn_) dbi_conn_close(conn_);
    DbTest::TearDown();
  }
  // The line expected for the last error libdbi reports on conn_.
  std::string QueryError() {
    const char* msg = nullptr;
    int code = dbi_conn_error(conn_, &msg);
    return "11 Query error: " + std::to_string(code) + " " + (msg ? msg : "");
  }
  dbi_conn conn_ = nullptr;
};

TEST_F(DbLayerTest, NoServerListeningGives20AndNoTenantUpdates) {
  const std::string pghost = getenv("PGHOST");
  char empty[] = "/tmp/fifodel-nopg-XXXXXX";
  ASSERT_TRUE(mkdtemp(empty));
  setenv("PGHOST", empty, 1);
  dbi_conn down = nullptr;
  int rc = getDbConnection(&down);
  Tenancy nobody, tenant7;
  nobody.DeletedMediaOfCall(0, 500);
  nobody.Update();  // needs no connection, so does not miss the server
  tenant7.DeletedMediaOfCall(7, 100);
  tenant7.Update();
  setenv("PGHOST", pghost.c_str(), 1);  // later tests connect afresh
  rmdir(empty);
  EXPECT_EQ(20, rc);
  EXPECT_EQ((Lines{"13 No tenancy updates",
                   "11 Cannot connect to database to do tenant updates"}),
            SyslogLines());
  EXPECT_EQ(Lines{}, LoggedTexts());
}

TEST_F(DbLayerTest, QuotedTextsRoundTripByteForByte) {
  const std::string cases[][2] = {
      {"", "''"},
      {"it's", "'it''s'"},
      {"C:\\new\\", "'C:\\new\\'"},
      {"\\'; DROP TABLE calls; --''", "'\\''; DROP TABLE calls; --'''''"}};
  for (const auto& [text, literal] : cases) {
    Sql("TRUNCATE configs; INSERT INTO configs VALUES ('k''ey', 'old', 'p')");
    Mark();
    EXPECT_TRUE(UpdateConfigValue(conn_, "k'ey", text));
    EXPECT_TRUE(InsertConfigValue(conn_, "k'ey", text, text));
    EXPECT_EQ((Lines{text + "|p", text + "|" + text}),
              Rows("SELECT value, part FROM configs ORDER BY part <> 'p'"));
    EXPECT_EQ(
        (Lines{"UPDATE Configs  SET  value = " + literal +
                   " WHERE param = 'k''ey'",
               "INSERT INTO CONFIGS (param,value,part)  VALUES ('k''ey'," +
                   literal + "," + literal + ")"}),
        LoggedTexts());
  }
}

TEST_F(DbLayerTest, PerformSqlLogsOnlyFailures) {
  const std::pair<std::string, bool> cases[] = {
      {"SELECT generate_series(1, 3)", true},
      {"SELECT 1/0", false},
      {"INSERT INTO no_such_table VALUES (1)", false}};
  for (const auto& [sql, ok] : cases) {
    Mark();
    EXPECT_EQ(ok, PerformSql(conn_, sql)) << sql;
    EXPECT_EQ(ok ? Lines{} : Lines{QueryError()}, SyslogLines()) << sql;
    EXPECT_EQ(Lines{sql}, LoggedTexts());
  }
}

TEST_F(DbLayerTest, ConfigValuesReadLastRowAndFailOnlyAsDocumented) {
  const std::string cases[][2] = {
      {"", ""},
      {"('TN9_DiskUsage','5','a'),('TN9_DiskUsage','7','b')", "7"},
      {"('TN9_DiskUsage','7','a'),('TN9_DiskUsage',NULL,'b')", ""},
      {"('TN9_DiskUsage','12 MB','p')", "12 MB"}};
  for (const auto& [rows, value] : cases) {
    Sql("TRUNCATE configs");
    if (!rows.empty()) Sql("INSERT INTO configs VALUES " + rows);
    EXPECT_EQ(value, GetConfigValue(conn_, "TN9_DiskUsage")) << rows;
    EXPECT_EQ(Lines{}, SyslogLines());
  }
  // The last value is no number: the add fails and aborts the transaction.
  ASSERT_TRUE(PerformSql(conn_, "BEGIN"));
  EXPECT_FALSE(AddToConfigValue(conn_, "TN9_DiskUsage", -1));
  EXPECT_EQ(Lines{QueryError()}, SyslogLines());
  EXPECT_FALSE(InsertConfigValue(conn_, "TN2_DiskUsage", "1", "p"));
  EXPECT_FALSE(UpdateConfigValue(conn_, "TN9_DiskUsage", "6"));
  EXPECT_EQ(Lines{}, SyslogLines());
  EXPECT_EQ("", GetConfigValue(conn_, "TN9_DiskUsage"));
  EXPECT_EQ(Lines{QueryError()}, SyslogLines());
  EXPECT_TRUE(PerformSql(conn_, "ROLLBACK"));
  EXPECT_TRUE(AddToConfigValue(conn_, "TN8_DiskUsage", 50));
  EXPECT_EQ(Lines{"TN9_DiskUsage|12 MB|p"}, Rows("SELECT * FROM configs"));
}

TEST_F(DbLayerTest, TenancyAddsToEachCounterInOneTransaction) {
  Sql("INSERT INTO configs VALUES ('TN12_DiskUsage','1000','p'),"
      "('TN-3_DiskUsage','70','p'),('TN5_DiskUsage','9','p'),"
      "('TN0_DiskUsage','900','p')");
  ASSERT_TRUE(PerformSql(conn_, "SELECT 'pass'"));
  const std::string pass_session = Logged().at(0).session;
  Mark();
  // A negative size adds; tenant 4294967301 has no counter and gets none.
  const long long charges[][2] = {{12, 100}, {-3, 50},           {0, 500},
                                  {5, 0},    {4294967301LL, 25}, {-3, -20},
                                  {12, 500}};
  Tenancy tenancy;
  for (const auto& c : charges) tenancy.DeletedMediaOfCall(c[0], c[1]);
  tenancy.Update();
  EXPECT_EQ(
      (Lines{"BEGIN",
             "UPDATE Configs SET value = value::bigint + -30 WHERE "
             "param='TN-3_DiskUsage'",
             "SELECT param,value FROM Configs WHERE param='TN-3_DiskUsage'",
             "UPDATE Configs SET value = value::bigint + 0 WHERE "
             "param='TN5_DiskUsage'",
             "SELECT param,value FROM Configs WHERE param='TN5_DiskUsage'",
             "UPDATE Configs SET value = value::bigint + -600 WHERE "
             "param='TN12_DiskUsage'",
             "SELECT param,value FROM Configs WHERE param='TN12_DiskUsage'",
             "UPDATE Configs SET value = value::bigint + -25 WHERE "
             "param='TN4294967301_DiskUsage'",
             "SELECT param,value FROM Configs WHERE "
             "param='TN4294967301_DiskUsage'",
             "COMMIT"}),
      LoggedTexts());
  EXPECT_EQ((Lines{"13 TN -3 DiskUsage new: 40", "13 TN 5 DiskUsage new: 9",
                   "13 TN 12 DiskUsage new: 400",
                   "13 TN 4294967301 DiskUsage new: 0"}),
            SyslogLines());
  EXPECT_EQ(
      (Lines{"TN-3_DiskUsage|40", "TN0_DiskUsage|900", "TN12_DiskUsage|400",
             "TN5_DiskUsage|9"}),
      Rows("SELECT param, value FROM configs ORDER BY param COLLATE \"C\""));
  std::set<std::string> sessions;  // of the statements above
  for (const LoggedSql& s : Logged()) sessions.insert(s.session);
  EXPECT_EQ(1u, sessions.size());
  EXPECT_EQ(0u, sessions.count(pass_session));
}

}  // namespace
