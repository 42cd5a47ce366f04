// The benchmark's database: its rows, and the timed pass that reads them.
#include <stdio.h>
#include <stdlib.h>

#include "db.h"
#include "harness.h"
#include "reclaim.h"

Db::Db() {
  if (getDbConnection(&conn_) != 0) Fail("cannot connect; is PGHOST set?");
  // The service's statement timeout is for its own statements: loading a
  // million rows of history on a busy machine may take longer.
  Exec("SET statement_timeout = 0");
}

Db::~Db() { dbi_conn_close(conn_); }

std::vector<std::string> Db::Rows(const std::string& sql) {
  dbi_result res = dbi_conn_query(conn_, sql.c_str());
  if (!res) {
    const char* msg = nullptr;
    dbi_conn_error(conn_, &msg);
    Fail("%s: %s", sql.c_str(), msg ? msg : "");
  }
  std::vector<std::string> rows;
  while (dbi_result_next_row(res)) {
    const char* s = dbi_result_get_string_idx(res, 1);
    rows.push_back(s ? s : "");
  }
  dbi_result_free(res);
  return rows;
}

// Read as text: libdbi's string getter gives nothing for other types.
long long Db::Count(const std::string& sql) {
  std::vector<std::string> rows = Rows("SELECT (" + sql + ")::text");
  if (rows.size() != 1 || rows[0].empty())
    Fail("no number from %s", sql.c_str());
  return atoll(rows[0].c_str());
}

void ResetTables(Db* db) {
  db->Exec("TRUNCATE calls, configs");
  db->Exec(
      "INSERT INTO configs SELECT 'TN' || t || '_DiskUsage', "
      "'1000000000000', 'tenant' FROM generate_series(1, 5) AS t");
}

void InsertArchived(Db* db, long long from, long long to) {
  db->Exec(
      "INSERT INTO calls (id, directory, filename, flags, tenantid, screenfn, "
      "isarchived, startdate) SELECT n + 1, to_char(timestamp '2024-01-01' + "
      "(n / " +
      std::to_string(kCallsPerHour) +
      ") * interval '1 hour', 'YYYY/MM/DD/HH24'), 'c' || (n + 1) || '.wav', "
      "CASE WHEN n % 2 = 0 THEN 2 ELSE 0 END, n % 5 + 1, NULL, 1, "
      "timestamp '2024-01-01' + n * interval '7.2 seconds' FROM "
      "generate_series(" +
      std::to_string(from) + ", " + std::to_string(to - 1) + ") AS n");
  db->Exec("VACUUM ANALYZE calls");
}

void InsertHistory(Db* db, long long from, long long to) {
  if (to <= from) return;
  db->Exec(
      "INSERT INTO calls (id, directory, filename, flags, tenantid, screenfn, "
      "isarchived, startdate) SELECT 10000000 + j, to_char(s, "
      "'YYYY/MM/DD/HH24'), 'h' || j || '.wav', CASE WHEN j % 2 = 0 THEN 4 "
      "ELSE 0 END, j % 5 + 1, NULL, 0, s FROM (SELECT j, CASE WHEN j % 2 = 0 "
      "THEN timestamp '2021-01-01' ELSE timestamp '2024-03-01' END + j * "
      "interval '1 minute' AS s FROM generate_series(" +
      std::to_string(from) + ", " + std::to_string(to - 1) + ") AS j) AS h");
}

namespace {

// Planning and execution time of every statement since the last reset, in
// seconds, leaving out the benchmark's own questions about it.
double ServerSeconds(Db* db) {
  std::vector<std::string> rows = db->Rows(
      "SELECT coalesce(sum(total_plan_time + total_exec_time), 0)::text FROM "
      "pg_stat_statements WHERE query NOT LIKE '%pg_stat_statements%'");
  return rows.empty() ? 0 : atof(rows[0].c_str()) / 1000;
}

}  // namespace

double TimedPass(Db* db, long long calls, long long bytes,
                 long long expect_calls, double* db_s) {
  db->Exec("SELECT pg_stat_statements_reset()");
  fflush(stdout);
  Profile("pass", "enable");
  double t0 = Now();
  bool pruned = FIFO_delete(bytes, false);
  double t = Now() - t0;
  Profile("pass", "disable");
  fflush(stdout);
  *db_s = ServerSeconds(db);
  if (pruned) Fail("the pass pruned directories instead of reclaiming");
  long long left =
      db->Count("SELECT count(*) FROM calls WHERE isarchived = 1 AND id <= " +
                std::to_string(calls));
  if (left != calls - expect_calls)
    Fail("pass left %lld archived calls, expected %lld", left,
         calls - expect_calls);
  if (!OldestGone(calls, expect_calls))
    Fail("the pass did not remove exactly the files of the oldest %lld calls",
         expect_calls);
  return t;
}
