// 2. The pipeline administrators write against the pass, where it matters: a
// tree of a million files on a disk whose inodes are not cached, of which
// one pass frees the oldest 1%. The tree is built once; after each timed
// part the files it removed are made again (and their rows restored), so
// every part meets the same tree, its caches dropped.
#include "measurements.h"

namespace {

const long long kCalls = 400000;  // 1,000,000 files
const long long kGone = 4000;     // 10,000 files, 1%

struct Result {
  long long gone_bytes = 0;
  Best find, pass, loop;
};

void Restore(Db* db, bool rows) {
  MakeCalls(0, kGone, false, true);
  if (!rows) return;
  db->Exec("UPDATE calls SET isarchived = 1, flags = flags & ~4 WHERE id <= " +
           std::to_string(kGone));
  db->Exec("UPDATE configs SET value = '1000000000000'");
  db->Exec("VACUUM ANALYZE calls");
}

void Check(const char* who) {
  if (!OldestGone(kCalls, kGone))
    Fail("%s did not remove exactly the oldest %lld calls' files", who, kGone);
}

// The time stamp must be cut off before rm: with it every name is wrong, and
// rm -f removes nothing without a word.
const std::string kPipeline =
    "find /recordings -type f -printf '%T@ %p\\n' | sort -n | head -n " +
    std::to_string(kGone * 5 / 2) +
    " | cut -d ' ' -f 2- | xargs -d '\\n' rm -f";

void Round(Db* db, Result* r) {
  DropCaches();
  r->find.Add(TimedShell(kPipeline), 0);
  Check("find|sort|rm");
  Restore(db, false);
  DropCaches();
  double db_s;
  double t = TimedPass(db, kCalls, r->gone_bytes, kGone, &db_s);
  r->pass.Add(t, db_s);
  Restore(db, true);
  DropCaches();
  r->loop.Add(TimedPlainLoop(kGone), 0);
  Check("the plain loop");
  Restore(db, false);
}

}  // namespace

void FindVsFifodel(Db* db) {
  Progress("find|sort|rm vs fifodel: building %lld files on ext4",
           kCalls * 5 / 2);
  Ext4Recordings(8, 1300000);
  MakeCalls(0, kCalls, false, true);
  ResetTables(db);
  InsertArchived(db, 0, kCalls);
  Result r;
  for (long long n = 0; n < kGone; ++n)
    for (size_t k = 0; k < CallFiles(n).size(); ++k)
      r.gone_bytes += FileSize(n, k, false);
  for (int round = 1; round <= kRounds; ++round) {
    Progress("find|sort|rm vs fifodel, round %d", round);
    Round(db, &r);
  }
  fprintf(g_out,
          "\n2. find|sort|head|cut|xargs rm vs fifodel, ext4 cold, %lld files "
          "in %lld calls;\n   the oldest %lld files (%lld calls, %lld bytes) "
          "go\n"
          "   %-40s %8.3f s\n   %-40s %8.3f s (db %.3f s)\n"
          "   %-40s %8.3f s\n   %-40s %8.2f\n   %-40s %8.2f\n",
          kCalls * 5 / 2, kCalls, kGone * 5 / 2, kGone, r.gone_bytes,
          "find-sort-remove", r.find.s, "fifodel pass", r.pass.s, r.pass.db_s,
          "plain stat+unlink loop, same files", r.loop.s,
          "find-sort-remove / fifodel", r.find.s / r.pass.s,
          "fifodel / plain loop", r.pass.s / r.loop.s);
  AddGoal("ext4 cold, 1M files, 1%: find-sort-remove / fifodel",
          r.find.s / r.pass.s, false, 10);
}
