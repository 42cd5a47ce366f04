// Appended per chunk and settled per pass, the journal is empty between
// passes unless one was cut short. What it then holds is resolved against
// the tree (which files are really gone) and the server (which transactions
// really committed), rewritten whole and committed.
#include "journal.h"

#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <string.h>
#include <sys/stat.h>
#include <syslog.h>
#include <unistd.h>

#include <algorithm>
#include <fstream>
#include <set>
#include <sstream>

#include "audit.h"
#include "db.h"
#include "files.h"
#include "logging.h"
#include "paths.h"
#include "tree.h"

namespace {

unsigned Checksum(const std::string& payload) {
  unsigned h = 2166136261u;  // FNV-1a
  for (unsigned char c : payload) h = (h ^ c) * 16777619u;
  return h;
}

std::string Line(const std::string& payload) {
  char sum[16];
  snprintf(sum, sizeof sum, " %08x\n", Checksum(payload));
  return payload + sum;
}

int Hex(char c) {
  const char* at = c ? strchr("0123456789abcdef", c) : nullptr;
  return at ? static_cast<int>(at - "0123456789abcdef") : -1;
}

// Paths may hold any byte but NUL: blanks, line ends and '%' are escaped.
std::string Escape(const std::string& path) {
  auto plain = [](unsigned char c) { return c > ' ' && c < 0x7f && c != '%'; };
  if (std::all_of(path.begin(), path.end(), plain)) return path;
  std::string out;
  for (unsigned char c : path) {
    char buf[4];
    snprintf(buf, sizeof buf, "%%%02x", c);
    out += c <= ' ' || c >= 0x7f || c == '%' ? buf : std::string(1, c);
  }
  return out;
}

bool Unescape(const std::string& text, std::string* path) {
  path->clear();
  for (size_t i = 0; i < text.size(); ++i) {
    int hi = 0, lo = text[i];
    if (text[i] == '%' &&
        (i + 2 >= text.size() || (hi = Hex(text[i + 1])) < 0 ||
         (lo = Hex(text[i += 2])) < 0))
      return false;
    *path += static_cast<char>(hi * 16 + lo);
  }
  return !path->empty();
}

// The payload of a line whose checksum holds; false for a torn or garbled
// one.
bool Payload(const std::string& line, std::string* payload) {
  size_t blank = line.rfind(' ');
  if (blank == std::string::npos || line.size() - blank != 9) return false;
  unsigned sum = 0;
  for (size_t i = blank + 1; i < line.size(); ++i) {
    if (Hex(line[i]) < 0) return false;
    sum = sum * 16 + Hex(line[i]);
  }
  *payload = line.substr(0, blank);
  return Checksum(*payload) == sum;
}

bool ParseIntent(const std::string& payload, Intent* i) {
  char mode;
  int used = 0;
  return sscanf(payload.c_str(), "I %lld %lld %lld %llu %c %n", &i->llCall,
                &i->llTenant, &i->llBytes, &i->ullIno, &mode, &used) == 5 &&
         used > 0 && (mode == 'u' || (i->fShred = mode == 's')) &&
         Unescape(payload.substr(used), &i->strRel);
}

// One intent of a segment: still to charge, still to audit.
struct Entry {
  Intent intent;
  bool fPending = true, fUnaudited = true;
};

// "C xid [tenant...]": a committed transaction (or one whose fate is not
// known) charged the segment's intents but those of the tenants listed.
void Commit(const std::string& payload,
            const std::function<XactFate(const std::string&)>& fate,
            std::vector<Entry>* seg, Pending* p) {
  std::istringstream in(payload.substr(2));
  std::string xid;
  std::set<long long> failed;
  in >> xid;
  for (long long t; in >> t;) failed.insert(t);
  XactFate f = fate(xid);
  p->fUndecided = p->fUndecided || f == kInProgress;
  p->iUnknown += f == kUnknown;
  if (f != kCommitted && f != kUnknown) return;
  for (Entry& e : *seg)
    if (!failed.count(e.intent.llTenant)) e.fPending = false;
}

// A file named by several intents (a kept call tried again, a row naming its
// media twice, a later pass after a leftover) left the disk at the last of
// them at most: only that one counts, keyed by inode and name, which no
// spelling of the directory changes.
std::vector<bool> LastOfTheirFile(const std::vector<Entry>& all) {
  std::set<std::pair<unsigned long long, std::string>> later;
  std::vector<bool> last(all.size());
  for (size_t i = all.size(); i-- > 0;) {
    const Intent& in = all[i].intent;
    last[i] =
        later.insert({in.ullIno, in.strRel.substr(in.strRel.rfind('/') + 1)})
            .second;
  }
  return last;
}

void Settle(const std::function<bool(const Intent&)>& gone,
            const std::vector<Entry>& all, Pending* p) {
  std::vector<bool> last = LastOfTheirFile(all);
  for (size_t i = 0; i < all.size(); ++i) {
    const Entry& e = all[i];
    if (!last[i] || !(e.fPending || e.fUnaudited) || !gone(e.intent)) continue;
    if (e.fUnaudited) p->unaudited.push_back(e.intent);
    if (!e.fPending) continue;
    p->charged.push_back(e.intent);
    if (e.intent.llTenant)
      p->owed[e.intent.llTenant] =
          SaturatingAdd(p->owed[e.intent.llTenant], -e.intent.llBytes);
  }
}

void EndSegment(std::vector<Entry>* seg, std::vector<Entry>* all) {
  all->insert(all->end(), seg->begin(), seg->end());
  seg->clear();
}

// Whether the intent's file has left the disk: its name is gone, or names
// another inode. A path that cannot be looked at is not gone: a charge is
// never invented.
bool FileGone(int rootfd, const Intent& i) {
  size_t slash = i.strRel.rfind('/');
  if (slash == std::string::npos) return false;
  int dirfd = OpenBeneath(rootfd, i.strRel.substr(0, slash), false);
  if (dirfd < 0) return errno == ENOENT || errno == ENOTDIR;
  struct stat st;
  bool fGone = fstatat(dirfd, i.strRel.c_str() + (slash + 1), &st,
                       AT_SYMLINK_NOFOLLOW) != 0
                   ? errno == ENOENT
                   : st.st_ino != i.ullIno;
  close(dirfd);
  return fGone;
}

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
void AuditRecovered(const std::vector<Intent>& intents) {
  std::vector<AuditedCall> calls;
  for (const Intent& i : intents) {
    if (calls.empty() || calls.back().llId != i.llCall)
      calls.push_back({i.llCall, i.llTenant, 0, {}});
    calls.back().llBytes += i.llBytes;
    calls.back().files.push_back((i.fShred ? "shredded " : "removed ") +
                                 std::string(RECORDINGS_DIR "/") + i.strRel);
  }
  AuditCalls(0, calls);
}

Pending Resolve(dbi_conn conn) {
  std::stringstream text;
  text << std::ifstream(JOURNAL_FILE).rdbuf();
  Tree tree;
  tree.Open();
  Pending p = ResolveJournal(
      text.str(), [&](const Intent& i) { return FileGone(tree.root(), i); },
      [&](const std::string& xid) { return Fate(conn, xid); });
  if (p.iBadLines)
    lg(LOG_WARNING,
       "FIFO: %d torn or garbled lines of " JOURNAL_FILE " skipped",
       p.iBadLines);
  if (p.iUnknown)
    lg(LOG_ERR,
       "FIFO: the database cannot tell whether %d tenant "
       "transactions committed: taken as committed",
       p.iUnknown);
  return p;
}

}  // namespace

std::string IntentLine(const Intent& i) {
  return Line("I " + std::to_string(i.llCall) + " " +
              std::to_string(i.llTenant) + " " + std::to_string(i.llBytes) +
              " " + std::to_string(i.ullIno) + (i.fShred ? " s " : " u ") +
              Escape(i.strRel));
}

Pending ResolveJournal(
    const std::string& text, const std::function<bool(const Intent&)>& gone,
    const std::function<XactFate(const std::string&)>& fate) {
  Pending p;
  std::vector<Entry> seg, all;
  std::string payload;
  size_t pos = 0;
  for (size_t end; (end = text.find('\n', pos)) != std::string::npos;
       pos = end + 1) {
    Intent i{};
    if (!Payload(text.substr(pos, end - pos), &payload)) {
      ++p.iBadLines;
    } else if (payload == "S") {
      EndSegment(&seg, &all);
    } else if (payload == "A") {
      for (Entry& e : seg) e.fUnaudited = false;
    } else if (payload.compare(0, 2, "C ") == 0) {
      Commit(payload, fate, &seg, &p);
    } else if (ParseIntent(payload, &i)) {
      seg.push_back({i});
    } else {
      ++p.iBadLines;
    }
  }
  p.iBadLines += pos < text.size();  // a torn last line
  EndSegment(&seg, &all);
  Settle(gone, all, &p);
  return p;
}

bool JournalPending() {
  struct stat st;
  return fstatat(AT_FDCWD, JOURNAL_FILE, &st, AT_SYMLINK_NOFOLLOW) == 0 &&
         st.st_size > 0;
}

void ApplyPendingJournal() {
  if (!JournalPending()) return;
  dbi_conn conn;
  if (getDbConnection(&conn) != 0) {
    lg(LOG_ERR, "Cannot connect to database to do tenant updates");
    return;
  }
  Pending p = Resolve(conn);
  dbi_conn_close(conn);
  if (p.fUndecided) return;  // the server has yet to decide: later
  std::string text = Line("S");
  for (const Intent& i : p.charged) text += IntentLine(i);
  // The journal holds just what is charged now, so that the transaction's
  // commit settles all of it; a crash before the "A" below costs at most a
  // repeated audit line.
  if (!p.owed.empty() &&
      !WriteAtomically(JOURNAL_DIR, JOURNAL_NAME, text, 0600, true)) {
    lg(LOG_ERR, "FIFO: cannot rewrite " JOURNAL_FILE ": %s", strerror(errno));
    return;
  }
  AuditRecovered(p.unaudited);
  if (p.owed.empty()) {
    RemoveFile(JOURNAL_DIR, JOURNAL_NAME);
    return;
  }
  lg(LOG_NOTICE, "FIFO: applying the counter journal of %zu tenants",
     p.owed.size());
  Journal journal(true);
  journal.Audited();
  LLMAP done = CommitCounterDeltas(
      p.owed, [&](const std::string& xid, const LLMAP& failed) {
        return journal.BeforeCommit(xid, failed);
      });
  if (done.size() == p.owed.size()) journal.Settled();
}

Journal::~Journal() {
  if (fd_ >= 0) close(fd_);
}

bool Journal::Append(const std::string& text, bool fSync) {
  if (fd_ < 0) {
    mkdir(JOURNAL_DIR, 0700);
    int dirfd = OpenDir(JOURNAL_DIR);
    fd_ = dirfd < 0 ? -1 : OpenAppend(dirfd, JOURNAL_NAME, 0600);
    if (dirfd >= 0) close(dirfd);
    // A leftover of a pass cut short stays in front of this pass's segment.
    llBase_ = fd_ < 0 ? -1 : fWhole_ ? 0 : lseek(fd_, 0, SEEK_END);
  }
  if (llBase_ < 0 || fDirty_) return false;
  off_t at = lseek(fd_, 0, SEEK_END);
  const std::string head = fWritten_ || fWhole_ ? "" : Line("S");
  if (WriteAll(fd_, head + text) && (!fSync || fdatasync(fd_) == 0))
    return fWritten_ = true;
  // No half line may stay in front of the next.
  int err = errno;
  fDirty_ = ftruncate(fd_, at) != 0;
  errno = err;
  return false;
}

bool Journal::Intend(const std::vector<Intent>& intents) {
  std::string text;
  for (const Intent& i : intents) text += IntentLine(i);
  if (Append(text, true)) return true;
  if (!fComplained_)
    lg(LOG_ERR, "FIFO: cannot write %s: %s; counts of this pass are at risk",
       JOURNAL_FILE, strerror(errno));
  fComplained_ = true;
  return false;
}

void Journal::Audited() { Append(Line("A"), false); }

bool Journal::BeforeCommit(const std::string& xid, const LLMAP& failed) {
  std::string payload = "C " + xid;
  for (const auto& [tenant, delta] : failed)
    payload += " " + std::to_string(tenant);
  if (Append(Line(payload), true)) return true;
  // Without its line a commit could be replayed: the segment goes instead,
  // so that a crash can lose these counts, never double them.
  if (!fWritten_ && !fDirty_) return true;
  fWritten_ = fDirty_ = ftruncate(fd_, llBase_) != 0 || fdatasync(fd_) != 0;
  return !fWritten_;
}

void Journal::Settled() {
  // Behind a leftover the committed segment stays: a file of the leftover
  // that this pass removed is named last here, where it is charged already.
  if (fd_ >= 0 && llBase_ == 0) RemoveFile(JOURNAL_DIR, JOURNAL_NAME);
}
