// The free-space monitor, the service's main loop, and the measurement it
// acts on.
#ifndef FIFODEL_MONITOR_H_
#define FIFODEL_MONITOR_H_

// One measurement of the file system holding /recordings. MB are 2^20 bytes.
struct DiskSpace {
  unsigned long long uliMegsFree;  // free MB at the last good measurement
  long long liToFree;  // bytes missing up to the trigger level; 0 if none
  bool ratherLow;      // free below twice the trigger level
  bool somewhatLow;    // free below four times the trigger level

  // Measures /recordings with statvfs. On failure logs "error getting disk
  // stat" at LOG_WARNING and leaves liToFree 0 and both flags clear.
  void Calc();
  // True exactly when liToFree > 0.
  bool TooLow();
};

// Fills `ds` from the raw figures of statvfs: `ulBlocks` fragments of
// `ulFrsize` bytes in all, `ulBavail` blocks of `ulBsize` bytes free for
// unprivileged users. Returns the trigger level in MB: 1% of the total,
// held within 250 to 2048.
unsigned long long ApplyDiskStats(DiskSpace* ds, unsigned long long ulBlocks,
                                  unsigned long long ulFrsize,
                                  unsigned long long ulBavail,
                                  unsigned long long ulBsize);

// Measures every 5, 15 or 60 seconds, faster as space shrinks; when space is
// too low stops captures, deletes logs and, if still short, runs a
// reclamation pass. Never returns.
void FIFO_check();

#endif  // FIFODEL_MONITOR_H_
