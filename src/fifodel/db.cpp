// Connections, quoting and statements without rows, for the reclamation
// pass, the configuration store and the tenant accounting.
#include "db.h"

#include <signal.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <syslog.h>

#include "logging.h"

dbi_inst g_DbiInst = nullptr;

namespace {

// The socket of the statement in flight, for the deadline's signal handler.
volatile sig_atomic_t g_iArmedSocket = -1;

long long g_llQueryErrors = 0;

// Shutting the socket down wakes libpq wherever it waits, and the statement
// fails; the connection is useless afterwards, which the caller sees as an
// error on its next statement too.
void OnDeadline(int) {
  if (g_iArmedSocket >= 0) shutdown(g_iArmedSocket, SHUT_RDWR);
}

void InstallDeadlineHandler() {
  static bool fInstalled = false;
  if (fInstalled) return;
  struct sigaction sa;
  memset(&sa, 0, sizeof sa);
  sa.sa_handler = OnDeadline;
  sigemptyset(&sa.sa_mask);
  sigaction(SIGALRM, &sa, nullptr);
  fInstalled = true;
}

void SetTimer(int seconds) {
  struct itimerval it;
  memset(&it, 0, sizeof it);
  it.it_value.tv_sec = seconds;
  setitimer(ITIMER_REAL, &it, nullptr);
}

}  // namespace

int getDbConnection(dbi_conn* conn) {
  *conn = dbi_conn_new_r("pgsql", g_DbiInst);
  if (*conn == nullptr) return 20;
  dbi_conn_set_option(*conn, "username", "root");
  dbi_conn_set_option(*conn, "dbname", "tolvex");
  dbi_conn_set_option_numeric(*conn, "timeout", kConnectTimeout);
  const std::string options =
      "-c statement_timeout=" + std::to_string(kStatementTimeoutMs) +
      " -c lock_timeout=" + std::to_string(kLockTimeoutMs);
  dbi_conn_set_option(*conn, "pgsql_options", options.c_str());
  if (dbi_conn_connect(*conn) >= 0) return 0;
  dbi_conn_close(*conn);
  *conn = nullptr;
  return 20;
}

dbi_result DbQuery(dbi_conn conn, const std::string& sql) {
  InstallDeadlineHandler();
  g_iArmedSocket = dbi_conn_get_socket(conn);
  SetTimer(kDeadlineSeconds);
  dbi_result result = dbi_conn_query(conn, sql.c_str());
  SetTimer(0);
  g_iArmedSocket = -1;
  return result;
}

const char* DbErrorText(dbi_conn conn, int* errcode) {
  const char* errmsg = nullptr;
  int code = dbi_conn_error(conn, &errmsg);
  if (errcode) *errcode = code;
  return errmsg ? errmsg : "";
}

void LogQueryError(dbi_conn conn) {
  int errcode = 0;
  const char* errmsg = DbErrorText(conn, &errcode);
  lg(LOG_ERR, "Query error: %d %s", errcode, errmsg);
  ++g_llQueryErrors;
}

long long QueryErrorCount() { return g_llQueryErrors; }

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
  dbi_result result = DbQuery(conn, sql);
  if (result) {
    dbi_result_free(result);
    return true;
  }
  LogQueryError(conn);
  return false;
}
