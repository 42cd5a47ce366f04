// The counter journal: the bytes charged to each tenant by a pass, kept on
// disk from the moment a call's files are gone until the tenant transaction
// has committed them, so that a pass cut short (SIGKILL, a restart, the
// database going away) loses no count.
#ifndef FIFODEL_JOURNAL_H_
#define FIFODEL_JOURNAL_H_

#include <map>

// Tenant id to the bytes charged and not yet committed to its counter.
typedef std::map<long long, long long> Owed;

// True when a journal file exists: counts are waiting to be committed.
bool JournalPending();

// Applies a pending journal with the tenant counter statements in one
// transaction (a bad counter spoils only itself), logged at LOG_NOTICE, and
// keeps in the journal only what could not be committed. Does nothing when
// none is pending. Called at start, before the monitor, and at the start of
// every pass.
void ApplyPendingJournal();

// The journal of one pass. Not used in simulation.
class Journal {
 public:
  Journal() = default;
  Journal(const Journal&) = delete;
  Journal& operator=(const Journal&) = delete;
  ~Journal();

  // Appends the charge of one file, as soon as it is gone.
  void Append(long long llTenantId, long long llBytes);
  // Flushes the appended charges to the disk (fdatasync): before a chunk is
  // marked.
  void Sync();

 private:
  int fd_ = -1;
  bool fComplained_ = false;  // a write failed and was logged
};

// Reads the journal file, summed per tenant; empty when there is none.
Owed ReadJournal();

// The counters in `committed` have been committed: takes them off the
// journal, removing the file when nothing is owed any more.
void SettleJournal(const Owed& committed);

#endif  // FIFODEL_JOURNAL_H_
