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
#include "tree.h"

namespace {

// A file a pass means to remove, as it was when looked at.
struct File {
  std::string strDir, strName;  // below /recordings
  long long llBytes;            // what its removal frees
  ino_t ino;
};

// One call of a chunk, from the look at its files to their removal.
struct CallWork {
  CallRow row;
  bool fUntouched = false;  // marked without touching its files
  bool fSecure = false;     // the marker, looked up once for the call
  std::vector<File> files;  // the media first, when present
  bool fMedia = false, fWarned = false;
  long long llPlanned = 0, llFreed = 0;
  bool fKept = false;  // the media stays: the call stays archived
  int iErr = 0;        // why; 0: its directory moved away
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

// How a chunk's marking went, and what it counts for when it went through.
struct Marked {
  bool ok;
  std::string strError, strQuery;
  std::map<long long, long long> calls;  // by tenant
};

const StuckRegistry kNothingSaid;

struct Pass {
  Pass(const PassRequest& r, dbi_conn c)
      : req(r), conn(c), liBytesToFree(r.liBytesToFree),
        known(r.known ? *r.known : kNothingSaid) {
    report.llNumber = r.llNumber;
  }
  const PassRequest& req;
  dbi_conn conn;
  Serial db;  // owns `conn` while the pass runs
  PassReport report;
  long long liBytesToFree;
  Tree tree;
  ConfDir conf;
  Tenancy tenancy;
  Journal journal;
  const StuckRegistry& known;
  bool firstEntry = true, fStuck = false, fAuditFailed = false;
  Continuation from;
  std::future<std::optional<std::vector<CallRow>>> next;  // asked in advance
  std::future<Marked> marked;  // the last chunk's marking
};

enum Fate { kMissing, kPresent, kRefused, kBlocked };
enum ChunkEnd { kNextChunk, kDbError, kExhausted, kPruned };

std::string Abs(const std::string& strDir, const std::string& strName) {
  return RECORDINGS_DIR "/" + strDir + "/" + strName;
}

// A call's directory did not resolve. Missing counts as missing; a symbolic
// link or an escape too, but is said once per call, since following it
// would remove files outside the tree.
Fate NoDirectory(int err, const std::string& strDir, CallWork* c) {
  if (err == ENOENT || err == ENOTDIR) return kMissing;
  if (err != ELOOP && err != EXDEV) return c->iErr = err, kBlocked;
  if (!c->fWarned)
    lg(LOG_WARNING, "FIFO_delete: call %lld: %s not followed: %s", c->row.llId,
       Printable(RECORDINGS_DIR "/" + strDir).c_str(), ResolveFailure(err));
  c->fWarned = true;
  return kMissing;
}

// Looks at the file `strRel` (below /recordings, where a leading '/' points
// too) and plans its removal when it is there. A link, and a file with other
// hard links, free nothing when they go.
Fate LookAtFile(Pass* p, ChunkDirs* dirs, const std::string& strRel,
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
  long long llBytes = S_ISREG(st.st_mode) && st.st_nlink == 1 ? st.st_size : 0;
  if (p->req.fSim)
    lg(LOG_NOTICE, "FIFO_delete: removing %s size %lu",
       Printable(Abs(strDir, strName)).c_str(),
       static_cast<unsigned long>(llBytes));
  c->files.push_back({strDir, strName, llBytes, st.st_ino});
  c->llPlanned = SaturatingAdd(c->llPlanned, llBytes);
  return kPresent;
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
  Fate media = LookAtFile(p, dirs, strMedia, c);
  if (media == kRefused)
    return LeaveUntouched(c, "the media file is not a regular file");
  c->fMedia = media == kPresent;
  c->fKept = media == kBlocked;
  LookAtCompanion(p, dirs, strMedia + ".g711", c);
  if (!(row.iFlags & 2)) return;
  std::string strScreen = *row.directory + "/screen" + *row.filename;
  LookAtCompanion(p, dirs,
                  row.screenfn ? *row.directory + "/" + *row.screenfn
                               : strScreen.replace(strScreen.size() - 3, 3, "wmv"),
                  c);
}

// Looks at the rows of a chunk until what they free covers the shortfall:
// a call's files always go together. kPruned when the oldest call's stale
// directories went instead.
ChunkEnd LookAtRows(Pass* p, const std::vector<CallRow>& rows, Chunk* chunk) {
  long long llLeft = p->liBytesToFree;
  PruneContext ctx = {p->tree.root(),
                      [p](const std::string& rel, long long* llId) {
                        return p->db.Send([p, rel, llId] {
                          return PendingCallIn(p->conn, rel, llId);
                        }).get();
                      },
                      p->known, &p->report};
  for (size_t i = 0; i < rows.size() && llLeft > 0; ++i) {
    const CallRow& row = rows[i];
    if (p->report.strOldestDirectory.empty())
      p->report.strOldestDirectory = row.directory.value_or("");
    const char* acWhy = RowProblem(row.directory ? row.directory->c_str() : 0,
                                   row.filename ? row.filename->c_str() : 0,
                                   row.screenfn ? row.screenfn->c_str() : 0);
    // The oldest sound call decides which tree directories are stale.
    if (p->firstEntry && !acWhy &&
        FifoOldestEntry(*row.directory, p->req.fSim, ctx))
      return kPruned;
    p->firstEntry = p->firstEntry && acWhy;
    chunk->calls.emplace_back();
    chunk->calls.back().row = row;
    LookAtCall(p, &chunk->dirs, &chunk->calls.back(), acWhy);
    llLeft = SaturatingAdd(llLeft, -chunk->calls.back().llPlanned);
  }
  return kNextChunk;
}

// Each file through its directory, if that is still where it was.
void RemoveCallFiles(ChunkDirs* dirs, CallWork* c) {
  int dirfd = -1;
  for (size_t i = 0; i < c->files.size(); ++i) {
    const File& f = c->files[i];
    if (i == 0 || f.strDir != c->files[i - 1].strDir) {
      dirfd = dirs->Fresh(f.strDir);
      errno = 0;  // moved away: its files stay, not reported
    }
    bool fShredded = false;
    const std::string strPath = Abs(f.strDir, f.strName);
    if (dirfd >= 0 && DeleteFn(dirfd, f.strName.c_str(), strPath.c_str(),
                               c->fSecure, &fShredded)) {
      c->removed.push_back((fShredded ? "shredded " : "removed ") + strPath);
      c->llFreed = SaturatingAdd(c->llFreed, f.llBytes);
    } else if (i == 0 && c->fMedia) {
      c->fKept = true;
      c->iErr = dirfd < 0 || errno ? errno : EIO;
    }
    if (i == 0 && c->fMedia) FaultPoint("between-files");
  }
}

// The call's removed files are charged and it is marked, or, when its media
// stays, reported and passed over.
void SettleCall(Pass* p, CallWork* c, Chunk* chunk) {
  const CallRow& row = c->row;
  if (!c->fUntouched) p->tenancy.DeletedMediaOfCall(row.llTenantId, c->llFreed);
  p->report.llBytesFreed += c->llFreed;
  chunk->llFreed += c->llFreed;
  if (row.llTenantId) p->report.tenants[row.llTenantId].llBytes += c->llFreed;
  if (c->fKept) {
    p->fStuck = true;
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
  if (!c->fKept || !c->removed.empty())
    chunk->audit.push_back({row.llId, row.llTenantId, c->llFreed, c->removed});
}

// The chunk's files go, once their intents are on the disk; the audit trail
// names them before any is marked.
void RemoveChunk(Pass* p, Chunk* chunk) {
  std::vector<Intent> intents;
  for (const CallWork& c : chunk->calls)
    for (const File& f : c.files)
      intents.push_back({c.row.llId, c.row.llTenantId, f.llBytes, f.ino,
                         c.fSecure, f.strDir + "/" + f.strName});
  p->journal.Intend(intents);
  for (CallWork& c : chunk->calls) {
    RemoveCallFiles(&chunk->dirs, &c);
    SettleCall(p, &c, chunk);
  }
  FaultPoint("before-audit");
  if (!AuditCalls(p->report.llNumber, chunk->audit) && !p->fAuditFailed) {
    lg(LOG_WARNING, "fifodel: cannot write %s: %s", AUDIT_FILE, strerror(errno));
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
  for (const auto& [tenant, calls] : m.calls) {
    p->report.llCallsMarked += calls;
    if (tenant) p->report.tenants[tenant].llCalls += calls;
  }
  return true;
}

// Marks the chunk's calls while the next chunk's files go.
void Mark(Pass* p, const Chunk& chunk) {
  Marked m = {false, "", MarkingStatement(chunk.ids), {}};
  for (const CallWork& c : chunk.calls)
    if (!c.fKept && c.row.llId != -1) ++m.calls[c.row.llTenantId];
  p->marked = p->db.Send([p, m]() mutable {
    FaultPoint("before-mark");
    dbi_result result = DbQuery(p->conn, m.strQuery);
    FaultPoint("after-mark");
    if ((m.ok = result != nullptr)) dbi_result_free(result);
    if (!m.ok) m.strError = DbErrorText(p->conn);
    return m;
  });
}

// Asks for the chunk after the first `handled` of `rows`, before it is due.
void AskForNext(Pass* p, const std::vector<CallRow>& rows, size_t handled) {
  p->from.firstChunk.clear();
  if (p->from.llLastId == 0)
    for (size_t i = 0; i < handled; ++i) p->from.firstChunk.push_back(rows[i].llId);
  p->from.llLastId = handled ? rows[handled - 1].llId : 0;
  p->next = p->db.Send([p, from = p->from] { return QueryChunk(p->conn, from); });
}

// Reads, handles and marks one chunk of the oldest archived calls.
ChunkEnd DoChunk(Pass* p) {
  lg(LOG_NOTICE, "FIFO_delete: still bytes to free");
  auto rows = p->next.get();
  FaultPoint("chunk-query");
  if (!rows) {
    lg(LOG_NOTICE, "FIFO_delete: fifodel query error (1)");
    return kDbError;
  }
  const Continuation before = p->from;
  if (!rows->empty()) AskForNext(p, *rows, rows->size());
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
  if (!chunk.ids.empty() && !p->req.fSim) Mark(p, chunk);
  if (chunk.calls.empty()) {
    lg(LOG_NOTICE, "FIFO_delete row count is zero");
    return kExhausted;
  }
  if (chunk.calls.size() < rows->size() && p->liBytesToFree > 0) {
    p->next.wait();  // asked for too far on: again, after the last handled
    p->from = before;
    AskForNext(p, *rows, chunk.calls.size());
  }
  return kNextChunk;
}

// The chunks, then the tenant transaction, with the journal told its id
// before it commits; a simulation charges nothing.
ChunkEnd RunChunks(Pass* p) {
  AskForNext(p, {}, 0);
  ChunkEnd end = kNextChunk;
  while (end == kNextChunk && p->liBytesToFree > 0) {
    end = DoChunk(p);
    if (p->req.betweenChunks) p->req.betweenChunks();
  }
  if (!MarkedBefore(p)) end = kDbError;
  if (p->next.valid()) p->next.wait();
  LLMAP committed = p->tenancy.Update(
      p->req.fSim ? BeforeCommit() : [p](const std::string& xid, const LLMAP& f) {
        return p->journal.BeforeCommit(xid, f);
      });
  if (committed.size() == p->tenancy.Deltas().size()) p->journal.Settled();
  return end;
}

PassOutcome OutcomeOf(ChunkEnd end, const Pass& p) {
  if (end == kDbError) return kOutcomeDbError;
  if (end == kPruned) return kOutcomePruned;
  if (p.liBytesToFree <= 0) return kOutcomeCovered;
  return p.fStuck && p.report.llBytesFreed == 0 ? kOutcomeStuck
                                                : kOutcomeExhausted;
}

// A connected pass; its connection is closed by the caller.
PassReport Connected(const PassRequest& req, dbi_conn conn, time_t tStart) {
  Pass pass(req, conn);
  pass.report.tStart = tStart;
  ChunkEnd end = kExhausted;
  if (pass.tree.Open()) {
    end = RunChunks(&pass);
  } else {  // without the tree nothing can be freed: stuck, not the database
    ReportStuck(pass.known, LOG_ERR,
                {{StuckKey::kDirectory, 0, RECORDINGS_DIR},
                 std::string("cannot be opened: ") + strerror(errno)},
                &pass.report.stuck);
    pass.fStuck = true;
  }
  pass.report.outcome = OutcomeOf(end, pass);
  return pass.report;
}

}  // namespace

PassReport RunPass(const PassRequest& req) {
  lg(LOG_NOTICE, "FIFO_delete: %lld bytes to free", req.liBytesToFree);
  if (req.fSim) lg(LOG_NOTICE, "Simulated");
  PassReport report;
  report.llNumber = req.llNumber;
  report.tStart = time(nullptr);
  report.outcome = kOutcomeDbError;
  FaultPoint("connect");
  dbi_conn conn;
  if (getDbConnection(&conn) != 0) {
    lg(LOG_ERR, "FIFO_delete: Stop, we cannot connect to database");
  } else {
    lg(LOG_NOTICE, "FIFO_delete: Connected to DB");
    // Counts an earlier pass could not commit go first.
    if (!req.fSim) ApplyPendingJournal();
    report = Connected(req, conn, report.tStart);
    dbi_conn_close(conn);
  }
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
