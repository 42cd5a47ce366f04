// One reclamation pass over the oldest archived calls. Sizes come from stat
// on each file, never from the database, so the bytes counted are the bytes
// that really left the disk.
#include "reclaim.h"

#include <dbi/dbi.h>
#include <stdio.h>
#include <string.h>
#include <sys/stat.h>
#include <syslog.h>

#include <string>

#include "db.h"
#include "logging.h"
#include "paths.h"
#include "prune.h"
#include "removal.h"
#include "tenancy.h"

namespace {

// One archived call as the chunk query delivers it.
struct CallRow {
  long long llId;
  long long llTenantId;
  int iFlags;
  const char* acDirectory;  // NULL when the column is NULL
  const char* acFilename;
  const char* acScreenFn;
};

// What a chunk has done so far.
struct Chunk {
  long long arr_llIDs[CHUNK];
  int iRowCount = 1;
  long long llFreed = 0;
};

// The state that lasts for a whole pass.
struct Pass {
  long long liBytesToFree;
  bool fSim;
  Tenancy tenancy;
};

const char* NullableString(dbi_result result, const char* field) {
  if (dbi_result_field_is_null(result, field)) return nullptr;
  return dbi_result_get_string(result, field);
}

CallRow ReadRow(dbi_result result) {
  CallRow row;
  row.llId = dbi_result_get_longlong(result, "id");
  row.acFilename = NullableString(result, "filename");
  row.acDirectory = NullableString(result, "directory");
  row.acScreenFn = NullableString(result, "screenfn");
  row.iFlags = dbi_result_get_int(result, "flags");
  row.llTenantId = dbi_result_get_longlong(result, "tenantid");
  return row;
}

bool HasDotDotComponent(const char* acPath) {
  if (acPath == nullptr) return false;
  for (const char* p = acPath; *p;) {
    size_t len = strcspn(p, "/");
    if (len == 2 && p[0] == '.' && p[1] == '.') return true;
    p += len;
    if (*p == '/') ++p;
  }
  return false;
}

// Why the row's files must not be touched, or nullptr when they may be.
const char* Unsafe(const CallRow& row) {
  if (row.acDirectory == nullptr) return "directory is NULL";
  if (row.acFilename == nullptr) return "filename is NULL";
  if (HasDotDotComponent(row.acDirectory) ||
      HasDotDotComponent(row.acFilename) || HasDotDotComponent(row.acScreenFn))
    return "a '..' path component would leave /recordings";
  return nullptr;
}

// What became of one file of a call.
enum FileFate {
  kMissing,  // stat found nothing: not counted, no message
  kCounted,  // removed, or in simulation would be: its size is counted
  kKept,     // present but could not be removed: not counted
};

// Removes (or in simulation only logs) one file; adds its size to `*llSize`
// when counted.
FileFate ReclaimFile(const std::string& strPath, bool fSim, long long* llSize) {
  struct stat st;
  if (stat(strPath.c_str(), &st) != 0) return kMissing;
  if (fSim) {
    lg(LOG_NOTICE, "FIFO_delete: removing %s size %lu", strPath.c_str(),
       static_cast<unsigned long>(st.st_size));
  } else if (!DeleteFn(strPath.c_str())) {
    return kKept;
  }
  *llSize += st.st_size;
  return kCounted;
}

std::string ScreenPath(const CallRow& row) {
  std::string strFullFilename = RECORDINGS_DIR "/";
  strFullFilename += row.acDirectory;
  if (row.acScreenFn == nullptr) {
    strFullFilename += "/screen";
    strFullFilename += row.acFilename;
    strFullFilename.replace(strFullFilename.size() - 3, 3, "wmv");
  } else {
    strFullFilename += "/";
    strFullFilename += row.acScreenFn;
  }
  return strFullFilename;
}

// Handles the files of one call, recording its id in `llSlot` when the call
// is to be marked.
void HandleCall(const CallRow& row, Pass* pass, Chunk* chunk,
                long long* llSlot) {
  std::string strFullFilename = RECORDINGS_DIR "/";
  strFullFilename += row.acDirectory;
  strFullFilename += "/";
  strFullFilename += row.acFilename;

  long long llCallSize = 0;
  // A missing media file still gets the call marked; one that could not be
  // removed leaves the call archived, to be tried again by a later pass.
  if (ReclaimFile(strFullFilename, pass->fSim, &llCallSize) != kKept)
    *llSlot = row.llId;
  ReclaimFile(strFullFilename + ".g711", pass->fSim, &llCallSize);
  if (row.iFlags & 2) ReclaimFile(ScreenPath(row), pass->fSim, &llCallSize);

  pass->liBytesToFree -= llCallSize;
  chunk->llFreed += llCallSize;
  if (!pass->fSim) pass->tenancy.DeletedMediaOfCall(row.llTenantId, llCallSize);
}

// The marking statement for the ids recorded in `chunk`, and whether it holds
// any id at all.
std::string MarkingStatement(const Chunk& chunk, bool* fAny) {
  std::string strQuery =
      "UPDATE Calls SET flags=flags|4 , isarchived=0 WHERE id IN (";
  int iFirst = 1;
  for (long long llId : chunk.arr_llIDs) {
    if (llId == -1) continue;
    char strNum[20];
    snprintf(strNum, sizeof strNum, "%lld", llId);
    if (!iFirst) strQuery += ",";
    strQuery += strNum;
    iFirst = 0;
  }
  strQuery += ")";
  *fAny = iFirst == 0;
  return strQuery;
}

// Handles one row; false when the row was passed over because its values
// would reach outside the tree.
bool HandleRow(const CallRow& row, Pass* pass, Chunk* chunk,
               long long* llSlot) {
  const char* acWhy = Unsafe(row);
  if (acWhy) {
    lg(LOG_WARNING, "FIFO_delete: call %lld left untouched: %s", row.llId,
       acWhy);
    *llSlot = row.llId;
    return false;
  }
  HandleCall(row, pass, chunk, llSlot);
  return true;
}

enum ChunkEnd { kNextChunk, kPassOver, kPruned };

// Reads, handles and marks one chunk of the oldest archived calls.
ChunkEnd DoChunk(dbi_conn conn, Pass* pass, bool* firstEntry) {
  lg(LOG_NOTICE, "FIFO_delete: still bytes to free");
  // The statement stays one literal, so that a grep finds it.
  // clang-format off
  dbi_result result = dbi_conn_queryf(conn, "SELECT id,directory,filename,flags,tenantid,screenfn FROM calls WHERE isarchived=1 ORDER BY startdate ASC LIMIT %d", CHUNK);
  // clang-format on
  if (!result) {
    lg(LOG_NOTICE, "FIFO_delete: fifodel query error (1)");
    return kPassOver;
  }
  Chunk chunk;
  for (long long& llId : chunk.arr_llIDs) llId = -1;
  // The remaining count is tested between rows only: a call's files always
  // go together.
  while (pass->liBytesToFree > 0 && dbi_result_next_row(result)) {
    CallRow row = ReadRow(result);
    long long* llSlot = &chunk.arr_llIDs[chunk.iRowCount - 1];
    // The oldest sound call decides which tree directories are stale.
    if (*firstEntry && !Unsafe(row) &&
        FifoOldestEntry(row.acDirectory, pass->fSim)) {
      dbi_result_free(result);
      return kPruned;
    }
    if (HandleRow(row, pass, &chunk, llSlot)) *firstEntry = false;
    ++chunk.iRowCount;
  }
  dbi_result_free(result);
  lg(LOG_NOTICE, "FIFO_delete: freed %lld KB", chunk.llFreed / 1024);

  bool fAny;
  std::string strQuery = MarkingStatement(chunk, &fAny);
  if (!pass->fSim && fAny) {
    dbi_result marked = dbi_conn_query(conn, strQuery.c_str());
    if (!marked) {
      const char* acError = nullptr;
      dbi_conn_error(conn, &acError);
      lg(LOG_NOTICE, "FIFO_delete: query error: %s q: %s",
         acError ? acError : "", strQuery.c_str());
      return kPassOver;
    }
    dbi_result_free(marked);
  }
  if (chunk.iRowCount == 1) {
    lg(LOG_NOTICE, "FIFO_delete row count is zero");
    return kPassOver;
  }
  // Nothing marked and nothing counted: the next query would return the same
  // rows, so the pass would never end.
  if ((pass->fSim || !fAny) && chunk.llFreed == 0) {
    lg(LOG_NOTICE, "FIFO_delete: no progress in this chunk, giving up");
    return kPassOver;
  }
  return kNextChunk;
}

}  // namespace

bool FIFO_delete(long long liBytesToFree, bool fSim) {
  lg(LOG_NOTICE, "FIFO_delete: %lld bytes to free", liBytesToFree);
  if (fSim) lg(LOG_NOTICE, "Simulated");
  dbi_conn conn;
  if (getDbConnection(&conn) != 0) {
    lg(LOG_ERR, "FIFO_delete: Stop, we cannot connect to database");
    lg(LOG_NOTICE, "FIFO_delete: finished");
    return false;
  }
  lg(LOG_NOTICE, "FIFO_delete: Connected to DB");

  Pass pass{liBytesToFree, fSim, Tenancy()};
  bool firstEntry = true;
  ChunkEnd end = kNextChunk;
  while (end == kNextChunk && pass.liBytesToFree > 0)
    end = DoChunk(conn, &pass, &firstEntry);

  pass.tenancy.Update();
  dbi_conn_close(conn);
  lg(LOG_NOTICE, "FIFO_delete: finished");
  return end == kPruned;
}
