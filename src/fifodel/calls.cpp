// The calls table as the pass uses it. The plain chunk statement stays one
// literal, so that a grep finds it; the statements of the rarer paths are
// built from the same pieces.
#include "calls.h"

#include <stdio.h>

#include "db.h"

namespace {

const char* NullableString(dbi_result result, const char* field) {
  if (dbi_result_field_is_null(result, field)) return nullptr;
  return dbi_result_get_string(result, field);
}

}  // namespace

dbi_result QueryChunk(dbi_conn conn, const Continuation& from) {
  if (from.strStartdate.empty()) {
    char sql[160];
    // clang-format off
    snprintf(sql, sizeof sql, "SELECT id,directory,filename,flags,tenantid,screenfn FROM calls WHERE isarchived=1 ORDER BY startdate ASC LIMIT %d", CHUNK);
    // clang-format on
    return DbQuery(conn, sql);
  }
  // The date goes back in the text the server gave, so its precision and
  // type survive the round trip.
  return DbQuery(
      conn,
      "SELECT id,directory,filename,flags,tenantid,screenfn FROM "
      "calls WHERE isarchived=1 AND (startdate,id) > (" +
          Quote(conn, from.strStartdate) + "," + std::to_string(from.llId) +
          ") ORDER BY startdate ASC, id ASC LIMIT " + std::to_string(CHUNK));
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

std::string MarkingStatement(const std::vector<long long>& ids) {
  std::string strQuery =
      "UPDATE Calls SET flags=flags|4 , isarchived=0 WHERE id IN (";
  for (size_t i = 0; i < ids.size(); ++i) {
    // 21 digits and a sign: every bigint in full.
    char strNum[24];
    snprintf(strNum, sizeof strNum, "%lld", ids[i]);
    if (i) strQuery += ",";
    strQuery += strNum;
  }
  return strQuery + ")";
}

bool ContinueAfter(dbi_conn conn, long long llId, Continuation* from) {
  dbi_result result =
      DbQuery(conn, "SELECT startdate::text AS s FROM calls WHERE id=" +
                        std::to_string(llId));
  if (!result) return false;
  bool fFound = dbi_result_next_row(result);
  if (fFound) {
    const char* acDate = dbi_result_get_string(result, "s");
    from->strStartdate = acDate ? acDate : "";
    from->llId = llId;
  }
  dbi_result_free(result);
  return fFound && !from->strStartdate.empty();
}

int PendingCallIn(dbi_conn conn, const std::string& strRel, long long* llId) {
  // The leading prefix LIKE is implied by the rest; it is there for the
  // planner, which makes it an index range. Without it, a year directory
  // with no pending call (the usual answer) walked the whole index.
  dbi_result result = DbQuery(
      conn,
      "SELECT id FROM calls WHERE isarchived = 0 AND flags & 4 = 0 AND "
      "directory LIKE " +
          Quote(conn, strRel + "%") +
          " AND (directory = " + Quote(conn, strRel) + " OR directory LIKE " +
          Quote(conn, strRel + "/%") + ") LIMIT 1");
  if (!result) return -1;
  int found = dbi_result_next_row(result) ? 1 : 0;
  if (found) *llId = dbi_result_get_longlong(result, "id");
  dbi_result_free(result);
  return found;
}
