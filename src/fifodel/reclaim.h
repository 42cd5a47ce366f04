// The reclamation pass: frees space by removing the files of the oldest
// archived calls, 200 at a time, and marking those calls in the database.
#ifndef FIFODEL_RECLAIM_H_
#define FIFODEL_RECLAIM_H_

#include <functional>

#include "report.h"

struct PassRequest {
  long long liBytesToFree = 0;
  bool fSim = false;
  long long llNumber = 1;                // for the report and the audit trail
  const StuckRegistry* known = nullptr;  // stuck items said already
  std::function<void()> betweenChunks;   // the monitor's watchdog
};

// Removes the media, companion and screen recording files of the oldest
// archived calls until `liBytesToFree` bytes are freed or none is left; marks
// each call whose media file is gone (isarchived=0, flags|4) and charges the
// freed bytes to the calls' tenants. First prunes tree directories older
// than the oldest archived call: if any went, ends at once, having touched
// no call, so that free space is measured again.
//
// For each chunk of calls: looks at every file first, writes the chunk's
// intents to the counter journal (one write, one fdatasync), removes the
// files, each through a fresh resolution of its directory beneath
// /recordings, writes the audit lines, and only then marks the calls. Calls
// whose media cannot be removed are reported and passed over. With `fSim`
// only logs what would be removed and changes nothing.
PassReport RunPass(const PassRequest& request);

// One pass on its own; true when it pruned directories.
bool FIFO_delete(long long liBytesToFree, bool fSim);

#endif  // FIFODEL_RECLAIM_H_
