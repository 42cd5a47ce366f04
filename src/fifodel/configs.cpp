// Reads and changes entries of the Configs table. The read and the add log
// their failures; the insert and the overwrite only report them.
#include "configs.h"

#include <syslog.h>

#include "db.h"
#include "fstring.h"
#include "logging.h"

namespace {

// Sends a statement whose rows are not needed; true when it ran.
bool Run(dbi_conn& conn, const std::string& sql) {
  dbi_result result = DbQuery(conn, sql);
  if (!result) return false;
  dbi_result_free(result);
  return true;
}

}  // namespace

std::string GetConfigValue(dbi_conn& conn, std::string param) {
  std::string value;
  ReadConfigValue(conn, param, &value);
  return value;
}

bool ReadConfigValue(dbi_conn& conn, const std::string& param,
                     std::string* value) {
  value->clear();
  std::string sql =
      "SELECT param,value FROM Configs WHERE param='" + param + "'";
  dbi_result result = DbQuery(conn, sql);
  if (!result) {
    LogQueryError(conn);
    return false;
  }
  while (dbi_result_next_row(result)) {
    const char* acValue = dbi_result_get_string(result, "value");
    *value = acValue ? acValue : "";
  }
  dbi_result_free(result);
  return true;
}

bool AddToConfigValue(dbi_conn& conn, std::string param, long long value) {
  std::string sql = "UPDATE Configs SET value = value::bigint + " +
                    ToStdStringLL(value) + " WHERE param='" + param + "'";
  if (Run(conn, sql)) return true;
  LogQueryError(conn);
  return false;
}

bool InsertConfigValue(dbi_conn& conn, std::string param, std::string value,
                       std::string part) {
  std::string sql = "INSERT INTO CONFIGS (param,value,part) ";
  sql += " VALUES ";
  sql += "(" + Quote(conn, param) + "," + Quote(conn, value) + "," +
         Quote(conn, part) + ")";
  return Run(conn, sql);
}

bool UpdateConfigValue(dbi_conn& conn, std::string param, std::string value) {
  std::string sql = "UPDATE Configs ";
  sql += " SET ";
  sql +=
      " value = " + Quote(conn, value) + " WHERE param = " + Quote(conn, param);
  return Run(conn, sql);
}
