// The database fixture. It uses its own libdbi instance and connection, so
// that nothing it does shares state with the code under test.
#include "dbfixture.h"

#include <stdlib.h>

#include <fstream>

#include "db.h"

namespace {

std::string LogPath() {
  const char* host = getenv("PGHOST");
  return std::string(host ? host : "") + "/postgresql.log";
}

long LogSize() {
  std::ifstream in(LogPath(), std::ios::ate);
  return in ? static_cast<long>(in.tellg()) : 0;
}

}  // namespace

void DbTest::SetUp() {
  SandboxTest::SetUp();
  ASSERT_GE(dbi_initialize_r(nullptr, &inst_), 1) << "no libdbi driver";
  conn_ = dbi_conn_new_r("pgsql", inst_);
  dbi_conn_set_option(conn_, "username", "root");
  dbi_conn_set_option(conn_, "dbname", "tolvex");
  ASSERT_EQ(0, dbi_conn_connect(conn_)) << "is PGHOST's server running?";
  // The server's %c: hex start time and hex pid of this backend.
  session_ = Scalar(
      "SELECT to_hex(trunc(extract(epoch from backend_start))::bigint) || '.' "
      "|| to_hex(pid) FROM pg_stat_activity WHERE pid = pg_backend_pid()");
  Sql("TRUNCATE calls, configs");
  Mark();
}

void DbTest::TearDown() {
  if (conn_) dbi_conn_close(conn_);
  if (inst_) dbi_shutdown_r(inst_);
}

void DbTest::Sql(const std::string& sql) {
  dbi_result res = dbi_conn_query(conn_, sql.c_str());
  const char* msg = nullptr;
  if (!res) dbi_conn_error(conn_, &msg);
  ASSERT_TRUE(res) << sql << ": " << (msg ? msg : "");
  dbi_result_free(res);
}

std::vector<std::string> DbTest::Rows(const std::string& sql) {
  std::vector<std::string> rows;
  dbi_result res = dbi_conn_query(conn_, sql.c_str());
  EXPECT_TRUE(res) << sql;
  if (!res) return rows;
  unsigned int fields = dbi_result_get_numfields(res);
  while (dbi_result_next_row(res)) {
    std::string row;
    for (unsigned int i = 1; i <= fields; ++i) {
      if (i > 1) row += "|";
      if (dbi_result_field_is_null_idx(res, i)) {
        row += "NULL";
        continue;
      }
      // Read every column as text: the statements cast what they need.
      const char* s = dbi_result_get_string_idx(res, i);
      row += s ? s : "";
    }
    rows.push_back(row);
  }
  dbi_result_free(res);
  return rows;
}

std::string DbTest::Scalar(const std::string& sql) {
  std::vector<std::string> rows = Rows(sql);
  return rows.empty() || rows[0] == "NULL" ? "" : rows[0];
}

void DbTest::Mark() { mark_ = LogSize(); }

std::vector<std::string> DbTest::LoggedTexts() {
  std::ifstream in(LogPath());
  in.seekg(mark_);
  std::vector<std::string> texts;
  const std::string tag = " LOG:  statement: ";
  for (std::string line; std::getline(in, line);) {
    size_t at = line.find(tag);  // the server session's id comes before it
    if (at != std::string::npos && line.substr(0, at) != session_)
      texts.push_back(line.substr(at + tag.size()));
  }
  return texts;
}
