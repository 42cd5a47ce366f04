// The counter journal: what a pass is about to remove, on the disk before
// the unlink, so that no kill, restart or database outage loses a tenant's
// bytes, and what the tenant transaction committed, so that none is charged
// twice. Lines are appended; each carries a checksum, and a torn or garbled
// line is skipped with a warning.
//
//   S                      a new segment: what follows belongs to one pass
//   I call tenant bytes inode u|s path
//                          the file `path` (below /recordings, escaped) of
//                          the call is about to be unlinked (u) or shredded
//                          (s); removing it frees `bytes` for `tenant`
//   A                      the audit trail names the files above
//   C xid [tenant...]      the tenant transaction `xid`, about to commit,
//                          charged every file above in this segment that is
//                          gone, but those of the tenants listed (their
//                          counters failed)
#ifndef FIFODEL_JOURNAL_H_
#define FIFODEL_JOURNAL_H_

#include <functional>
#include <string>
#include <vector>

#include "tenancy.h"

struct Intent {
  long long llCall = 0;
  long long llTenant = 0;
  long long llBytes = 0;
  unsigned long long ullIno = 0;
  bool fShred = false;
  std::string strRel;
};

// The journal line of `intent`, checksum and line end included.
std::string IntentLine(const Intent& intent);

// What the server says of a transaction: pg_xact_status, or kUnknown when it
// can no longer tell (too old, or a database that was restored).
enum XactFate { kCommitted, kAborted, kInProgress, kUnknown };

// What a journal's text leaves to do.
struct Pending {
  LLMAP owed;                      // per tenant, negative: still to charge
  std::vector<Intent> charged;     // the gone files behind `owed`
  std::vector<Intent> unaudited;   // gone, and named by no audit line yet
  bool fUndecided = false;         // a transaction still in progress
  int iUnknown = 0;                // transactions of unknown fate
  int iBadLines = 0;               // torn or garbled, skipped
};

// Pure: resolves `text` with `gone` (has the intent's file left the disk?)
// and `fate`. A segment's intents are owed when their file is gone and no
// committed transaction of theirs charged them. A transaction of unknown fate
// counts as committed: a counter is never charged twice.
Pending ResolveJournal(const std::string& text,
                       const std::function<bool(const Intent&)>& gone,
                       const std::function<XactFate(const std::string&)>& fate);

// True when a journal file exists and holds anything.
bool JournalPending();

// Settles a journal left by earlier passes: writes the audit lines that a
// kill kept from being written, charges what is owed in one tenant
// transaction (logged like a pass's) and removes what is settled. Leaves
// the journal for later when the database cannot be reached or a
// transaction is still undecided. Called at start and by every pass.
void ApplyPendingJournal();

// The journal of one pass, appended from its end. Not used in simulation.
class Journal {
 public:
  // `fWhole`: the file as it is (a rewritten journal) is this one's segment.
  explicit Journal(bool fWhole = false) : fWhole_(fWhole) {}
  Journal(const Journal&) = delete;
  Journal& operator=(const Journal&) = delete;
  ~Journal();

  // Appends the intents of one chunk with one write and one fdatasync. False
  // (logged once per pass) when they are not on the disk.
  bool Intend(const std::vector<Intent>& intents);
  // The chunk's audit lines are written.
  void Audited();
  // Before the tenant transaction `xid` commits, leaving out `failed`: true
  // when it may commit. When its line cannot be written the pass's segment
  // is cut off instead: counts may then be lost to a crash, never doubled.
  bool BeforeCommit(const std::string& xid, const LLMAP& failed);
  // The pass's charges are settled (committed, or nothing to charge): its
  // segment goes, and the file with it when nothing else is in it.
  void Settled();

 private:
  bool Append(const std::string& text, bool fSync);
  const bool fWhole_;
  int fd_ = -1;
  long long llBase_ = -1;  // where this pass's segment starts
  bool fWritten_ = false;  // some of it is in the file
  bool fDirty_ = false;    // a failed write left bytes that would not go
  bool fComplained_ = false;
};

#endif  // FIFODEL_JOURNAL_H_
