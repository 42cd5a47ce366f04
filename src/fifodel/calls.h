// The statements on the table `calls`: reading the oldest archived calls,
// marking the reclaimed ones, and the question pruning asks.
#ifndef FIFODEL_CALLS_H_
#define FIFODEL_CALLS_H_

#include <dbi/dbi.h>

#include <optional>
#include <string>
#include <vector>

// Calls read, removed and marked per round trip.
#define CHUNK 200

// One archived call as a chunk delivers it; empty where the column is NULL.
struct CallRow {
  long long llId;
  long long llTenantId;
  int iFlags;
  std::optional<std::string> directory, filename, screenfn;
};

// Where the next chunk starts: the first chunk (no call seen yet) comes
// from the plain statement, ordered by startdate alone; later ones continue
// after the last call seen, in (startdate, id) order, so that every
// archived call is met once however many share a startdate, and calls that
// stay archived (stuck) never come back within a pass.
struct Continuation {
  long long llLastId = 0;             // 0: the first chunk
  std::vector<long long> firstChunk;  // its ids, while the second is due
};

// The statement for the CHUNK oldest archived calls after `from`, and its
// rows (nullopt when it failed).
std::string ChunkStatement(const Continuation& from);
std::optional<std::vector<CallRow>> QueryChunk(dbi_conn conn,
                                               const Continuation& from);

// Why the files of a call must not be touched, or nullptr when they may be
// (NULL for a NULL column, `acScreenFn` NULL when derived): a NULL
// directory or filename, a ".." component in any of the three, a media name
// whose last component is empty or "." (the directory itself).
const char* RowProblem(const char* acDirectory, const char* acFilename,
                       const char* acScreenFn);

// The marking statement for `ids`, each written in full.
std::string MarkingStatement(const std::vector<long long>& ids);

// Asks whether a call not reclaimed yet (reclaimed bit clear, archived or
// not) has its media file in the directory `strRel` (below /recordings) or
// below it, however its directory and file name are spelled ("/", "./",
// "//", "." components, a trailing "/"); a spelling with a ".."
// component counts as everywhere. Returns 1 and sets *llId to one such
// call, 0 for none, -1 when the statement failed. `strRel` is made of digits
// and slashes only: it goes into a LIKE pattern unescaped.
int PendingCallIn(dbi_conn conn, const std::string& strRel, long long* llId);
std::string PendingStatement(const std::string& strRel);

#endif  // FIFODEL_CALLS_H_
