// The free-space monitor, the service's main loop, and the measurement it
// acts on.
#ifndef FIFODEL_MONITOR_H_
#define FIFODEL_MONITOR_H_

#include <string>

#include "lock.h"

// One measurement of the file system holding /recordings. MB are 2^20 bytes.
struct DiskSpace {
  unsigned long long uliMegsFree;  // free MB at the last good measurement
  long long liToFree;  // bytes missing up to the trigger level; 0 if none
  bool ratherLow;      // free below twice the trigger level
  bool somewhatLow;    // free below four times the trigger level
  // The trigger level in MB of the last measurement; 0 while none succeeded
  // or after a failed one, which is how a failure shows.
  unsigned long long uliMegsTrigger = 0;
  // Free bytes exactly, for the fill rate: MB are too coarse over minutes.
  unsigned long long ullBytesFree = 0;

  // Measures /recordings with statvfs. On failure logs "error getting disk
  // stat" at LOG_WARNING and leaves liToFree 0, uliMegsTrigger 0 and both
  // flags clear.
  void Calc();
  // True exactly when liToFree > 0.
  bool TooLow();
};

// Fills `ds` from the raw figures of statvfs: `ulBlocks` fragments of
// `ulFrsize` bytes in all, `ulBavail` blocks of `ulBsize` bytes free for
// unprivileged users. Returns the trigger level in MB, also kept in
// uliMegsTrigger: 1% of the total, held within 250 to 2048.
unsigned long long ApplyDiskStats(DiskSpace* ds, unsigned long long ulBlocks,
                                  unsigned long long ulFrsize,
                                  unsigned long long ulBavail,
                                  unsigned long long ulBsize);

struct ServiceOptions {
  std::string strMetricsDir;  // where fifodel.prom goes; empty: nowhere
};

// Measures every 5, 15 or 60 seconds, faster as space shrinks; when space is
// too low stops captures, deletes logs and, if still short, runs a
// reclamation pass (only while `lock` is held). A pass that pruned stale
// directories is followed by a new measurement at once, and a new pass if
// space is still short: pruning never costs a cycle. After every measurement
// and pass it publishes the state document, the metrics and the service
// manager's status and watchdog. Never returns.
[[noreturn]] void FIFO_check(const ServiceOptions& opts, InstanceLock* lock);

#endif  // FIFODEL_MONITOR_H_
