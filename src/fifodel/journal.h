// The counter journal: what a pass is about to remove, on the disk before
// the unlink, so that no kill, restart or database outage loses a count,
// and the id of the tenant transaction before its COMMIT, so that none is
// charged twice. Its lines are in journal_format.h; what a pass cut short
// leaves is settled by replay.h.
#ifndef FIFODEL_JOURNAL_H_
#define FIFODEL_JOURNAL_H_

#include <mutex>
#include <string>
#include <vector>

#include "journal_format.h"
#include "tenancy.h"

// A journal of the service's own holds anything.
bool JournalPending();

// The journal's text, read as every file the service owns is opened: a
// regular file with one link, never through a link, never blocking on a
// fifo. False, with errno, when there is none or it is no such file.
bool ReadJournal(std::string* text);

// The journal of one pass, appended at its end. Not used in simulation. The
// pass's own thread writes the intents, its database thread the notes that
// a chunk is audited: each call holds the journal alone.
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
  // How many intents of this segment are on the disk so far.
  long long Intended();
  // Whether call `llCall` must be left alone: the journal failed this pass
  // while what an earlier pass left, which names the call, stands in front.
  // Its replay will settle the call's files; removed now without a word in
  // the journal, they would be charged by this pass and by that replay.
  bool Spares(long long llCall);
  // The audit trail names the segment's first `llIntents` intents.
  void Audited(long long llIntents);
  // True when transaction `xid` may commit: its line is on the disk, or the
  // segment is cut off (then a crash may lose these counts, never double
  // them). Behind what an earlier pass left, the segment cannot be cut:
  // false then, said at LOG_ERR, when part of it is on the disk, whose
  // replay will charge it; true when none is and the calls the leftover
  // names were spared.
  bool BeforeCommit(const std::string& xid, const LLMAP& failed);
  // Committed, or nothing to charge: the journal goes, unless a leftover of
  // an earlier pass stands in front, which the next replay settles with it.
  void Settled();

 private:
  bool Append(const std::string& text);  // and fdatasync
  std::mutex mu_;
  const bool fWhole_;
  int fd_ = -1;
  long long llBase_ = -1;  // where the segment starts
  bool fWritten_ = false, fDirty_ = false, fComplained_ = false;
  bool fLost_ = false;  // some intents are not on the disk
  long long llIntents_ = 0;
  bool fSparesRead_ = false;
  std::vector<long long> spared_;  // calls the leftover names, sorted
};

#endif  // FIFODEL_JOURNAL_H_
