// 1. What the pass costs beyond the system calls it must make: one pass for
// exactly the bytes of N calls against stat+unlink by absolute path over the
// same files in the same order, each on its own identical new tree.
#include "measurements.h"

namespace {

struct Row {
  const char* fs;
  long long calls;
  // book: the loop with the pass's bookkeeping (db_s: its syncs); two: the
  // loop on two threads
  Best pass, loop, book, two;
};

// A new file system holding calls [0, calls) and their archived rows; on
// ext4 the caches are then dropped. Returns the tree's bytes.
long long Prepare(Db* db, bool ext4, long long calls) {
  if (ext4) {
    Ext4Recordings(4, 4 * calls);
  } else {
    TmpfsRecordings();
  }
  long long bytes = MakeCalls(0, calls, false, false);
  ResetTables(db);
  InsertArchived(db, 0, calls);
  if (ext4) DropCaches();
  return bytes;
}

Row Measure(Db* db, bool ext4, long long calls) {
  Row row{ext4 ? "ext4 cold" : "tmpfs", calls, {}, {}, {}, {}};
  for (int round = 1; round <= kRounds; ++round) {
    Progress("pass vs plain loop, %s, %lld calls, round %d", row.fs, calls,
             round);
    long long bytes = Prepare(db, ext4, calls);
    double db_s;
    double t = TimedPass(db, calls, bytes, calls, &db_s);
    row.pass.Add(t, db_s);
    Prepare(db, ext4, calls);
    row.loop.Add(TimedPlainLoop(calls), 0);
    Prepare(db, ext4, calls);
    double sync_s;
    double t_book = TimedBookkeepingLoop(calls, &sync_s);
    row.book.Add(t_book, sync_s);
    Prepare(db, ext4, calls);
    row.two.Add(TimedTwoThreadLoop(calls), 0);
  }
  return row;
}

}  // namespace

void PassVsLoop(Db* db) {
  std::vector<Row> rows;
  for (long long calls : {10000LL, 100000LL})
    rows.push_back(Measure(db, false, calls));
  rows.push_back(Measure(db, true, 100000));
  fprintf(g_out,
          "\n1. One pass vs plain stat+unlink loop, same files in the same "
          "order (2.5 files a call)\n"
          "   %-9s %6s | %6s %6s | %6s %9s | %6s %6s %6s %9s | %6s %6s\n",
          "", "calls", "pass s", "(db s)", "loop s", "pass/loop", "l+b s",
          "(sync)", "/loop", "p-db/l+b", "2thr s", "/loop");
  for (const Row& r : rows) {
    fprintf(g_out,
            "   %-9s %6lld | %6.3f %6.3f | %6.3f %9.2f | %6.3f %6.3f %6.2f "
            "%9.2f | %6.3f %6.2f\n",
            r.fs, r.calls, r.pass.s, r.pass.db_s, r.loop.s, r.pass.s / r.loop.s,
            r.book.s, r.book.db_s, r.book.s / r.loop.s,
            (r.pass.s - r.pass.db_s) / r.book.s, r.two.s, r.two.s / r.loop.s);
  }
  fprintf(g_out,
          "   db s: what the server spent planning and executing the pass's "
          "statements\n   (pg_stat_statements); the pass waits for it.\n"
          "   l+b: the loop plus the pass's bookkeeping system calls (marker "
          "lookup per call,\n   a chunk's intents in one synced write, its "
          "audit lines in a file opened for them,\n   and the syncs that "
          "make a chunk's unlinks and lines durable, (sync): their time);\n"
          "   p-db/l+b: the pass "
          "without its server time against that loop. 2thr: the plain\n   "
          "loop with each chunk's files split between two threads (files "
          "only).\n");
  AddGoal("tmpfs pass / plain loop, 100,000 calls",
          rows[1].pass.s / rows[1].loop.s, true, 1.0);
  AddGoal("ext4 cold pass / plain loop, 100,000 calls",
          rows[2].pass.s / rows[2].loop.s, true, 0.8);
}
