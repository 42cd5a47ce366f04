// Sizes come from fstatat on each file, never from the database, so the
// bytes counted are those that really left the disk. The pass's connection
// belongs to a thread of its own: the next chunk's query runs while a
// chunk's files go, and a chunk's marking while the next one's go.
#include "reclaim.h"

#include <errno.h>
#include <fcntl.h>
#include <string.h>
#include <sys/stat.h>
#include <syslog.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <memory>

#include "audit.h"
#include "calls.h"
#include "db.h"
#include "faults.h"
#include "identity.h"
#include "journal.h"
#include "logging.h"
#include "paths.h"
#include "prune.h"
#include "removal.h"
#include "replay.h"
#include "serial.h"
#include "tree.h"

const char* const kOutcomeNames[6] = {"none",      "covered", "pruned",
                                      "exhausted", "stuck",   "db_error"};

namespace {

struct File {  // as it was when looked at
  std::string strDir, strName;
  long long llBytes;  // what its removal frees
  DirId dir;
  FileId id;
};

struct CallWork {
  CallRow row;
  bool fUntouched = false, fSecure = false, fMedia = false, fWarned = false;
  std::vector<File> files{};  // the media first, when present
  long long llPlanned = 0, llFreed = 0;
  bool fKept = false;                  // the media stays, and the call archived
  int iErr = 0;                        // why; 0: its directory moved away
  std::vector<std::string> removed{};  // for the audit trail
};

// The directories of a chunk's calls, held from the look at their files to
// their removal, and used for a removal only while each is still where its
// path leads: one moved away meanwhile keeps its files.
class ChunkDirs {
 public:
  explicit ChunkDirs(int rootfd) : rootfd_(rootfd) {}
  ~ChunkDirs() {
    for (const auto& [rel, d] : dirs_)
      if (d.fd >= 0) close(d.fd);
  }
  int Look(const std::string& rel) {  // -1 with errno
    if (rel != last_->first) {
      auto [it, fNew] = dirs_.try_emplace(rel);
      Dir& d = it->second;
      if (fNew && (d.fd = OpenBeneath(rootfd_, rel, false)) < 0) d.err = errno;
      if (fNew && d.fd >= 0) fstat(d.fd, &d.st), DirIdOf(d.fd, &d.id);
      last_ = it;
    }
    errno = last_->second.err;
    return last_->second.fd;
  }
  const DirId& LastId() const { return last_->second.id; }
  // A directory looked at, if it is still where `rel` leads; -1 otherwise.
  // Changes nothing: the removal threads ask at once.
  int Fresh(const std::string& rel) const {
    auto it = dirs_.find(rel);
    const Dir& d = it == dirs_.end() ? dirs_.begin()->second : it->second;
    int now = d.fd < 0 ? -1 : OpenBeneath(rootfd_, rel, false, true);
    struct stat st;
    bool fSame = now >= 0 && fstat(now, &st) == 0 && st.st_dev == d.st.st_dev &&
                 st.st_ino == d.st.st_ino;
    if (now >= 0) close(now);
    return fSame ? d.fd : -1;
  }
  // The chunk's unlinks on stable storage: a power loss must not bring back
  // a file that is about to be charged, marked or audited as gone.
  void Sync() const {
    for (const auto& [rel, d] : dirs_)
      if (d.fd >= 0) fsync(d.fd);
  }

 private:
  struct Dir {
    int fd = -1, err = 0;
    struct stat st = {};
    DirId id;
  };
  int rootfd_;
  std::map<std::string, Dir> dirs_ = {{"", Dir{}}};  // "": nothing looked up
  std::map<std::string, Dir>::iterator last_ = dirs_.begin();
};

struct Chunk {
  explicit Chunk(int rootfd) : dirs(std::make_unique<ChunkDirs>(rootfd)) {}
  std::unique_ptr<ChunkDirs> dirs;  // handed on to the chunk's finish
  std::vector<CallWork> calls;
  long long llFreed = 0;
  std::vector<long long> ids;  // to mark
  std::vector<AuditedCall> audit;
};

struct Marked {  // a chunk's finish: its marking, and what it counts for
  bool ok = true, fAudited = true;
  std::string strError, strQuery, strAuditError;
  std::map<long long, long long> calls;  // marked, by tenant
};

const StuckRegistry kNothingSaid;

struct Pass {
  Pass(const PassRequest& r, dbi_conn c)
      : req(r),
        conn(c),
        liBytesToFree(r.liBytesToFree),
        known(r.known ? *r.known : kNothingSaid) {
    report.llNumber = r.llNumber;
  }
  const PassRequest& req;
  dbi_conn conn;
  Serial db;      // owns `conn` while the pass runs
  Serial helper;  // removes a chunk's files beside the pass's thread
  PassReport report;
  long long liBytesToFree;
  Tree tree;
  ConfDir conf;
  Tenancy tenancy;
  Journal journal;
  const StuckRegistry& known;
  bool firstEntry = true, fStuck = false, fAuditFailed = false;
  Continuation from;
  std::future<std::optional<std::vector<CallRow>>> next;
  std::future<Marked> marked;
};

enum Fate { kMissing, kPresent, kRefused, kBlocked };
enum ChunkEnd { kNextChunk, kDbError, kExhausted, kPruned };

std::string Abs(const std::string& strDir, const std::string& strName) {
  return RECORDINGS_DIR "/" + strDir + "/" + strName;
}

// A directory reached through a symbolic link or leading out of the tree is
// not followed: its files count as missing, and it is said once per call.
Fate NoDirectory(int err, const std::string& strDir, CallWork* c) {
  if (err == ENOENT || err == ENOTDIR) return kMissing;
  if (err != ELOOP && err != EXDEV) return c->iErr = err, kBlocked;
  if (!c->fWarned)
    lg(LOG_WARNING, "FIFO_delete: call %lld: %s not followed: %s", c->row.llId,
       Printable(RECORDINGS_DIR "/" + strDir).c_str(), ResolveFailure(err));
  c->fWarned = true;
  return kMissing;
}

// `strRel` (below /recordings, where a leading '/' points too) as its
// directory and name.
std::pair<std::string, std::string> Split(const std::string& strRel) {
  size_t from = strRel.find_first_not_of('/'), slash = strRel.rfind('/');
  return {slash == std::string::npos || slash < from
              ? "."
              : strRel.substr(from, slash - from),
          strRel.substr(slash + 1)};
}

// Plans the removal of `strName` in `strDir`. A link, or a file with other
// hard links, frees nothing.
Fate LookAtFile(Pass* p, ChunkDirs* dirs, const std::string& strDir,
                const std::string& strName, CallWork* c) {
  int dirfd = dirs->Look(strDir);
  if (dirfd < 0) return NoDirectory(errno, strDir, c);
  struct statx st;
  if (!StatxAt(dirfd, strName.c_str(), &st)) return kMissing;
  if (!S_ISREG(st.stx_mode) && !S_ISLNK(st.stx_mode)) return kRefused;
  long long llBytes =
      S_ISREG(st.stx_mode) && st.stx_nlink == 1 ? st.stx_size : 0;
  if (p->req.fSim)
    lg(LOG_NOTICE, "FIFO_delete: removing %s size %lu",
       Printable(Abs(strDir, strName)).c_str(),
       static_cast<unsigned long>(llBytes));
  c->files.push_back({strDir, strName, llBytes, dirs->LastId(), FileIdOf(st)});
  c->llPlanned = SaturatingAdd(c->llPlanned, llBytes);
  return kPresent;
}

// A companion or screen file that is no file stays, said once: its call is
// marked and does not come back.
void LookAtCompanion(Pass* p, ChunkDirs* dirs, const std::string& strDir,
                     const std::string& strName, CallWork* c) {
  if (LookAtFile(p, dirs, strDir, strName, c) == kRefused)
    lg(LOG_WARNING, "FIFO_delete: %s stays: not a regular file",
       Printable(Abs(strDir, strName)).c_str());
}

void LookAtCall(Pass* p, ChunkDirs* dirs, CallWork* c, const char* acWhy) {
  const CallRow& row = c->row;
  auto [strDir, strName] = acWhy ? std::pair<std::string, std::string>()
                                 : Split(*row.directory + "/" + *row.filename);
  Fate media = acWhy ? kRefused : LookAtFile(p, dirs, strDir, strName, c);
  if (media == kRefused) {
    // Its files stay; marked, the row does not come back in every pass.
    lg(LOG_WARNING, "FIFO_delete: call %lld left untouched: %s", row.llId,
       acWhy ? acWhy : "the media file is not a regular file");
    *c = CallWork{row, true};
    return;
  }
  c->fSecure = !p->req.fSim && p->conf.SecureDelete();
  c->fMedia = media == kPresent;
  c->fKept = media == kBlocked;
  LookAtCompanion(p, dirs, strDir, strName + ".g711", c);
  if (!(row.iFlags & 2)) return;
  std::string strScreen = *row.directory + "/screen" + *row.filename;
  auto [screenDir, screenName] =
      Split(row.screenfn ? *row.directory + "/" + *row.screenfn
                         : strScreen.replace(strScreen.size() - 3, 3, "wmv"));
  LookAtCompanion(p, dirs, screenDir, screenName, c);
}

// Looks at rows until what they free covers the shortfall (a call's files
// go together), unless the oldest sound call's stale directories go.
ChunkEnd LookAtRows(Pass* p, const std::vector<CallRow>& rows, Chunk* chunk) {
  long long llLeft = p->liBytesToFree;
  PruneContext ctx = {
      p->tree.root(),
      [p](const std::string& rel, long long* llId) {
        return p->db
            .Send([p, rel, llId] { return PendingCallIn(p->conn, rel, llId); })
            .get();
      },
      p->known, &p->report};
  for (size_t i = 0; i < rows.size() && llLeft > 0; ++i) {
    const CallRow& row = rows[i];
    const char* acWhy = RowProblem(row.directory ? row.directory->c_str() : 0,
                                   row.filename ? row.filename->c_str() : 0,
                                   row.screenfn ? row.screenfn->c_str() : 0);
    if (p->firstEntry && !acWhy &&
        FifoOldestEntry(*row.directory, p->req.fSim, ctx))
      return kPruned;
    p->firstEntry = p->firstEntry && acWhy;
    chunk->calls.push_back({row});
    LookAtCall(p, chunk->dirs.get(), &chunk->calls.back(), acWhy);
    llLeft = SaturatingAdd(llLeft, -chunk->calls.back().llPlanned);
  }
  return kNextChunk;
}

// The directory a removal thread checked last. The check comes once per run
// of consecutive files in one directory, right before the run's first
// unlink, and once per call when shredding, which takes long: a directory
// moved away before it keeps all its files.
struct Checked {
  const std::string* dir = nullptr;
  int fd = -1;
};

void RemoveCallFiles(const ChunkDirs* dirs, CallWork* c, Checked* at) {
  for (size_t i = 0; i < c->files.size(); ++i) {
    const File& f = c->files[i];
    if (!at->dir || f.strDir != *at->dir || (i == 0 && c->fSecure))
      at->fd = dirs->Fresh(*(at->dir = &f.strDir));
    errno = 0;  // moved away: its files stay, unreported
    bool fShredded = false;
    const std::string strPath = Abs(f.strDir, f.strName);
    if (at->fd >= 0 && DeleteFn(at->fd, f.strName.c_str(), strPath.c_str(),
                                c->fSecure, &fShredded)) {
      c->removed.push_back((fShredded ? "shredded " : "removed ") + strPath);
      c->llFreed = SaturatingAdd(c->llFreed, f.llBytes);
    } else if (i == 0 && c->fMedia && (at->fd < 0 || errno != ENOENT)) {
      // ENOENT: gone already, as when two rows name one media file.
      c->fKept = true;
      c->iErr = at->fd < 0 || errno ? errno : EIO;
    }
    if (i == 0 && c->fMedia) FaultPoint("between-files");
  }
}

// Both threads take the next few calls as they go, so that neither waits
// for the other; shredding, which logs as it goes, keeps to one.
void RemoveFiles(Pass* p, Chunk* chunk) {
  const size_t kBatch = 8;
  std::vector<CallWork>& calls = chunk->calls;
  std::atomic<size_t> next{0};
  auto work = [&] {
    Checked at;
    for (size_t i; (i = next.fetch_add(kBatch)) < calls.size();)
      for (size_t j = i; j < std::min(i + kBatch, calls.size()); ++j)
        RemoveCallFiles(chunk->dirs.get(), &calls[j], &at);
  };
  std::future<void> second;
  if (std::none_of(calls.begin(), calls.end(),
                   [](const CallWork& c) { return c.fSecure; }))
    second = p->helper.Send(work);
  work();
  if (second.valid()) second.get();
}

// Charges what went; marks the call, or, when its media stays, reports it.
void SettleCall(Pass* p, CallWork* c, Chunk* chunk) {
  const CallRow& row = c->row;
  if (!c->fUntouched) p->tenancy.DeletedMediaOfCall(row.llTenantId, c->llFreed);
  p->report.llBytesFreed += c->llFreed;
  chunk->llFreed += c->llFreed;
  if (row.llTenantId) p->report.tenants[row.llTenantId].llBytes += c->llFreed;
  if (c->fKept && c->iErr)
    ReportStuck(p->known, LOG_ERR,
                {{StuckKey::kCall, row.llId, ""},
                 "cannot remove " + Abs(*row.directory, *row.filename) + ": " +
                     strerror(c->iErr)},
                &p->report.stuck, &p->report.llStuckMore);
  p->fStuck = p->fStuck || c->fKept;
  if (!c->fKept && row.llId != -1) {  // -1 is an empty slot: never marked
    chunk->ids.push_back(row.llId);
    StuckKey key{StuckKey::kCall, row.llId, ""};
    if (p->known.Has(key)) p->report.loosened.push_back(key);
  }
  if (!c->fKept || !c->removed.empty())
    chunk->audit.push_back({row.llId, row.llTenantId, c->llFreed, c->removed});
}

// The files go once their intents are on the disk.
void RemoveChunk(Pass* p, Chunk* chunk) {
  std::vector<Intent> intents;
  for (const CallWork& c : chunk->calls)
    for (const File& f : c.files)
      intents.push_back({c.row.llId, c.row.llTenantId, f.llBytes, f.dir, f.id,
                         c.fSecure, f.strDir + "/" + f.strName});
  FaultPoint("before-intents");
  if (!p->journal.Intend(intents))
    for (CallWork& c : chunk->calls)
      if (p->journal.Spares(c.row.llId)) c.files.clear(), c.fKept = true;
  FaultPoint("after-intents");
  RemoveFiles(p, chunk);
  for (CallWork& c : chunk->calls) SettleCall(p, &c, chunk);
}

// The last chunk's finish; said when it failed.
bool MarkedBefore(Pass* p) {
  if (!p->marked.valid()) return true;
  Marked m = p->marked.get();
  if (!m.fAudited && !p->fAuditFailed)
    lg(LOG_WARNING, "fifodel: cannot write %s: %s", AUDIT_FILE,
       m.strAuditError.c_str());
  p->fAuditFailed = p->fAuditFailed || !m.fAudited;
  if (!m.ok)
    lg(LOG_NOTICE, "FIFO_delete: query error: %s q: %s", m.strError.c_str(),
       m.strQuery.c_str());
  for (const auto& [tenant, calls] : m.calls) {
    p->report.llCallsMarked += calls;
    if (tenant) p->report.tenants[tenant].llCalls += calls;
  }
  return m.ok;
}

// A chunk's finish, on the database thread while the next chunk's files go:
// its unlinks on stable storage (a power loss must not bring back a file
// that is audited, marked or charged as gone), then its audit lines, noted
// in the journal, then, with `fMark`, its marking.
void Finish(Pass* p, Chunk* chunk, bool fMark) {
  Marked m;
  m.strQuery = MarkingStatement(chunk->ids);
  fMark = fMark && !chunk->ids.empty();
  for (const CallWork& c : chunk->calls)
    if (fMark && !c.fKept && c.row.llId != -1) ++m.calls[c.row.llTenantId];
  p->marked = p->db.Send([p, m, fMark, llPass = p->report.llNumber,
                          llIntents = p->journal.Intended(),
                          dirs = std::move(chunk->dirs),
                          audit = std::move(chunk->audit)]() mutable {
    dirs->Sync();
    FaultPoint("before-audit");
    if ((m.fAudited = AuditCalls(llPass, audit))) {
      p->journal.Audited(llIntents);
    } else {
      m.strAuditError = strerror(errno);
    }
    if (!fMark) return m;
    FaultPoint("before-mark");
    dbi_result result = DbQuery(p->conn, m.strQuery);
    FaultPoint("after-mark");
    if ((m.ok = result != nullptr)) dbi_result_free(result);
    if (!m.ok) m.strError = DbErrorText(p->conn), m.calls.clear();
    return m;
  });
}

// Asks, in advance, for the chunk after the first `handled` of `rows`.
void AskForNext(Pass* p, const std::vector<CallRow>& rows, size_t handled) {
  p->from.firstChunk.clear();
  for (size_t i = 0; i < handled && p->from.llLastId == 0; ++i)
    p->from.firstChunk.push_back(rows[i].llId);
  p->from.llLastId = handled ? rows[handled - 1].llId : 0;
  p->next =
      p->db.Send([p, from = p->from] { return QueryChunk(p->conn, from); });
}

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
  if (!p->req.fSim) RemoveChunk(p, &chunk);
  for (const CallWork& c : chunk.calls)
    chunk.llFreed += p->req.fSim ? c.llPlanned : 0;
  p->liBytesToFree = SaturatingAdd(p->liBytesToFree, -chunk.llFreed);
  lg(LOG_NOTICE, "FIFO_delete: freed %lld KB", chunk.llFreed / 1024);
  // A failed marking ends the pass, but a chunk whose files went still gets
  // its audit lines.
  const bool fMarked = MarkedBefore(p);
  if (!p->req.fSim && !chunk.calls.empty()) Finish(p, &chunk, fMarked);
  if (!fMarked) return kDbError;
  if (chunk.calls.empty()) {
    lg(LOG_NOTICE, "FIFO_delete row count is zero");
    return kExhausted;
  }
  if (chunk.calls.size() < rows->size() && p->liBytesToFree > 0) {
    p->next.wait();  // asked too far on: again, after the last one handled
    p->from = before;
    AskForNext(p, *rows, chunk.calls.size());
  }
  return kNextChunk;
}

// The chunks, then the tenant transaction, whose id the journal records
// before it commits.
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
      p->req.fSim ? BeforeCommit()
                  : [p](const std::string& xid, const LLMAP& f) {
                      return p->journal.BeforeCommit(xid, f);
                    });
  // Files without their audit lines keep the segment, whose replay writes
  // them once the audit trail can be written again.
  if (committed.size() == p->tenancy.Deltas().size() && !p->fAuditFailed)
    p->journal.Settled();
  return end;
}

PassReport Connected(const PassRequest& req, dbi_conn conn) {
  Pass pass(req, conn);
  ChunkEnd end = kExhausted;
  if (pass.tree.Open()) {
    end = RunChunks(&pass);
  } else {  // without the tree nothing can be freed: stuck, not the database
    ReportStuck(pass.known, LOG_ERR,
                {{StuckKey::kDirectory, 0, RECORDINGS_DIR},
                 std::string("cannot be opened: ") + strerror(errno)},
                &pass.report.stuck, &pass.report.llStuckMore);
    pass.fStuck = true;
  }
  PassOutcome o = pass.fStuck && pass.report.llBytesFreed == 0
                      ? kOutcomeStuck
                      : kOutcomeExhausted;
  if (pass.liBytesToFree <= 0) o = kOutcomeCovered;
  if (end == kPruned) o = kOutcomePruned;
  pass.report.outcome = end == kDbError ? kOutcomeDbError : o;
  return pass.report;
}

}  // namespace

PassReport RunPass(const PassRequest& req) {
  lg(LOG_NOTICE, "FIFO_delete: %lld bytes to free", req.liBytesToFree);
  if (req.fSim) lg(LOG_NOTICE, "Simulated");
  time_t tStart = time(nullptr);
  PassReport report;
  report.outcome = kOutcomeDbError;
  report.llNumber = req.llNumber;
  FaultPoint("connect");
  dbi_conn conn;
  if (getDbConnection(&conn) != 0) {
    lg(LOG_ERR, "FIFO_delete: Stop, we cannot connect to database");
  } else {
    lg(LOG_NOTICE, "FIFO_delete: Connected to DB");
    // Counts an earlier pass could not commit go first.
    if (!req.fSim) ApplyPendingJournal();
    report = Connected(req, conn);
    dbi_conn_close(conn);
  }
  lg(LOG_NOTICE, "FIFO_delete: finished");
  report.tStart = tStart;
  report.tEnd = time(nullptr);
  return report;
}

bool FIFO_delete(long long liBytesToFree, bool fSim) {
  PassRequest req;
  req.liBytesToFree = liBytesToFree;
  req.fSim = fSim;
  return RunPass(req).outcome == kOutcomePruned;
}
