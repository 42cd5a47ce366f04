// Connections, quoting and statements without rows, for the reclamation
// pass, the configuration store and the tenant accounting.
#include "db.h"

#include <stdlib.h>
#include <syslog.h>

#include "logging.h"

dbi_inst g_DbiInst = nullptr;

int getDbConnection(dbi_conn* conn) {
  *conn = dbi_conn_new_r("pgsql", g_DbiInst);
  if (*conn == nullptr) return 20;
  dbi_conn_set_option(*conn, "username", "root");
  dbi_conn_set_option(*conn, "dbname", "tolvex");
  if (dbi_conn_connect(*conn) >= 0) return 0;
  dbi_conn_close(*conn);
  *conn = nullptr;
  return 20;
}

std::string Quote(dbi_conn conn, std::string strText) {
  char* acNew = nullptr;
  if (dbi_conn_quote_string_copy(conn, strText.c_str(), &acNew) == 0 ||
      acNew == nullptr) {
    free(acNew);
    return "";
  }
  std::string strRet(acNew);
  free(acNew);
  return strRet;
}

bool PerformSql(dbi_conn& conn, std::string sql) {
  dbi_result result = dbi_conn_query(conn, sql.c_str());
  if (result) {
    dbi_result_free(result);
    return true;
  }
  const char* errmsg = nullptr;
  int errcode = dbi_conn_error(conn, &errmsg);
  lg(LOG_ERR, "Query error: %d %s", errcode, errmsg ? errmsg : "");
  return false;
}
