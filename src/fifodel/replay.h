// Settles what a pass cut short (a kill, a restart, a database that went
// away) left in the counter journal: which of its files really left the
// disk, which of its transactions really committed, and what is therefore
// still owed to each tenant's counter.
#ifndef FIFODEL_REPLAY_H_
#define FIFODEL_REPLAY_H_

#include <functional>
#include <string>
#include <vector>

#include "journal_format.h"
#include "tenancy.h"

// pg_xact_status, or kUnknown when the server can no longer tell (an old or
// restored database).
enum XactFate { kCommitted, kAborted, kInProgress, kUnknown };

// Whether an intent's file left the disk: kUndecided when that cannot be
// told (its directory is neither where it was nor, by its handle, anywhere
// else on its file system, or the name cannot be looked at); kAbsent while
// its file system is not there to ask (not mounted yet).
enum Presence { kGone, kThere, kUndecided, kAbsent };

struct Pending {
  LLMAP owed;                     // per tenant, negative: still to charge
  std::vector<Intent> charged;    // the gone files behind `owed`, but debts
  std::vector<Intent> unaudited;  // gone, named by no audit line yet
  bool fUndecided = false;        // a transaction still in progress
  int iUnknown = 0, iBadLines = 0;
  int iUnjudged = 0;         // files owed, of unknown fate: not charged
  long long llUnjudged = 0;  // and their bytes
  // Files still to charge or to audit whose file system is not there: kept
  // in the journal until it is.
  struct Waiting {
    Intent intent;
    bool fPending, fUnaudited;
  };
  std::vector<Waiting> waiting;
};

// Pure: what `text` leaves to do, given where each intent's file is and the
// `fate` of transactions. One of unknown fate counts as committed, and a
// file named by several intents counts at the last of them only: a charge is
// never applied twice, nor invented for a file not known to be gone.
Pending ResolveJournal(const std::string& text,
                       const std::function<Presence(const Intent&)>& presence,
                       const std::function<XactFate(const std::string&)>& fate);

// Settles the journal against the tree and the server: audits what a kill
// kept from the audit trail, charges what is owed in one transaction and
// removes what is settled; leaves it for later when the database cannot
// decide or the journal cannot be rewritten.
void ApplyPendingJournal();

#endif  // FIFODEL_REPLAY_H_
