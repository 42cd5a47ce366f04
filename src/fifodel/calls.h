// The statements on the table `calls`: reading the oldest archived calls,
// marking the reclaimed ones, and the questions pruning and the continuation
// past stuck calls ask.
#ifndef FIFODEL_CALLS_H_
#define FIFODEL_CALLS_H_

#include <dbi/dbi.h>

#include <string>
#include <vector>

// Calls read, removed and marked per round trip.
#define CHUNK 200

// One archived call as a chunk delivers it. The strings point into the
// chunk's result and live as long as it does.
struct CallRow {
  long long llId;
  long long llTenantId;
  int iFlags;
  const char* acDirectory;  // NULL when the column is NULL
  const char* acFilename;
  const char* acScreenFn;
};

// Where a pass continues once it has met calls it cannot reclaim: after the
// call `llId`, whose startdate reads as `strStartdate`. Empty: from the
// oldest archived call, with the plain chunk statement.
struct Continuation {
  std::string strStartdate;
  long long llId = 0;
};

// The CHUNK oldest archived calls, after `from` when it is set (then ordered
// by startdate and id, so that the order is total). NULL when the statement
// failed.
dbi_result QueryChunk(dbi_conn conn, const Continuation& from);

CallRow ReadRow(dbi_result result);

// The marking statement for `ids`, each written in full.
std::string MarkingStatement(const std::vector<long long>& ids);

// Continues after call `llId`: reads its startdate. False when the statement
// failed or the call is gone.
bool ContinueAfter(dbi_conn conn, long long llId, Continuation* from);

// Asks whether a call that is still waiting to be archived (isarchived = 0,
// reclaimed bit clear) lives in the directory `strRel` (below /recordings)
// or below it. Returns 1 and sets *llId to one such call, 0 for none, -1
// when the statement failed. `strRel` is made of digits and slashes only: it
// goes into LIKE patterns unescaped.
int PendingCallIn(dbi_conn conn, const std::string& strRel, long long* llId);

#endif  // FIFODEL_CALLS_H_
