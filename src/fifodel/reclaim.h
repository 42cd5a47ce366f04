// The reclamation pass: frees space by removing the files of the oldest
// archived calls, 200 at a time, and marking those calls in the database.
#ifndef FIFODEL_RECLAIM_H_
#define FIFODEL_RECLAIM_H_

#include "calls.h"

// Removes the media, companion and screen recording files of the oldest
// archived calls until `liBytesToFree` bytes are freed or none is left; marks
// each call whose media file is gone (isarchived=0, flags|4) and charges the
// freed bytes to the calls' tenants, through the counter journal. First
// prunes tree directories older than the oldest archived call: if any went,
// returns true at once, having touched no call, so that free space is
// measured again. False otherwise, errors included (they are logged).
// Calls whose media cannot be removed are logged once and passed over: the
// pass goes on after them, so that they never hold back newer calls.
// `fSim` only logs what would be removed and changes nothing.
bool FIFO_delete(long long liBytesToFree, bool fSim);

#endif  // FIFODEL_RECLAIM_H_
