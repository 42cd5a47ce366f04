// The counter journal: what a pass is about to remove, on the disk before
// the unlink, so that no kill, restart or database outage loses a count,
// and the id of the tenant transaction before its COMMIT, so that none is
// charged twice. Lines, each with a checksum (a torn or garbled one is
// skipped):
//   S                          a pass's segment begins
//   I call tenant bytes inode u|s path
//                              `path` (below /recordings, %-escaped) is
//                              about to be unlinked or shredded; it frees
//                              `bytes` for `tenant`
//   A                          the audit trail names the files above
//   C xid [tenant...]          transaction `xid` charged every file of the
//                              segment that is gone, but the tenants listed
#ifndef FIFODEL_JOURNAL_H_
#define FIFODEL_JOURNAL_H_

#include <functional>
#include <string>
#include <vector>

#include "tenancy.h"

struct Intent {
  long long llCall, llTenant, llBytes;
  unsigned long long ullIno;
  bool fShred;
  std::string strRel;
};

std::string IntentLine(const Intent& intent);

// pg_xact_status, or kUnknown when the server can no longer tell (an old or
// restored database).
enum XactFate { kCommitted, kAborted, kInProgress, kUnknown };

struct Pending {
  LLMAP owed;                     // per tenant, negative: still to charge
  std::vector<Intent> charged;    // the gone files behind `owed`
  std::vector<Intent> unaudited;  // gone, named by no audit line yet
  bool fUndecided = false;        // a transaction still in progress
  int iUnknown = 0, iBadLines = 0;
};

// Pure: what `text` leaves to do, given which files are `gone` and the
// `fate` of transactions. One of unknown fate counts as committed: a charge
// is never applied twice.
Pending ResolveJournal(const std::string& text,
                       const std::function<bool(const Intent&)>& gone,
                       const std::function<XactFate(const std::string&)>& fate);

bool JournalPending();  // a journal file holds anything

// Settles what earlier passes left: audits what a kill kept from the audit
// trail, charges what is owed in one transaction and removes what is
// settled; leaves it for later when the database cannot decide.
void ApplyPendingJournal();

// The journal of one pass, appended at its end. Not used in simulation.
class Journal {
 public:
  // `fWhole`: the file as it is (a rewritten journal) is the segment.
  explicit Journal(bool fWhole = false) : fWhole_(fWhole) {}
  Journal(const Journal&) = delete;
  Journal& operator=(const Journal&) = delete;
  ~Journal();
  // A chunk's intents, with one write and one fdatasync; false (said once)
  // when they are not on the disk.
  bool Intend(const std::vector<Intent>& intents);
  void Audited();
  // True when transaction `xid` may commit: its line is on the disk, or the
  // segment is cut off (then a crash may lose these counts, never double
  // them).
  bool BeforeCommit(const std::string& xid, const LLMAP& failed);
  // Committed, or nothing to charge: the journal goes, unless a leftover of
  // an earlier pass stands in front, which the next replay settles with it.
  void Settled();

 private:
  bool Append(const std::string& text, bool fSync);
  const bool fWhole_;
  int fd_ = -1;
  long long llBase_ = -1;  // where the segment starts
  bool fWritten_ = false, fDirty_ = false, fComplained_ = false;
};

#endif  // FIFODEL_JOURNAL_H_
