// The counter journal's lines. Each ends with a checksum, so that a torn or
// garbled one is known and skipped:
//   S                          a segment begins (a pass, or a replay)
//   I call tenant bytes fs dirino dirbirth dirhandle ino birth u|s path
//                              `path` (below /recordings, %-escaped), the
//                              file `ino`/`birth` in the directory
//                              `fs`/`dirino`/`dirbirth`/`dirhandle`, is
//                              about to be unlinked or shredded; it frees
//                              `bytes` for `tenant`
//   O tenant delta             `delta` is owed to `tenant`'s counter (what a
//                              replay found gone, summed)
//   A [n]                      the audit trail names the segment's first n
//                              intents (all above, without n)
//   C xid [tenant...]          transaction `xid` charged the segment's files
//                              that are gone and its debts, but those of the
//                              tenants listed; "-" for no transaction: what
//                              the segment names was charged elsewhere
#ifndef FIFODEL_JOURNAL_FORMAT_H_
#define FIFODEL_JOURNAL_FORMAT_H_

#include <string>

#include "identity.h"

struct Intent {
  long long llCall = 0, llTenant = 0, llBytes = 0;
  DirId dir;
  FileId file;
  bool fShred = false;
  std::string strRel;  // below /recordings
};

// `payload` with its checksum and the line end.
std::string JournalLine(const std::string& payload);
// The payload of `line` (without its line end) when its checksum holds.
bool JournalPayload(const std::string& line, std::string* payload);

std::string IntentLine(const Intent& intent);
bool ParseIntent(const std::string& payload, Intent* intent);

std::string OwedLine(long long llTenant, long long llDelta);
bool ParseOwed(const std::string& payload, long long* llTenant,
               long long* llDelta);

#endif  // FIFODEL_JOURNAL_FORMAT_H_
