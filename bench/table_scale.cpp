// 3. The pass's cost per call as the calls table grows: the same 10,000
// archived calls among 0, 100,000 and 1,000,000 rows of history, with the
// reference partial index and without it; and the plans of the chunk query
// and of the question pruning asks, and the size of the index that serves
// it, and of the survey's figures, on 1,000,000 rows of history that span
// years.
#include <stdlib.h>

#include "calls.h"
#include "measurements.h"
#include "survey.h"

namespace {

const long long kCalls = 10000;

const char kIndexDdl[] =
    "CREATE INDEX calls_archived_by_age ON calls (startdate, id) WHERE "
    "isarchived = 1";

struct Row {
  long long history;
  Best with_index, without;  // per call
};

// The archived calls and their files anew, on tmpfs; returns their bytes.
long long Refill(Db* db) {
  TmpfsRecordings();
  long long bytes = MakeCalls(0, kCalls, false, false);
  db->Exec("DELETE FROM calls WHERE id <= " + std::to_string(kCalls));
  db->Exec("UPDATE configs SET value = '1000000000000'");
  InsertArchived(db, 0, kCalls);
  return bytes;
}

Best ScalePass(Db* db) {
  Best best;
  for (int round = 1; round <= kRounds; ++round) {
    long long bytes = Refill(db);
    double db_s;
    double t = TimedPass(db, kCalls, bytes, kCalls, &db_s);
    best.Add(t / kCalls, db_s / kCalls);
  }
  return best;
}

// Runs EXPLAIN ANALYZE; returns the execution time in ms, and through
// *plan the plan's lines.
double Explain(Db* db, const std::string& query,
               std::vector<std::string>* plan) {
  *plan = db->Rows("EXPLAIN (ANALYZE, BUFFERS) " + query);
  for (const std::string& line : *plan) {
    size_t at = line.find("Execution Time: ");
    if (at != std::string::npos) return atof(line.c_str() + at + 16);
  }
  Fail("no execution time for %s", query.c_str());
}

void PrintPlan(const char* what, const std::string& query,
               const std::vector<std::string>& plan) {
  fprintf(g_out, "   %s:\n     %s\n", what, query.c_str());
  for (const std::string& line : plan)
    fprintf(g_out, "       %s\n", line.c_str());
}

bool Has(const std::vector<std::string>& plan, const char* what) {
  for (const std::string& line : plan)
    if (line.find(what) != std::string::npos) return true;
  return false;
}

// Pruning's question about stale directories of 2022, whose calls were all
// reclaimed: the usual answer, none. Milliseconds with the partial index and
// with the planner kept from every index.
void PruningTimes(Db* db) {
  const char* const rels[] = {"2022", "2022/06", "2022/06/15", "2022/06/15/12"};
  double ms[4][2];
  std::vector<std::string> plan, year;
  for (int i = 0; i < 4; ++i)
    ms[i][0] = Explain(db, PendingStatement(rels[i]), i ? &plan : &year);
  db->Exec("SET enable_indexscan = off; SET enable_bitmapscan = off");
  for (int i = 0; i < 4; ++i)
    ms[i][1] = Explain(db, PendingStatement(rels[i]), &plan);
  db->Exec("RESET enable_indexscan; RESET enable_bitmapscan");
  PrintPlan("pruning's question before a year directory goes",
            PendingStatement(rels[0]), year);
  fprintf(g_out,
          "   pruning's question, execution ms, by stale directory:\n"
          "   %-14s | %10s | %13s\n",
          "directory", "with index", "without index");
  for (int i = 0; i < 4; ++i)
    fprintf(g_out, "   %-14s | %10.3f | %13.3f\n", rels[i], ms[i][0], ms[i][1]);
  AddGoal("pruning's question reads calls_unreclaimed_by_path (1 = yes)",
          Has(year, "calls_unreclaimed_by_path"), false, 1);
  AddGoal("  ... for a year, by an index range (1 = yes)",
          Has(year, "Index Cond"), false, 1);
}

// What pruning's index holds: every call whose files are still on the disk,
// archived or not. Beside it, the same expression over the calls waiting for
// archiving alone, which the question once asked about; both freshly built,
// so that the passes' churn does not weigh on one of them.
void IndexSizes(Db* db) {
  const std::string kIndex = "calls_unreclaimed_by_path";
  std::string ddl =
      db->Rows("SELECT pg_get_indexdef('" + kIndex + "'::regclass)")[0];
  ddl.replace(ddl.find(kIndex), kIndex.size(), "calls_waiting_by_path");
  ddl = ddl.substr(0, ddl.find(" WHERE ")) +
        " WHERE isarchived = 0 AND flags & 4 = 0";
  db->Exec(ddl);
  db->Exec("REINDEX INDEX " + kIndex);
  const struct {
    const char* index;
    const char* where;
  } kinds[] = {{"calls_unreclaimed_by_path", "flags & 4 = 0"},
               {"calls_waiting_by_path", "isarchived = 0 AND flags & 4 = 0"}};
  fprintf(g_out, "   pruning's index:\n");
  for (const auto& k : kinds)
    fprintf(
        g_out, "   %-26s %-33s %8lld rows %8.1f MB\n", k.index, k.where,
        db->Count(std::string("SELECT count(*) FROM calls WHERE ") + k.where),
        db->Count(std::string("SELECT pg_relation_size('") + k.index + "')") /
            1048576.0);
  db->Exec("DROP INDEX calls_waiting_by_path");
}

// The plans as a pass finds the table: the 10,000 archived calls among the
// 1,000,000 history rows, freshly vacuumed; the first chunk's query and a
// later chunk's, after call 5000.
void Plans(Db* db) {
  Refill(db);
  db->Exec("VACUUM ANALYZE calls");
  fprintf(g_out,
          "   Plans on 1,000,000 history rows (2021 to 2026) and "
          "10,000 archived calls\n");
  std::vector<std::string> plan;
  Explain(db, ChunkStatement({}), &plan);
  PrintPlan("the first chunk's query", ChunkStatement({}), plan);
  Continuation later;
  later.llLastId = 5000;
  Explain(db, ChunkStatement(later), &plan);
  PrintPlan("a later chunk's query", ChunkStatement(later), plan);
  AddGoal("a later chunk's query reads calls_archived_by_age (1 = yes)",
          Has(plan, "calls_archived_by_age"), false, 1);
  PruningTimes(db);
  IndexSizes(db);
  Explain(db, FiguresStatement(), &plan);
  PrintPlan("the survey's figures, once a minute", FiguresStatement(), plan);
  AddGoal("the survey counts the backlog on calls_pending_by_age (1 = yes)",
          Has(plan, "calls_pending_by_age"), false, 1);
  AddGoal("  ... and finds the oldest archived call on calls_archived_by_age",
          Has(plan, "calls_archived_by_age"), false, 1);
}

}  // namespace

void TableScale(Db* db) {
  std::vector<Row> rows;
  ResetTables(db);
  long long loaded = 0;
  for (long long history : {0LL, 100000LL, 1000000LL}) {
    Progress("10,000 calls among %lld history rows", history);
    InsertHistory(db, loaded, history);
    loaded = history;
    Row row{history, ScalePass(db), {}};
    db->Exec("DROP INDEX calls_archived_by_age");
    row.without = ScalePass(db);
    db->Exec(kIndexDdl);
    rows.push_back(row);
  }
  fprintf(g_out,
          "\n3. 10,000 archived calls reclaimed among non-archived "
          "history: microseconds per call\n"
          "   %12s | %10s %8s | %10s %8s\n",
          "history rows", "with index", "(db)", "without", "(db)");
  for (const Row& r : rows)
    fprintf(g_out, "   %12lld | %10.1f %8.1f | %10.1f %8.1f\n", r.history,
            r.with_index.s * 1e6, r.with_index.db_s * 1e6, r.without.s * 1e6,
            r.without.db_s * 1e6);
  Plans(db);
  AddGoal("per call with index, 1,000,000 / 0 history",
          rows[2].with_index.s / rows[0].with_index.s, true, 1.2);
  PruneLook();
}
