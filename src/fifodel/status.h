// `fifodel status`: what the running service last published, for a person
// or, with --json, a program. Reads only the lock and the state document,
// never the database or the tree: any user may run it, and it answers at
// once whatever state those are in.
#ifndef FIFODEL_STATUS_H_
#define FIFODEL_STATUS_H_

#include <time.h>

#include <string>
#include <vector>

#include "statedoc.h"

// The verdict, as monitoring plugins read it: 0 all well; 1 warning
// (something stuck, the database unreachable at the last pass, a journal
// pending, a failed measurement, the trigger level within the hour while no
// pass ran for an hour); 2 free space below the trigger level after a pass;
// 3 not running, nothing published, or silent for three minutes.
struct Verdict {
  int code = 0;
  std::vector<std::string> reasons;
};

// Pure: the verdict on `st` (`fState`: there was one) of the process that
// holds the lock as `pid` ("" for none), at `now`.
Verdict Judge(const ServiceState& st, bool fState, const std::string& pid,
              time_t now);

// Prints the status, as text or as the state document with the verdict
// added, and returns the verdict's code.
int StatusCommand(bool fJson);

#endif  // FIFODEL_STATUS_H_
