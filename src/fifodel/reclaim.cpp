// One reclamation pass over the oldest archived calls. Sizes come from
// fstatat on each file, never from the database, so the bytes counted are
// the bytes that really left the disk. Every file is reached through the
// descriptor of its directory, resolved beneath /recordings.
#include "reclaim.h"

#include <errno.h>
#include <fcntl.h>
#include <string.h>
#include <sys/stat.h>
#include <syslog.h>

#include <string>
#include <vector>

#include "audit.h"
#include "db.h"
#include "faults.h"
#include "journal.h"
#include "logging.h"
#include "notify.h"
#include "paths.h"
#include "prune.h"
#include "removal.h"
#include "report.h"
#include "rows.h"
#include "tenancy.h"
#include "tree.h"

namespace {

// The state that lasts for a whole pass.
struct Pass {
  Pass(long long liBytes, bool fSimulated, dbi_conn dbconn)
      : liBytesToFree(liBytes), fSim(fSimulated), conn(dbconn) {}
  long long liBytesToFree;
  bool fSim;
  dbi_conn conn;
  Tree tree;
  ConfDir conf;
  Tenancy tenancy;
  Journal journal;
  bool firstEntry = true;
  Continuation from;  // set once stuck calls were met
  bool fMetStuck = false;
};

// What a chunk has done so far.
struct Chunk {
  std::vector<long long> ids;          // to mark, in row order
  std::vector<AuditedCall> reclaimed;  // audited once marked
  int iRowCount = 1;
  long long llFreed = 0;
  long long llLastId = 0;
  bool fStuck = false;  // a handled call stays archived
};

// One call being handled.
struct Call {
  explicit Call(const CallRow& callRow) : row(callRow) {}
  const CallRow& row;
  long long llSize = 0;
  bool fWarned = false;  // about its directory
  int iErr = 0;          // why the last file was kept
  std::vector<std::string> files;
};

// What became of one file of a call.
enum FileFate {
  kMissing,  // not there: not counted, no message
  kCounted,  // removed, or in simulation would be: its size is counted
  kKept,     // present but could not be removed: not counted
  kRefused,  // neither a regular file nor a symbolic link: left alone
};

// A call's directory did not resolve. Missing counts as missing; a symbolic
// link or an escape too, but is said once per call, since following it
// would remove files outside the tree.
FileFate NoDirectory(int err, const std::string& strDir, Call* call) {
  if (err == ENOENT || err == ENOTDIR) return kMissing;
  if (err != ELOOP && err != EXDEV) {
    call->iErr = err;
    return kKept;
  }
  if (!call->fWarned)
    lg(LOG_WARNING, "FIFO_delete: call %lld: %s not followed: %s",
       call->row.llId, Printable(RECORDINGS_DIR "/" + strDir).c_str(),
       ResolveFailure(err));
  call->fWarned = true;
  return kMissing;
}

// Bytes that leave the disk with the name: none for a link, none while
// another hard link keeps the data.
long long FreedBytes(const struct stat& st) {
  return S_ISREG(st.st_mode) && st.st_nlink == 1 ? st.st_size : 0;
}

// Removes the file `acName` of `dirfd`, whose removal frees `llSize`, and
// journals its charge; false, with errno, when it stays.
bool RemoveAndJournal(Pass* pass, int dirfd, const char* acName,
                      const std::string& strPath, long long llSize,
                      Call* call) {
  // Looked up anew for every file: switching modes needs no restart.
  bool fShredded = false;
  if (!DeleteFn(dirfd, acName, strPath.c_str(), pass->conf.SecureDelete(),
                &fShredded))
    return false;
  call->files.push_back((fShredded ? "shredded " : "removed ") + strPath);
  // Per file, not per call: a kill between a call's files must not lose
  // what the first of them freed.
  if (call->row.llTenantId != 0 && llSize != 0)
    pass->journal.Append(call->row.llTenantId, llSize);
  return true;
}

// Removes (or in simulation only logs) the file `strRel` below /recordings.
FileFate ReclaimFile(Pass* pass, const std::string& strRel, Call* call) {
  size_t slash = strRel.rfind('/');
  const std::string strDir = strRel.substr(0, slash);
  const char* acName = strRel.c_str() + slash + 1;
  int dirfd = pass->tree.Dir(strDir);
  if (dirfd < 0) return NoDirectory(errno, strDir, call);
  struct stat st;
  if (fstatat(dirfd, acName, &st, AT_SYMLINK_NOFOLLOW) != 0) return kMissing;
  if (!S_ISREG(st.st_mode) && !S_ISLNK(st.st_mode)) return kRefused;
  const std::string strPath = RECORDINGS_DIR "/" + strRel;
  long long llSize = FreedBytes(st);
  if (pass->fSim) {
    lg(LOG_NOTICE, "FIFO_delete: removing %s size %lu",
       Printable(strPath).c_str(), static_cast<unsigned long>(llSize));
  } else if (!RemoveAndJournal(pass, dirfd, acName, strPath, llSize, call)) {
    call->iErr = errno;
    return kKept;
  }
  call->llSize = SaturatingAdd(call->llSize, llSize);
  return kCounted;
}

std::string ScreenRel(const CallRow& row) {
  std::string strRel = row.acDirectory;
  if (row.acScreenFn == nullptr) {
    strRel += "/screen";
    strRel += row.acFilename;
    strRel.replace(strRel.size() - 3, 3, "wmv");
  } else {
    strRel += "/";
    strRel += row.acScreenFn;
  }
  return strRel;
}

// A companion or screen file that is not a file stays; said once.
void CompanionStays(const std::string& strRel) {
  const std::string strPath = RECORDINGS_DIR "/" + strRel;
  if (NoteStuck("file " + strPath, "not a regular file or a symbolic link"))
    lg(LOG_WARNING, "FIFO_delete: %s stays: not a regular file",
       Printable(strPath).c_str());
}

void ReclaimCompanion(Pass* pass, const std::string& strRel, Call* call) {
  if (ReclaimFile(pass, strRel, call) == kRefused) CompanionStays(strRel);
}

// The media could not be removed: the call stays archived, said once per
// process; the pass goes on past it.
void MediaStuck(const std::string& strRel, Call* call, Chunk* chunk) {
  const long long llId = call->row.llId;
  const std::string strPath = Printable(RECORDINGS_DIR "/" + strRel);
  const char* acWhy = strerror(call->iErr);
  if (NoteStuck("call " + std::to_string(llId), strPath + ": " + acWhy))
    lg(LOG_ERR, "FIFO_delete: call %lld stuck: cannot remove %s: %s", llId,
       strPath.c_str(), acWhy);
  chunk->fStuck = true;
}

// The call's files are gone or counted: charges them and keeps the count.
void Charge(Pass* pass, Chunk* chunk, Call* call) {
  const CallRow& row = call->row;
  pass->liBytesToFree = SaturatingAdd(pass->liBytesToFree, -call->llSize);
  chunk->llFreed = SaturatingAdd(chunk->llFreed, call->llSize);
  if (pass->fSim) return;
  pass->tenancy.DeletedMediaOfCall(row.llTenantId, call->llSize);
  g_lastPass.llBytesFreed += call->llSize;
  g_totals.llBytes += call->llSize;
  if (row.llTenantId != 0)
    g_totals.tenants[row.llTenantId].llBytes += call->llSize;
}

// Records `call` for marking; the id -1 stands for an empty slot and is
// never marked, so such a call stays archived like a stuck one.
void ToMark(const Call& call, Chunk* chunk) {
  const CallRow& row = call.row;
  if (row.llId == -1) {
    chunk->fStuck = true;
    return;
  }
  chunk->ids.push_back(row.llId);
  chunk->reclaimed.push_back(
      {row.llId, row.llTenantId, call.llSize, call.files});
  ClearStuck("call " + std::to_string(row.llId));
}

// A row whose files must not be touched is logged and marked, so that it
// does not come back in every chunk.
void LeaveUntouched(const CallRow& row, const char* acWhy, Chunk* chunk) {
  lg(LOG_WARNING, "FIFO_delete: call %lld left untouched: %s", row.llId, acWhy);
  Call call(row);
  ToMark(call, chunk);
}

void HandleCall(const CallRow& row, Pass* pass, Chunk* chunk) {
  const std::string strMedia =
      std::string(row.acDirectory) + "/" + row.acFilename;
  Call call(row);
  FileFate media = ReclaimFile(pass, strMedia, &call);
  if (media == kRefused)
    return LeaveUntouched(row, "the media file is not a regular file", chunk);
  // A missing media file still gets the call marked.
  if (media == kKept) MediaStuck(strMedia, &call, chunk);
  FaultPoint("between-files");
  ReclaimCompanion(pass, strMedia + ".g711", &call);
  if (row.iFlags & 2) ReclaimCompanion(pass, ScreenRel(row), &call);
  Charge(pass, chunk, &call);
  if (media != kKept) ToMark(call, chunk);
}

enum ChunkEnd { kNextChunk, kPassOver, kDbError, kExhausted, kPruned };

// Handles the rows of one chunk until the shortfall is covered. kPruned when
// the oldest call's stale directories went instead.
ChunkEnd HandleRows(dbi_result result, Pass* pass, Chunk* chunk) {
  // The remaining count is tested between rows only: a call's files always
  // go together.
  while (pass->liBytesToFree > 0 && dbi_result_next_row(result)) {
    CallRow row = ReadRow(result);
    if (chunk->iRowCount == 1 && pass->from.strStartdate.empty())
      g_lastPass.strOldestDirectory = row.acDirectory ? row.acDirectory : "";
    const char* acWhy =
        RowProblem(row.acDirectory, row.acFilename, row.acScreenFn);
    // The oldest sound call decides which tree directories are stale.
    if (pass->firstEntry && !acWhy &&
        FifoOldestEntry(row.acDirectory, pass->fSim,
                        {pass->tree.root(), pass->conn, g_lastPass.llNumber}))
      return kPruned;
    if (acWhy) {
      LeaveUntouched(row, acWhy, chunk);
    } else {
      pass->firstEntry = false;
      HandleCall(row, pass, chunk);
    }
    chunk->llLastId = row.llId;
    ++chunk->iRowCount;
  }
  return kNextChunk;
}

// Sends the marking statement; the journal is on the disk before a call is
// marked, so that a marked call's bytes are never lost.
bool Mark(Pass* pass, Chunk* chunk) {
  if (pass->fSim || chunk->ids.empty()) return true;
  pass->journal.Sync();
  std::string strQuery = MarkingStatement(chunk->ids);
  FaultPoint("before-mark");
  dbi_result marked = DbQuery(pass->conn, strQuery);
  FaultPoint("after-mark");
  if (!marked) {
    lg(LOG_NOTICE, "FIFO_delete: query error: %s q: %s",
       DbErrorText(pass->conn), strQuery.c_str());
    return false;
  }
  dbi_result_free(marked);
  AuditCalls(g_lastPass.llNumber, chunk->reclaimed);
  for (const AuditedCall& r : chunk->reclaimed)
    if (r.llTenantId != 0) ++g_totals.tenants[r.llTenantId].llCalls;
  g_lastPass.llCallsMarked += chunk->ids.size();
  g_totals.llCalls += chunk->ids.size();
  return true;
}

// After a chunk: whether and from where the pass goes on.
ChunkEnd Decide(Pass* pass, const Chunk& chunk) {
  if (chunk.iRowCount == 1) {
    lg(LOG_NOTICE, "FIFO_delete row count is zero");
    return kExhausted;
  }
  // Nothing is marked in simulation: the next query returns the same rows.
  if (pass->fSim && chunk.llFreed == 0) {
    lg(LOG_NOTICE, "FIFO_delete: no progress in this chunk, giving up");
    return kPassOver;
  }
  if (!pass->fSim && chunk.fStuck) {
    // The next plain query would return the stuck calls again: go on after
    // the last call handled instead.
    pass->fMetStuck = true;
    if (!ContinueAfter(pass->conn, chunk.llLastId, &pass->from)) {
      lg(LOG_NOTICE, "FIFO_delete: fifodel query error (2)");
      return kDbError;
    }
  }
  return kNextChunk;
}

// Reads, handles and marks one chunk of the oldest archived calls.
ChunkEnd DoChunk(Pass* pass) {
  lg(LOG_NOTICE, "FIFO_delete: still bytes to free");
  dbi_result result = QueryChunk(pass->conn, pass->from);
  FaultPoint("chunk-query");
  if (!result) {
    lg(LOG_NOTICE, "FIFO_delete: fifodel query error (1)");
    return kDbError;
  }
  Chunk chunk;
  ChunkEnd end = HandleRows(result, pass, &chunk);
  dbi_result_free(result);
  if (end == kPruned) return kPruned;
  lg(LOG_NOTICE, "FIFO_delete: freed %lld KB", chunk.llFreed / 1024);
  if (!Mark(pass, &chunk)) return kDbError;
  return Decide(pass, chunk);
}

PassOutcome OutcomeOf(ChunkEnd end, const Pass& pass) {
  if (end == kDbError) return kOutcomeDbError;
  if (end == kPruned) return kOutcomePruned;
  if (pass.liBytesToFree <= 0) return kOutcomeCovered;
  if (pass.fMetStuck && g_lastPass.llBytesFreed == 0) return kOutcomeStuck;
  return kOutcomeExhausted;
}

// Without the tree nothing can be freed: the pass is stuck, not the database.
void TreeUnreachable(Pass* pass) {
  const char* acWhy = strerror(errno);
  lg(LOG_ERR, "FIFO_delete: cannot open " RECORDINGS_DIR ": %s", acWhy);
  NoteStuck("directory " RECORDINGS_DIR, acWhy);
  pass->fMetStuck = true;
}

// The chunks of a connected pass, then its tenant transaction.
ChunkEnd RunChunks(Pass* pass) {
  ChunkEnd end = kNextChunk;
  while (end == kNextChunk && pass->liBytesToFree > 0) {
    end = DoChunk(pass);
    NotifyWatchdog();
  }
  pass->tenancy.Update();
  FaultPoint("after-commit");
  if (!pass->fSim) SettleJournal(pass->tenancy.Committed());
  return end;
}

}  // namespace

bool FIFO_delete(long long liBytesToFree, bool fSim) {
  lg(LOG_NOTICE, "FIFO_delete: %lld bytes to free", liBytesToFree);
  if (fSim) lg(LOG_NOTICE, "Simulated");
  BeginPassReport();
  FaultPoint("connect");
  dbi_conn conn;
  if (getDbConnection(&conn) != 0) {
    lg(LOG_ERR, "FIFO_delete: Stop, we cannot connect to database");
    lg(LOG_NOTICE, "FIFO_delete: finished");
    EndPassReport(kOutcomeDbError);
    return false;
  }
  lg(LOG_NOTICE, "FIFO_delete: Connected to DB");
  // Counts an earlier pass could not commit go first.
  if (!fSim) ApplyPendingJournal();
  Pass pass(liBytesToFree, fSim, conn);
  ChunkEnd end = kPassOver;
  if (pass.tree.Open()) {
    ClearStuck("directory " RECORDINGS_DIR);
    end = RunChunks(&pass);
  } else {
    TreeUnreachable(&pass);
  }
  dbi_conn_close(conn);
  lg(LOG_NOTICE, "FIFO_delete: finished");
  EndPassReport(OutcomeOf(end, pass));
  return end == kPruned;
}
