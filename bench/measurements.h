// The benchmark's measurements, one file each. Each prints its section of
// the table to g_out and adds its goals; bench/run's numbers select them.
#ifndef FIFODEL_BENCH_MEASUREMENTS_H_
#define FIFODEL_BENCH_MEASUREMENTS_H_

#include "harness.h"

// 1. One pass against the plain stat+unlink loop over the same files, on
// tmpfs and on ext4 with a cold cache.
void PassVsLoop(Db* db);
// 2. The find|sort|rm pipeline, the pass and the plain loop freeing the
// oldest 1% of a million-file tree on ext4, cold.
void FindVsFifodel(Db* db);
// 3. The pass over a calls table of growing history, the plans of the
// pass's and pruning's queries and the size of pruning's index; then
// PruneLook, what pruning's look below a stale year costs.
void TableScale(Db* db);
void PruneLook();
// 4. The service binary's footprint: StartIdleService at the start (its
// minute runs beside the others), Footprint at the end.
void StartIdleService();
void Footprint(Db* db);
// 5. The real service against a simulated recorder at several rates.
void KeepUpWithRecorder(Db* db);

#endif  // FIFODEL_BENCH_MEASUREMENTS_H_
