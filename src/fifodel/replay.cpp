// The invariant a replay keeps: a tenant is charged for a file exactly once
// if, and only if, the file is known to have left the disk. Known means its
// directory was found with the identity the intent recorded (file system,
// inode, birth; by its path or, moved, by its handle) and the name is gone
// from it or names another file (a reused inode number has another birth).
// Anything it cannot tell is left uncharged and said: a count may be lost,
// never invented or doubled. Every step that drops something from the
// journal comes after what it drops is on the disk elsewhere: audit lines
// before the intents that name them go, the tenant transaction's id before
// its COMMIT.
#include "replay.h"

#include <errno.h>
#include <fcntl.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <syslog.h>
#include <unistd.h>

#include <algorithm>
#include <map>
#include <set>
#include <sstream>
#include <tuple>

#include "audit.h"
#include "db.h"
#include "faults.h"
#include "files.h"
#include "journal.h"
#include "logging.h"
#include "paths.h"
#include "tree.h"

namespace {

struct Entry {  // one intent of a segment: still to charge, still to audit
  Intent intent;
  bool fPending = true, fUnaudited = true;
};

struct Debt {
  long long llTenant, llDelta;
  bool fPending = true;
};

struct Segment {
  std::vector<Entry> entries;
  std::vector<Debt> debts;
};

// "C xid [tenant...]": a committed transaction (or one whose fate is not
// known, or "-" for none) charged the segment but the tenants listed.
void Commit(const std::string& payload,
            const std::function<XactFate(const std::string&)>& fate,
            Segment* seg, Pending* p) {
  std::istringstream in(payload.substr(2));
  std::string xid;
  std::set<long long> failed;
  in >> xid;
  for (long long t; in >> t;) failed.insert(t);
  XactFate f = xid == "-" ? kCommitted : fate(xid);
  p->fUndecided = p->fUndecided || f == kInProgress;
  p->iUnknown += f == kUnknown;
  if (f != kCommitted && f != kUnknown) return;
  for (Entry& e : seg->entries)
    if (!failed.count(e.intent.llTenant)) e.fPending = false;
  for (Debt& d : seg->debts)
    if (!failed.count(d.llTenant)) d.fPending = false;
}

// A file named by several intents (a kept call tried again, two rows naming
// one media file, a later pass after a leftover) left the disk at the last
// of them at most: only that one counts. A file is its directory's identity,
// its name there and its own identity: never a name alone.
std::vector<bool> LastOfTheirFile(const std::vector<Entry>& all) {
  typedef std::tuple<unsigned long long, unsigned long long, long long,
                     std::string, unsigned long long, long long>
      Key;
  std::set<Key> later;
  std::vector<bool> last(all.size());
  for (size_t i = all.size(); i-- > 0;) {
    const Intent& in = all[i].intent;
    last[i] = later
                  .insert({in.dir.ullFs, in.dir.id.ullIno, in.dir.id.llBirth,
                           in.strRel.substr(in.strRel.rfind('/') + 1),
                           in.file.ullIno, in.file.llBirth})
                  .second;
  }
  return last;
}

void Owe(Pending* p, long long llTenant, long long llDelta) {
  if (llTenant) p->owed[llTenant] = SaturatingAdd(p->owed[llTenant], llDelta);
}

void Settle(const std::function<Presence(const Intent&)>& presence,
            const std::vector<Segment>& segments, Pending* p) {
  std::vector<Entry> all;
  for (const Segment& s : segments) {
    all.insert(all.end(), s.entries.begin(), s.entries.end());
    for (const Debt& d : s.debts)
      if (d.fPending) Owe(p, d.llTenant, d.llDelta);
  }
  std::vector<bool> last = LastOfTheirFile(all);
  for (size_t i = 0; i < all.size(); ++i) {
    const Entry& e = all[i];
    if (!last[i] || !(e.fPending || e.fUnaudited)) continue;
    Presence is = presence(e.intent);
    if (is == kAbsent)
      p->waiting.push_back({e.intent, e.fPending, e.fUnaudited});
    if (is == kUndecided && e.fPending) {
      ++p->iUnjudged;
      p->llUnjudged = SaturatingAdd(p->llUnjudged, e.intent.llBytes);
    }
    if (is != kGone) continue;
    if (e.fUnaudited) p->unaudited.push_back(e.intent);
    if (!e.fPending) continue;
    p->charged.push_back(e.intent);
    Owe(p, e.intent.llTenant, -e.intent.llBytes);
  }
}

void Take(const std::string& payload,
          const std::function<XactFate(const std::string&)>& fate,
          std::vector<Segment>* segments, Pending* p) {
  Segment& seg = segments->back();
  Intent i;
  long long llTenant, llDelta;
  if (payload == "S") {
    segments->emplace_back();
  } else if (payload == "A" || payload.compare(0, 2, "A ") == 0) {
    // "A n": the segment's first n intents; "A": all so far.
    size_t n = payload == "A" ? seg.entries.size()
                              : strtoull(payload.c_str() + 2, nullptr, 10);
    for (size_t k = 0; k < std::min(n, seg.entries.size()); ++k)
      seg.entries[k].fUnaudited = false;
  } else if (payload.compare(0, 2, "C ") == 0) {
    Commit(payload, fate, &seg, p);
  } else if (ParseOwed(payload, &llTenant, &llDelta)) {
    seg.debts.push_back({llTenant, llDelta});
  } else if (ParseIntent(payload, &i)) {
    seg.entries.push_back({i});
  } else {
    ++p->iBadLines;
  }
}

// The directories of a journal's intents, each found once: at its path if
// it is still the directory the intent recorded, or else through its
// handle wherever it was moved on its file system. Gone files are judged
// by directories synced first, so that no power loss brings back a file
// that is charged as gone.
class Directories {
 public:
  explicit Directories(int rootfd) : rootfd_(rootfd) {}
  ~Directories() {
    for (const auto& [key, fd] : found_)
      if (fd >= 0) close(fd);
  }
  Presence Judge(const Intent& i) {
    int dirfd = Find(i);
    struct statx stx;
    const std::string name = i.strRel.substr(i.strRel.rfind('/') + 1);
    if (dirfd < 0) return dirfd == kNoFileSystem ? kAbsent : kUndecided;
    bool fThere = StatxAt(dirfd, name.c_str(), &stx);
    if (!fThere && errno != ENOENT) return kUndecided;
    if (fThere && FileIdOf(stx) == i.file) return kThere;
    if (synced_.insert(dirfd).second) fsync(dirfd);
    return kGone;
  }

 private:
  static const int kNoFileSystem = -2;
  int Find(const Intent& i) {
    auto key = std::make_tuple(i.dir.ullFs, i.dir.id.ullIno, i.dir.id.llBirth);
    auto [it, fNew] = found_.try_emplace(key, -1);
    if (fNew) it->second = Open(i);
    return it->second;
  }
  // The directory at its path, or else the nearest directory on its file
  // system on the way up to the root, through which its handle finds it
  // wherever it was moved; kNoFileSystem when none is on that file system.
  int Open(const Intent& i) {
    std::string at = i.strRel.substr(0, i.strRel.rfind('/'));
    for (bool fOwn = true;; fOwn = false) {
      int fd = at.empty() ? dup(rootfd_) : OpenBeneath(rootfd_, at, false);
      DirId now;
      bool fSameFs = fd >= 0 && DirIdOf(fd, &now) && now.ullFs == i.dir.ullFs;
      if (fSameFs && fOwn && now == i.dir) return fd;
      int moved = fSameFs ? OpenDirByHandle(fd, i.dir) : -1;
      if (fd >= 0) close(fd);
      if (fSameFs || at.empty()) return fSameFs ? moved : kNoFileSystem;
      size_t slash = at.rfind('/');
      at = slash == std::string::npos ? "" : at.substr(0, slash);
    }
  }
  int rootfd_;
  std::map<std::tuple<unsigned long long, unsigned long long, long long>, int>
      found_;
  std::set<int> synced_;
};

XactFate Fate(dbi_conn conn, const std::string& xid) {
  std::string status;
  if (xid.find_first_not_of("0123456789") != std::string::npos) return kUnknown;
  if (!QueryText(conn, "SELECT pg_xact_status('" + xid + "'::xid8)", &status))
    // An id from the future (a restored database) is refused; a connection
    // that fails tells nothing.
    return QueryText(conn, "SELECT 1", &status) ? kUnknown : kInProgress;
  if (status == "committed") return kCommitted;
  if (status == "aborted") return kAborted;
  return status == "in progress" ? kInProgress : kUnknown;
}

// Audit lines for files whose pass was cut short before it wrote them.
bool AuditRecovered(const std::vector<Intent>& intents) {
  std::vector<AuditedCall> calls;
  for (const Intent& i : intents) {
    if (calls.empty() || calls.back().llId != i.llCall)
      calls.push_back({i.llCall, i.llTenant, 0, {}});
    calls.back().llBytes += i.llBytes;
    calls.back().files.push_back((i.fShred ? "shredded " : "removed ") +
                                 std::string(RECORDINGS_DIR "/") + i.strRel);
  }
  return AuditCalls(0, calls);
}

void Say(const Pending& p) {
  if (p.iBadLines)
    lg(LOG_WARNING,
       "FIFO: %d torn or garbled lines of " JOURNAL_FILE " skipped",
       p.iBadLines);
  if (p.iUnknown)
    lg(LOG_ERR,
       "FIFO: the database cannot tell whether %d tenant "
       "transactions committed: taken as committed",
       p.iUnknown);
  if (!p.waiting.empty())
    lg(LOG_WARNING,
       "FIFO: %zu files of an interrupted pass wait in " JOURNAL_FILE
       " until their file system is back",
       p.waiting.size());
  if (p.iUnjudged)
    lg(LOG_ERR,
       "FIFO: %d files of an interrupted pass cannot be judged (their "
       "directory is neither where it was nor found elsewhere): %lld bytes "
       "not charged",
       p.iUnjudged, p.llUnjudged);
}

Pending Resolve(dbi_conn conn, const std::string& text) {
  Tree tree;
  tree.Open();
  Directories dirs(tree.root());
  Pending p = ResolveJournal(
      text, [&](const Intent& i) { return dirs.Judge(i); },
      [&](const std::string& xid) { return Fate(conn, xid); });
  Say(p);
  return p;
}

std::string Debts(const LLMAP& owed) {
  std::string text;
  for (const auto& [tenant, delta] : owed) text += OwedLine(tenant, delta);
  return text;
}

bool Rewrite(const std::string& text) {
  if (WriteAtomically(JOURNAL_DIR, JOURNAL_NAME, text, 0600, true)) return true;
  lg(LOG_ERR, "FIFO: cannot rewrite " JOURNAL_FILE ": %s", strerror(errno));
  return false;
}

// What stays in the journal for the files still waiting for their file
// system: still to charge, to charge but audited, or charged but unaudited.
std::string Waiting(const Pending& p) {
  std::string text;
  for (int group = 0; group < 3; ++group) {
    std::string lines;
    for (const Pending::Waiting& w : p.waiting)
      if (group == (w.fPending ? (w.fUnaudited ? 0 : 1) : 2) &&
          (w.fPending || w.fUnaudited))
        lines += IntentLine(w.intent);
    if (lines.empty()) continue;
    text += JournalLine("S") + lines;
    if (group == 1) text += JournalLine("A");
    if (group == 2) text += JournalLine("C -");
  }
  return text;
}

// The files a kill kept from the audit trail: the journal keeps naming them
// (as charged, "C -") until their lines are written.
bool Audit(const Pending& p, const std::string& rest) {
  if (p.unaudited.empty()) return true;
  std::string text = JournalLine("S");
  for (const Intent& i : p.unaudited) text += IntentLine(i);
  if (!Rewrite(text + JournalLine("C -") + rest)) return false;
  FaultPoint("replay-audit");
  if (AuditRecovered(p.unaudited)) return true;
  lg(LOG_WARNING, "fifodel: cannot write %s: %s", AUDIT_FILE, strerror(errno));
  return false;
}

}  // namespace

Pending ResolveJournal(
    const std::string& text,
    const std::function<Presence(const Intent&)>& presence,
    const std::function<XactFate(const std::string&)>& fate) {
  Pending p;
  std::vector<Segment> segments(1);
  std::string payload;
  size_t pos = 0;
  for (size_t end; (end = text.find('\n', pos)) != std::string::npos;
       pos = end + 1) {
    if (JournalPayload(text.substr(pos, end - pos), &payload)) {
      Take(payload, fate, &segments, &p);
    } else {
      ++p.iBadLines;
    }
  }
  p.iBadLines += pos < text.size();  // a torn last line
  Settle(presence, segments, &p);
  return p;
}

namespace {

// The journal's text; false when there is none to replay, having removed
// whatever was planted in its place.
bool ReadOrClear(std::string* text) {
  if (ReadJournal(text)) return !text->empty();
  // Something planted in its place (a link, a fifo, a second name of another
  // file) is no journal: it goes, so that the next pass can write one of its
  // own.
  if (errno == ELOOP || errno == EINVAL) {
    lg(LOG_WARNING, "FIFO: %s removed: not a journal", JOURNAL_FILE);
    RemoveFile(JOURNAL_DIR, JOURNAL_NAME);
  } else if (errno != ENOENT) {
    lg(LOG_WARNING, "FIFO: cannot read %s: %s", JOURNAL_FILE, strerror(errno));
  }
  return false;
}

// Pays what is owed; the journal then keeps only what still waits.
void PayDebts(const LLMAP& owed, const std::string& waiting) {
  FaultPoint("replay-settling");
  lg(LOG_NOTICE, "FIFO: applying the counter journal of %zu tenants",
     owed.size());
  Journal journal(true);
  LLMAP done = CommitCounterDeltas(
      owed, [&](const std::string& xid, const LLMAP& failed) {
        return journal.BeforeCommit(xid, failed);
      });
  if (done.size() != owed.size()) return;
  if (waiting.empty()) {
    journal.Settled();
  } else {
    Rewrite(waiting);
  }
}

}  // namespace

void ApplyPendingJournal() {
  std::string text;
  if (!ReadOrClear(&text)) return;
  dbi_conn conn;
  if (getDbConnection(&conn) != 0) {
    lg(LOG_ERR, "Cannot connect to database to do tenant updates");
    return;
  }
  Pending p = Resolve(conn, text);
  dbi_conn_close(conn);
  const std::string waiting = Waiting(p);
  // What is owed, as one line per tenant, whatever it was owed for: a debt
  // the database keeps refusing costs no more each time.
  const std::string rest =
      waiting + (p.owed.empty() ? "" : JournalLine("S") + Debts(p.owed));
  if (p.fUndecided || !Audit(p, rest)) return;  // later
  if (rest.empty()) {
    RemoveFile(JOURNAL_DIR, JOURNAL_NAME);
    return;
  }
  if (Rewrite(rest) && !p.owed.empty()) PayDebts(p.owed, waiting);
}
