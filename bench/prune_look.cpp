// 3 (continued). What pruning's look costs: before a stale directory goes,
// the whole tree below it is walked for anything written within the hour.
// Here a stale year of 100,000 files in 40,000 calls, none recent, is looked
// at and then removed as a pass would, on tmpfs and on ext4 with a cold
// cache, against its removal alone on an identical tree.
#include <time.h>

#include <algorithm>

#include "measurements.h"
#include "paths.h"
#include "tree.h"

namespace {

const long long kCalls = 40000;  // 2.5 files a call

struct Times {
  double look = 1e9, after = 1e9, alone = 1e9;
};

// The stale year anew, cold when the file system can be; the descriptor of
// /recordings through `tree`.
void Fresh(void (*mount)(), Tree* tree) {
  mount();
  MakeCalls(0, kCalls, true, false);
  if (!tree->Open()) Fail("cannot open /recordings");
  DropCaches();
}

double TimedLook(int rootfd) {
  double t0 = Now();
  // Every file is older than this: the look finds nothing and goes through.
  RecentLook look =
      FindRecent(rootfd, RECORDINGS_DIR, "2024", time(nullptr) + 86400);
  double t = Now() - t0;
  if (!look.strRecent.empty() || !look.strCannot.empty())
    Fail("the look stopped: %s%s", look.strRecent.c_str(),
         look.strCannot.c_str());
  return t;
}

double TimedRemoval(int rootfd) {
  double t0 = Now();
  WalkResult r = RemoveTree(rootfd, RECORDINGS_DIR, "2024");
  double t = Now() - t0;
  if (!r.fDone) Fail("the stale year did not go");
  return t;
}

Times Measure(void (*mount)()) {
  Times best;
  for (int round = 1; round <= kRounds; ++round) {
    {
      Tree looked;
      Fresh(mount, &looked);
      best.look = std::min(best.look, TimedLook(looked.root()));
      best.after = std::min(best.after, TimedRemoval(looked.root()));
    }
    Tree alone;
    Fresh(mount, &alone);
    best.alone = std::min(best.alone, TimedRemoval(alone.root()));
  }
  return best;
}

}  // namespace

void PruneLook() {
  const struct {
    const char* name;
    void (*mount)();
  } kinds[] = {{"tmpfs", TmpfsRecordings},
               {"ext4 cold", [] { Ext4Recordings(4, 400000); }}};
  fprintf(g_out,
          "   pruning's look before a stale year of 100,000 files (40,000 "
          "calls) goes, s:\n"
          "   %-10s | %7s | %13s | %13s | %14s\n",
          "", "look", "removal after", "removal alone", "(look+after)/alone");
  for (const auto& k : kinds) {
    Progress("pruning's look, %s", k.name);
    Times t = Measure(k.mount);
    fprintf(g_out, "   %-10s | %7.3f | %13.3f | %13.3f | %14.2f\n", k.name,
            t.look, t.after, t.alone, (t.look + t.after) / t.alone);
  }
}
