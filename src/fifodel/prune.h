// Pruning of the recording tree: whole year, month, day and hour directories
// older than the oldest archived call.
#ifndef FIFODEL_PRUNE_H_
#define FIFODEL_PRUNE_H_

#include <string>

// `strDirectory` is the oldest archived call's directory, "YYYY/MM/DD/HH"
// (year 2010 or later). Removes with "rm -R" every existing directory of the
// tree older than it: earlier years down to 2010, then earlier months, days
// and hours of the call's year, month and day. In simulation (`fSim`) only
// logs. True when at least one such directory existed; false otherwise, also
// for a malformed or out-of-range `strDirectory` (then nothing is removed).
bool FifoOldestEntry(std::string strDirectory, bool fSim);

// Removes the directory `strDirectory` (an absolute path of digits and
// slashes, put into the command unquoted) with "rm -R", or in simulation
// only logs it. True when the path existed, whatever rm did.
bool deleteDirectory(std::string strDirectory, bool fSim);

#endif  // FIFODEL_PRUNE_H_
