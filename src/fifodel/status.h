// `fifodel status`: what the running service last published, for a person
// or, with --json, a program. Reads only the lock and the state document,
// never the database or the tree: any user may run it, and it answers at
// once whatever state those are in. Whatever the document holds, it is
// printed escaped, and a document it cannot read is "unknown".
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
// 3 not running, nothing published, an unreadable document, silent for
// three minutes, or dated in the future.
struct Verdict {
  int code = 0;
  std::vector<std::string> reasons;
};

// What was found where the state document lives.
enum class Found { kNothing, kMalformed, kState };

// Pure: the verdict on `st` (read as `found`) of the process that holds the
// lock as `pid` ("" for none), at `now`.
Verdict Judge(const ServiceState& st, Found found, const std::string& pid,
              time_t now);

// Pure: the report on the state document `text` ("" when there is none) of
// the process `pid` at `now`, appended to `out` as text or, with `fJson`, as
// the document with the verdict added; `strNote`, unless empty, is one more
// reason. Returns the verdict's code.
int StatusReport(const std::string& text, const std::string& pid,
                 const std::string& strNote, bool fJson, time_t now,
                 std::string* out);

// Prints the status and returns the verdict's code.
int StatusCommand(bool fJson);

#endif  // FIFODEL_STATUS_H_
