// One reclamation pass over the oldest archived calls. Sizes come from
// fstatat on each file, never from the database, so the bytes counted are
// the bytes that really left the disk. The pass's connection belongs to a
// thread of its own: the next chunk's query runs while a chunk's files go,
// and its marking statement while the next chunk's do.
#include "reclaim.h"

#include <errno.h>
#include <fcntl.h>
#include <string.h>
#include <sys/stat.h>
#include <syslog.h>
#include <unistd.h>

#include <map>
#include <string>
#include <vector>

#include "audit.h"
#include "calls.h"
#include "db.h"
#include "faults.h"
#include "journal.h"
#include "logging.h"
#include "paths.h"
#include "prune.h"
#include "removal.h"
#include "rows.h"
#include "serial.h"
#include "tenancy.h"
#include "tree.h"

namespace {

// A file that a pass means to remove, as it was when looked at.
struct PlannedFile {
  std::string strDir, strName;  // below /recordings
  long long llBytes;            // what its removal frees
  ino_t ino;
};

// One call of a chunk, from the look at its files to their removal.
struct CallWork {
  CallRow row;
  bool fUntouched = false;  // marked without touching its files
  bool fSecure = false;     // the marker, looked up once for the call
  std::vector<PlannedFile> files;  // the media first, when present
  bool fMediaPlanned = false, fWarned = false;
  long long llPlanned = 0, llFreed = 0;
  bool fMediaKept = false;  // the call stays archived
  int iErr = 0;             // why the media stays; 0: it moved away
  std::vector<std::string> removed;  // "removed <path>", for the audit
};

// The directories of a chunk's calls, held from the look at their files to
// their removal, and used for a removal only while each is still the
// directory its path resolves to: one moved away meanwhile (an archive job)
// keeps its files.
class ChunkDirs {
 public:
  explicit ChunkDirs(int rootfd) : rootfd_(rootfd) {}
  ~ChunkDirs() {
    for (const auto& [rel, fd] : fds_)
      if (fd.first >= 0) close(fd.first);
  }
  // The directory `rel` below /recordings, or -1 with errno.
  int Look(const std::string& rel) {
    auto [it, fNew] = fds_.try_emplace(rel);
    if (fNew) it->second = {OpenBeneath(rootfd_, rel, false), errno};
    errno = it->second.second;
    return it->second.first;
  }
  // The same, if it is still where `rel` leads; -1 otherwise.
  int Fresh(const std::string& rel) {
    int fd = Look(rel);
    return fd >= 0 && StillAt(fd, rootfd_, rel) ? fd : -1;
  }

 private:
  int rootfd_;
  std::map<std::string, std::pair<int, int>> fds_;  // descriptor, errno
};

struct Chunk {
  explicit Chunk(int rootfd) : dirs(rootfd) {}
  ChunkDirs dirs;
  std::vector<CallWork> calls;
  long long llFreed = 0;
  std::vector<long long> ids;      // to mark, in row order
  std::vector<AuditedCall> audit;  // written before the marking
};

typedef std::optional<std::vector<CallRow>> Rows;
// How a chunk's marking went, and what it counts for when it went through.
struct Marked {
  bool ok;
  std::string strError, strQuery;
  std::map<long long, long long> tenantCalls;
};

struct Pass {
  const PassRequest& req;
  dbi_conn conn;
  Serial db;  // owns `conn` while the pass runs
  PassReport report;
  long long liBytesToFree;
  Tree tree;
  ConfDir conf;
  Tenancy tenancy;
  Journal journal;
  StuckRegistry none;
  const StuckRegistry& known;
  bool firstEntry = true, fMetStuck = false, fAuditFailed = false;
  bool fLooked = false;  // at a row
  Continuation from;
  std::future<Rows> next;      // the next chunk, asked for in advance
  std::future<Marked> marked;  // the last chunk's marking
  Pass(const PassRequest& r, dbi_conn c)
      : req(r), conn(c), liBytesToFree(r.liBytesToFree),
        known(r.known ? *r.known : none) {
    report.llNumber = r.llNumber;
  }
};

enum FileFate { kMissing, kPresent, kRefused, kBlocked };

std::string Abs(const std::string& strDir, const std::string& strName) {
  return RECORDINGS_DIR "/" + strDir + "/" + strName;
}

// Bytes that leave the disk with the name: none for a link, none while
// another hard link keeps the data.
long long FreedBytes(const struct stat& st) {
  return S_ISREG(st.st_mode) && st.st_nlink == 1 ? st.st_size : 0;
}

// A call's directory did not resolve. Missing counts as missing; a symbolic
// link or an escape too, but is said once per call, since following it
// would remove files outside the tree.
FileFate NoDirectory(int err, const std::string& strDir, CallWork* c) {
  if (err == ENOENT || err == ENOTDIR) return kMissing;
  if (err != ELOOP && err != EXDEV) {
    c->iErr = err;
    return kBlocked;
  }
  if (!c->fWarned)
    lg(LOG_WARNING, "FIFO_delete: call %lld: %s not followed: %s", c->row.llId,
       Printable(RECORDINGS_DIR "/" + strDir).c_str(), ResolveFailure(err));
  c->fWarned = true;
  return kMissing;
}

// Looks at the file `strRel` (below /recordings; the tree's root is where a
// leading '/' points) and plans its removal when it is there.
FileFate LookAtFile(Pass* p, ChunkDirs* dirs, const std::string& strRel,
                    CallWork* c) {
  size_t from = strRel.find_first_not_of('/'), slash = strRel.rfind('/');
  std::string strDir = slash == std::string::npos || slash < from
                           ? "."
                           : strRel.substr(from, slash - from);
  std::string strName = strRel.substr(slash + 1);
  int dirfd = dirs->Look(strDir);
  if (dirfd < 0) return NoDirectory(errno, strDir, c);
  struct stat st;
  if (fstatat(dirfd, strName.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0)
    return kMissing;
  if (!S_ISREG(st.st_mode) && !S_ISLNK(st.st_mode)) return kRefused;
  long long llBytes = FreedBytes(st);
  if (p->req.fSim)
    lg(LOG_NOTICE, "FIFO_delete: removing %s size %lu",
       Printable(Abs(strDir, strName)).c_str(),
       static_cast<unsigned long>(llBytes));
  c->files.push_back({strDir, strName, llBytes, st.st_ino});
  c->llPlanned = SaturatingAdd(c->llPlanned, llBytes);
  return kPresent;
}

std::string ScreenRel(const CallRow& row) {
  if (row.screenfn) return *row.directory + "/" + *row.screenfn;
  std::string strRel = *row.directory + "/screen" + *row.filename;
  return strRel.replace(strRel.size() - 3, 3, "wmv");
}

// A companion or screen file that is no file stays; said once, as its call
// is marked and does not come back.
void LookAtCompanion(Pass* p, ChunkDirs* dirs, const std::string& strRel,
                     CallWork* c) {
  if (LookAtFile(p, dirs, strRel, c) == kRefused)
    lg(LOG_WARNING, "FIFO_delete: %s stays: not a regular file",
       Printable(RECORDINGS_DIR "/" + strRel).c_str());
}

// A row whose files must not be touched is logged and marked, so that it
// does not come back in every pass.
void LeaveUntouched(CallWork* c, const char* acWhy) {
  lg(LOG_WARNING, "FIFO_delete: call %lld left untouched: %s", c->row.llId,
     acWhy);
  c->fUntouched = true;
  c->files.clear();
  c->llPlanned = 0;
}

void LookAtCall(Pass* p, ChunkDirs* dirs, CallWork* c, const char* acWhy) {
  const CallRow& row = c->row;
  if (acWhy) return LeaveUntouched(c, acWhy);
  c->fSecure = !p->req.fSim && p->conf.SecureDelete();
  const std::string strMedia = *row.directory + "/" + *row.filename;
  FileFate media = LookAtFile(p, dirs, strMedia, c);
  if (media == kRefused)
    return LeaveUntouched(c, "the media file is not a regular file");
  c->fMediaPlanned = media == kPresent;
  c->fMediaKept = media == kBlocked;
  LookAtCompanion(p, dirs, strMedia + ".g711", c);
  if (row.iFlags & 2) LookAtCompanion(p, dirs, ScreenRel(row), c);
}

enum ChunkEnd { kNextChunk, kDbError, kExhausted, kPruned };

// Asks the database whether a call not archived yet lives below `rel`,
// through the pass's connection, and waits for the answer.
int AskPending(Pass* p, const std::string& rel, long long* llId) {
  return p->db.Send([p, rel, llId] { return PendingCallIn(p->conn, rel, llId); }).get();
}

// Looks at the rows of a chunk until what they free covers the shortfall:
// a call's files always go together. kPruned when the oldest call's stale
// directories went instead.
ChunkEnd LookAtRows(Pass* p, const std::vector<CallRow>& rows, Chunk* chunk) {
  long long llLeft = p->liBytesToFree;
  PruneContext ctx = {p->tree.root(),
                      [p](const std::string& rel, long long* id) {
                        return AskPending(p, rel, id);
                      },
                      p->known, &p->report};
  for (const CallRow& row : rows) {
    if (llLeft <= 0) break;
    if (!p->fLooked) p->report.strOldestDirectory = row.directory.value_or("");
    p->fLooked = true;
    const char* acWhy = RowProblem(row.directory ? row.directory->c_str() : 0,
                                   row.filename ? row.filename->c_str() : 0,
                                   row.screenfn ? row.screenfn->c_str() : 0);
    // The oldest sound call decides which tree directories are stale.
    if (p->firstEntry && !acWhy &&
        FifoOldestEntry(*row.directory, p->req.fSim, ctx))
      return kPruned;
    if (!acWhy) p->firstEntry = false;
    chunk->calls.emplace_back();
    chunk->calls.back().row = row;
    LookAtCall(p, &chunk->dirs, &chunk->calls.back(), acWhy);
    llLeft = SaturatingAdd(llLeft, -chunk->calls.back().llPlanned);
  }
  return kNextChunk;
}

bool RemoveOne(int dirfd, const PlannedFile& f, CallWork* c) {
  bool fShredded = false;
  const std::string strPath = Abs(f.strDir, f.strName);
  if (dirfd < 0 || !DeleteFn(dirfd, f.strName.c_str(), strPath.c_str(),
                             c->fSecure, &fShredded)) {
    c->iErr = dirfd < 0 || errno ? errno : EIO;
    return false;
  }
  c->removed.push_back((fShredded ? "shredded " : "removed ") + strPath);
  c->llFreed = SaturatingAdd(c->llFreed, f.llBytes);
  return true;
}

// Each file through its directory, if that is still where it was.
void RemoveCallFiles(ChunkDirs* dirs, CallWork* c) {
  int dirfd = -1;
  for (size_t i = 0; i < c->files.size(); ++i) {
    const PlannedFile& f = c->files[i];
    if (i == 0 || f.strDir != c->files[i - 1].strDir) {
      dirfd = dirs->Fresh(f.strDir);
      errno = 0;  // moved away: its files stay, not reported
    }
    bool fMedia = i == 0 && c->fMediaPlanned;
    if (!RemoveOne(dirfd, f, c) && fMedia) c->fMediaKept = true;
    if (fMedia) FaultPoint("between-files");
  }
}

// The call's removed files are charged and it is marked, or, when its media
// stays, reported and passed over.
void SettleCall(Pass* p, CallWork* c, Chunk* chunk) {
  const CallRow& row = c->row;
  if (!c->fUntouched) p->tenancy.DeletedMediaOfCall(row.llTenantId, c->llFreed);
  p->report.llBytesFreed += c->llFreed;
  chunk->llFreed += c->llFreed;
  if (row.llTenantId != 0) p->report.tenants[row.llTenantId].llBytes += c->llFreed;
  if (c->fMediaKept) {
    p->fMetStuck = true;
    if (c->iErr != 0)
      ReportStuck(p->known, LOG_ERR,
                  {{StuckKey::kCall, row.llId, ""},
                   "cannot remove " + Abs(*row.directory, *row.filename) +
                       ": " + strerror(c->iErr)},
                  &p->report.stuck);
  } else if (row.llId != -1) {  // -1 stands for an empty slot: never marked
    chunk->ids.push_back(row.llId);
    p->report.loosened.push_back({StuckKey::kCall, row.llId, ""});
  }
  if (!c->fMediaKept || !c->removed.empty())
    chunk->audit.push_back({row.llId, row.llTenantId, c->llFreed, c->removed});
}

std::vector<Intent> Intents(const Chunk& chunk) {
  std::vector<Intent> intents;
  for (const CallWork& c : chunk.calls)
    for (const PlannedFile& f : c.files)
      intents.push_back({c.row.llId, c.row.llTenantId, f.llBytes, f.ino,
                         c.fSecure, f.strDir + "/" + f.strName});
  return intents;
}

// The chunk's files go, once their intents are on the disk; the audit trail
// names them before any is marked.
void RemoveChunk(Pass* p, Chunk* chunk) {
  p->journal.Intend(Intents(*chunk));
  for (CallWork& c : chunk->calls) {
    RemoveCallFiles(&chunk->dirs, &c);
    SettleCall(p, &c, chunk);
  }
  FaultPoint("before-audit");
  if (!AuditCalls(p->report.llNumber, chunk->audit)) {
    if (!p->fAuditFailed)
      lg(LOG_WARNING, "fifodel: cannot write %s: %s", AUDIT_FILE,
         strerror(errno));
    p->fAuditFailed = true;
  }
  p->journal.Audited();
}

// Whether the last chunk's marking went through; said when it did not.
bool MarkedBefore(Pass* p) {
  if (!p->marked.valid()) return true;
  Marked m = p->marked.get();
  if (!m.ok) {
    lg(LOG_NOTICE, "FIFO_delete: query error: %s q: %s", m.strError.c_str(),
       m.strQuery.c_str());
    return false;
  }
  for (const auto& [tenant, calls] : m.tenantCalls) {
    p->report.llCallsMarked += calls;
    if (tenant != 0) p->report.tenants[tenant].llCalls += calls;
  }
  return true;
}

// Marks the chunk's calls while the next chunk's files go.
void Mark(Pass* p, const Chunk& chunk) {
  Marked m = {false, "", MarkingStatement(chunk.ids), {}};
  for (const CallWork& c : chunk.calls)
    if (!c.fMediaKept && c.row.llId != -1) ++m.tenantCalls[c.row.llTenantId];
  p->marked = p->db.Send([p, m]() mutable {
    FaultPoint("before-mark");
    dbi_result result = DbQuery(p->conn, m.strQuery);
    FaultPoint("after-mark");
    if (result) dbi_result_free(result);
    m.ok = result != nullptr;
    m.strError = m.ok ? "" : DbErrorText(p->conn);
    return m;
  });
}

void AskForChunk(Pass* p) {
  p->next = p->db.Send([p, from = p->from] { return QueryChunk(p->conn, from); });
}

// Where the chunk after `rows` starts: after its last row, or when not all
// of them were handled, after the last that was.
void ContinueAfter(Pass* p, const std::vector<CallRow>& rows, size_t handled) {
  p->from.firstChunk.clear();
  if (p->from.llLastId == 0)
    for (size_t i = 0; i < handled; ++i) p->from.firstChunk.push_back(rows[i].llId);
  p->from.llLastId = rows[handled - 1].llId;
}

// Reads, handles and marks one chunk of the oldest archived calls.
ChunkEnd DoChunk(Pass* p) {
  lg(LOG_NOTICE, "FIFO_delete: still bytes to free");
  Rows rows = p->next.get();
  FaultPoint("chunk-query");
  if (!rows) {
    lg(LOG_NOTICE, "FIFO_delete: fifodel query error (1)");
    return kDbError;
  }
  const Continuation before = p->from;
  if (!rows->empty()) {
    ContinueAfter(p, *rows, rows->size());
    AskForChunk(p);
  }
  Chunk chunk(p->tree.root());
  if (LookAtRows(p, *rows, &chunk) == kPruned) return kPruned;
  if (p->req.fSim) {
    for (const CallWork& c : chunk.calls) chunk.llFreed += c.llPlanned;
  } else {
    RemoveChunk(p, &chunk);
  }
  p->liBytesToFree = SaturatingAdd(p->liBytesToFree, -chunk.llFreed);
  lg(LOG_NOTICE, "FIFO_delete: freed %lld KB", chunk.llFreed / 1024);
  if (!MarkedBefore(p)) return kDbError;
  if (!p->req.fSim && !chunk.ids.empty()) Mark(p, chunk);
  if (chunk.calls.empty()) {
    lg(LOG_NOTICE, "FIFO_delete row count is zero");
    return kExhausted;
  }
  if (chunk.calls.size() < rows->size() && p->liBytesToFree > 0) {
    p->next.wait();  // asked for too far on: ask again
    p->from = before;
    ContinueAfter(p, *rows, chunk.calls.size());
    AskForChunk(p);
  }
  return kNextChunk;
}

// The pass's charges, with the journal told the transaction's id before it
// commits; a simulation charges nothing.
void SettleCounters(Pass* p) {
  if (p->req.fSim) {
    p->tenancy.Update();
    return;
  }
  LLMAP committed = p->tenancy.Update(
      [p](const std::string& xid, const LLMAP& failed) {
        return p->journal.BeforeCommit(xid, failed);
      });
  if (committed.size() == p->tenancy.Deltas().size()) p->journal.Settled();
}

ChunkEnd RunChunks(Pass* p) {
  AskForChunk(p);
  ChunkEnd end = kNextChunk;
  while (end == kNextChunk && p->liBytesToFree > 0) {
    end = DoChunk(p);
    if (p->req.betweenChunks) p->req.betweenChunks();
  }
  if (!MarkedBefore(p) && end != kDbError) end = kDbError;
  if (p->next.valid()) p->next.wait();
  SettleCounters(p);
  return end;
}

PassOutcome OutcomeOf(ChunkEnd end, const Pass& p) {
  if (end == kDbError) return kOutcomeDbError;
  if (end == kPruned) return kOutcomePruned;
  if (p.liBytesToFree <= 0) return kOutcomeCovered;
  if (p.fMetStuck && p.report.llBytesFreed == 0) return kOutcomeStuck;
  return kOutcomeExhausted;
}

// A pass that never reached the database.
PassReport Unconnected(const PassRequest& req, time_t tStart) {
  lg(LOG_ERR, "FIFO_delete: Stop, we cannot connect to database");
  lg(LOG_NOTICE, "FIFO_delete: finished");
  PassReport report;
  report.llNumber = req.llNumber;
  report.tStart = tStart;
  report.tEnd = time(nullptr);
  report.outcome = kOutcomeDbError;
  return report;
}

}  // namespace

PassReport RunPass(const PassRequest& req) {
  lg(LOG_NOTICE, "FIFO_delete: %lld bytes to free", req.liBytesToFree);
  if (req.fSim) lg(LOG_NOTICE, "Simulated");
  time_t tStart = time(nullptr);
  FaultPoint("connect");
  dbi_conn conn;
  if (getDbConnection(&conn) != 0) return Unconnected(req, tStart);
  lg(LOG_NOTICE, "FIFO_delete: Connected to DB");
  // Counts an earlier pass could not commit go first.
  if (!req.fSim) ApplyPendingJournal();
  PassReport report;
  {
    Pass pass(req, conn);
    pass.report.tStart = tStart;
    ChunkEnd end = kExhausted;
    if (pass.tree.Open()) {
      end = RunChunks(&pass);
    } else {
      // Without the tree nothing can be freed: stuck, not the database.
      ReportStuck(pass.known, LOG_ERR,
                  {{StuckKey::kDirectory, 0, RECORDINGS_DIR},
                   std::string("cannot be opened: ") + strerror(errno)},
                  &pass.report.stuck);
      pass.fMetStuck = true;
    }
    pass.report.outcome = OutcomeOf(end, pass);
    report = pass.report;
  }
  dbi_conn_close(conn);
  lg(LOG_NOTICE, "FIFO_delete: finished");
  report.tEnd = time(nullptr);
  return report;
}

bool FIFO_delete(long long liBytesToFree, bool fSim) {
  PassRequest req;
  req.liBytesToFree = liBytesToFree;
  req.fSim = fSim;
  return RunPass(req).outcome == kOutcomePruned;
}
