// The database layer, judged by the statements and log lines it produces.
#include "db.h"

#include <stdlib.h>

#include <tuple>

#include "configs.h"
#include "dbfixture.h"
#include "tenancy.h"

namespace {

using Lines = std::vector<std::string>;

Lines SyslogLines() {  // as "<pri> <text>"
  Lines out;
  for (const SyslogLine& l : TakeSyslog())
    out.push_back(std::to_string(l.pri) + " " + l.text);
  return out;
}

class DbLayerTest : public DbTest {  // holds a connection as a pass would
 protected:
  void SetUp() override {
    DbTest::SetUp();
    ASSERT_EQ(0, getDbConnection(&conn_));
  }
  ~DbLayerTest() override { dbi_conn_close(conn_); }
  dbi_conn conn_ = nullptr;
};

TEST_F(DbLayerTest, QuotedTextsRoundTripByteForByte) {
  EXPECT_TRUE(InsertConfigValue(conn_, "k'ey", "old", ""));
  EXPECT_TRUE(UpdateConfigValue(conn_, "k'ey", "\\'); --\\"));
  EXPECT_EQ(Lines{"\\'); --\\|"}, Rows("SELECT value,part FROM configs"));
  EXPECT_EQ(
      (Lines{
          "INSERT INTO CONFIGS (param,value,part)  VALUES ('k''ey','old','')",
          "UPDATE Configs  SET  value = '\\''); --\\' WHERE param = 'k''ey'"}),
      LoggedTexts());
}

// The last row is read; the server does the adding; only failures are logged.
TEST_F(DbLayerTest, ConfigValuesAndPlainStatements) {
  const std::string bad =
      "11 Query error: 3484946 3484946: ERROR:  invalid input syntax for type "
      "bigint: \"x\"\n";
  const std::tuple<std::string, std::string, bool, Lines> cases[] = {
      {"('z','0','z')", "", true, {"0|z"}},
      {"('n','5','a'),('n','7','b')", "7", true, {"-595|a", "-593|b"}},
      {"('n','7','a'),('n',NULL,'b')", "", true, {"-593|a", "NULL|b"}},
      {"('n','x','p')", "x", false, {"x|p"}}};
  for (const auto& [rows, read, ok, after] : cases) {
    Sql("TRUNCATE configs; INSERT INTO configs VALUES " + rows);
    EXPECT_EQ(read, GetConfigValue(conn_, "n")) << rows;
    EXPECT_EQ(ok, PerformSql(conn_, "SELECT value::bigint FROM configs"));
    Mark();
    EXPECT_EQ(ok, AddToConfigValue(conn_, "n", -600));
    EXPECT_EQ(Lines{"UPDATE Configs SET value = value::bigint + -600 WHERE "
                    "param='n'"},
              LoggedTexts());
    EXPECT_EQ(ok ? Lines{} : Lines(2, bad), SyslogLines());
    EXPECT_EQ(after, Rows("SELECT value,part FROM configs ORDER BY part"));
  }
}

// Sums per tenant, adds in signed id order in one transaction on a connection
// of its own, reads a missing counter as 0; needs a server unless nobody owes.
TEST_F(DbLayerTest, TenantCounters) {
  Sql("INSERT INTO configs VALUES ('TN12_DiskUsage','1000','p'),"
      "('TN-3_DiskUsage','70','p'),('TN5_DiskUsage','9','p')");
  ASSERT_TRUE(PerformSql(conn_, "SELECT 'pass'"));
  const std::string pass = Logged().at(0).session;
  Mark();
  Tenancy tenancy;
  const long long charges[][2] = {{12, 100}, {-3, 30},           {0, 500},
                                  {5, 0},    {4294967301LL, 25}, {12, 500}};
  for (const auto& c : charges) tenancy.DeletedMediaOfCall(c[0], c[1]);
  const std::string pghost = getenv("PGHOST");
  setenv("PGHOST", "/nonexistent", 1);
  dbi_conn down;
  EXPECT_EQ(20, getDbConnection(&down));
  Tenancy().Update();         // nobody to charge
  Tenancy(tenancy).Update();  // somebody to charge
  setenv("PGHOST", pghost.c_str(), 1);
  tenancy.Update();
  EXPECT_EQ((Lines{"13 No tenancy updates",
                   "11 Cannot connect to database to do tenant updates",
                   "13 TN -3 DiskUsage new: 40", "13 TN 5 DiskUsage new: 9",
                   "13 TN 12 DiskUsage new: 400",
                   "13 TN 4294967301 DiskUsage new: 0"}),
            SyslogLines());
  const std::vector<LoggedSql> sql = Logged();
  ASSERT_EQ(10u, sql.size());
  EXPECT_EQ("BEGIN COMMIT", sql[0].text + " " + sql[9].text);
  for (const LoggedSql& s : sql) EXPECT_EQ(sql[0].session, s.session);
  EXPECT_NE(pass, sql[0].session);
}

}  // namespace
