// The calls table as the pass uses it. The first chunk's statement stays one
// literal, so that a grep finds it; the continuations are built from the
// same pieces.
#include "calls.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "db.h"

namespace {

const char kColumns[] =
    "SELECT id,directory,filename,flags,tenantid,screenfn FROM calls WHERE "
    "isarchived=1";

// A call's media path as the tree sees it: "/" + directory + "/" + filename
// with empty and "." components dropped, or "/.." when a ".." component
// makes it unknowable. db/schema.sql indexes exactly this expression.
const char kMediaPath[] =
    "(CASE WHEN '/' || directory || '/' || filename ~ '/\\.\\.(/|$)' THEN "
    "'/..' ELSE regexp_replace('/' || directory || '/' || filename, "
    "'/(\\.?/)*', '/', 'g') END)";

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

// The last component of a media name: what the pass will unlink.
bool NamesNoFile(const char* acFilename) {
  const char* acLeaf = strrchr(acFilename, '/');
  acLeaf = acLeaf ? acLeaf + 1 : acFilename;
  return *acLeaf == '\0' || strcmp(acLeaf, ".") == 0;
}

std::optional<std::string> Column(dbi_result result, const char* field) {
  if (dbi_result_field_is_null(result, field)) return std::nullopt;
  const char* ac = dbi_result_get_string(result, field);
  return std::string(ac ? ac : "");
}

CallRow ReadRow(dbi_result result) {
  CallRow row;
  row.llId = dbi_result_get_longlong(result, "id");
  row.filename = Column(result, "filename");
  row.directory = Column(result, "directory");
  row.screenfn = Column(result, "screenfn");
  row.iFlags = dbi_result_get_int(result, "flags");
  row.llTenantId = dbi_result_get_longlong(result, "tenantid");
  return row;
}

std::string IdList(const std::vector<long long>& ids) {
  std::string list;
  for (size_t i = 0; i < ids.size(); ++i) {
    // 21 digits and a sign: every bigint in full.
    char strNum[24];
    snprintf(strNum, sizeof strNum, "%lld", ids[i]);
    if (i) list += ",";
    list += strNum;
  }
  return list;
}

}  // namespace

std::string ChunkStatement(const Continuation& from) {
  char sql[160];
  // clang-format off
  snprintf(sql, sizeof sql, "SELECT id,directory,filename,flags,tenantid,screenfn FROM calls WHERE isarchived=1 ORDER BY startdate ASC LIMIT %d", CHUNK);
  // clang-format on
  if (from.llLastId == 0) return sql;
  const std::string last = std::to_string(from.llLastId);
  const std::string date =
      "(SELECT startdate FROM calls WHERE id=" + last + ")";
  // The first chunk is ordered by startdate alone: calls sharing its last
  // one's startdate may lie on either side of it.
  return std::string(kColumns) + " AND " +
         (from.firstChunk.empty()
              ? "(startdate,id) > (" + date + "," + last + ")"
              : "startdate >= " + date + " AND id NOT IN (" +
                    IdList(from.firstChunk) + ")") +
         " ORDER BY startdate ASC, id ASC LIMIT " + std::to_string(CHUNK);
}

std::optional<std::vector<CallRow>> QueryChunk(dbi_conn conn,
                                               const Continuation& from) {
  dbi_result result = DbQuery(conn, ChunkStatement(from));
  if (!result) return std::nullopt;
  std::vector<CallRow> rows;
  while (dbi_result_next_row(result)) rows.push_back(ReadRow(result));
  dbi_result_free(result);
  return rows;
}

std::string MarkingStatement(const std::vector<long long>& ids) {
  return "UPDATE Calls SET flags=flags|4 , isarchived=0 WHERE id IN (" +
         IdList(ids) + ")";
}

std::string PendingStatement(const std::string& strRel) {
  return std::string("SELECT id::text FROM calls WHERE flags & 4 = 0 AND (") +
         kMediaPath + " = '/..' OR " + kMediaPath + " LIKE '/" + strRel +
         "/%') LIMIT 1";
}

int PendingCallIn(dbi_conn conn, const std::string& strRel, long long* llId) {
  dbi_result result = DbQuery(conn, PendingStatement(strRel));
  if (!result) return -1;
  int found = dbi_result_next_row(result) ? 1 : 0;
  if (found) *llId = strtoll(dbi_result_get_string_idx(result, 1), nullptr, 10);
  dbi_result_free(result);
  return found;
}

const char* RowProblem(const char* acDirectory, const char* acFilename,
                       const char* acScreenFn) {
  if (acDirectory == nullptr) return "directory is NULL";
  if (acFilename == nullptr) return "filename is NULL";
  if (HasDotDotComponent(acDirectory) || HasDotDotComponent(acFilename) ||
      HasDotDotComponent(acScreenFn))
    return "a '..' path component would leave /recordings";
  if (NamesNoFile(acFilename)) return "the media name names no file";
  return nullptr;
}
