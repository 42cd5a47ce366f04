// The free-space monitor, the service's main loop, and the measurement it
// acts on.
#ifndef FIFODEL_MONITOR_H_
#define FIFODEL_MONITOR_H_

#include <string>

#include "lock.h"

// One measurement of the file system holding /recordings. MB are 2^20 bytes.
struct DiskSpace {
  unsigned long long uliMegsFree;  // at the last good measurement
  long long liToFree;  // bytes missing up to the trigger level; 0 if none
  bool ratherLow;      // free below twice the trigger level
  bool somewhatLow;    // free below four times the trigger level
  // The trigger level of the last measurement; 0 when it failed.
  unsigned long long uliMegsTrigger = 0;
  // Free bytes exactly: MB are too coarse for a fill rate over minutes.
  unsigned long long ullBytesFree = 0;

  // statvfs of /recordings; a failure logs "error getting disk stat" and
  // leaves nothing to free.
  void Calc();
  bool TooLow();  // liToFree > 0
};

// Fills `ds` from statvfs's figures: `ulBlocks` fragments of `ulFrsize`
// bytes, `ulBavail` blocks of `ulBsize` free for unprivileged users.
// Returns the trigger level in MB: 1% of the total, held within 250..2048.
unsigned long long ApplyDiskStats(DiskSpace* ds, unsigned long long ulBlocks,
                                  unsigned long long ulFrsize,
                                  unsigned long long ulBavail,
                                  unsigned long long ulBsize);

struct ServiceOptions {
  std::string strMetricsDir;  // where fifodel.prom goes; empty: nowhere
};

// Measures at once, then every 5, 15 or 60 seconds (below twice the trigger
// level, below four times it, otherwise), faster as space shrinks; when space
// is too low stops captures, deletes logs and, if still short, runs a pass
// while `lock` is held. A pass that pruned stale directories is followed at
// once by a measurement, and by a pass if still short. Publishes the state
// document, the metrics and the service manager's status after every
// measurement and pass. Never returns.
[[noreturn]] void FIFO_check(const ServiceOptions& opts, InstanceLock* lock);

#endif  // FIFODEL_MONITOR_H_
