// `fifodel status`: what the running service last published, for a person
// or, with --json, for a program. Reads the lock and the state document
// only, never the database or the tree, so it answers at once whatever state
// those are in, and any user may run it.
#ifndef FIFODEL_STATUS_H_
#define FIFODEL_STATUS_H_

#include <time.h>

#include <string>
#include <vector>

#include "statedoc.h"

// The judgement, in the convention of monitoring plugins:
//   0  all well;
//   1  warning: calls or directories stuck, the database unreachable at the
//      last pass, a counter journal pending, the last measurement failed,
//      or the trigger level less than an hour away while no pass has run
//      for an hour;
//   2  free space below the trigger level after a pass;
//   3  the service is not running (nobody holds the lock), has not
//      published yet, or its state is older than three minutes.
struct Verdict {
  int code = 0;
  std::vector<std::string> reasons;
};

// Pure: judges `st` (`fState`: a state was read at all) of the service
// holding the lock as `pid` ("" when none does) at `now`.
Verdict Judge(const ServiceState& st, bool fState, const std::string& pid,
              time_t now);

// Prints the status on standard output, the whole state document with the
// judgement added when `fJson`, and returns the judgement's code.
int StatusCommand(bool fJson);

#endif  // FIFODEL_STATUS_H_
