// Connections, quoting and statements without rows, for the reclamation
// pass, the configuration store and the tenant accounting.
#include "db.h"

#include <signal.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <syslog.h>
#include <time.h>

#include "faults.h"
#include "logging.h"

dbi_inst g_DbiInst = nullptr;

namespace {

// Shutting the socket down wakes libpq wherever it waits, and the statement
// fails; the connection is useless afterwards, which the caller sees as an
// error on its next statement too. Runs on a thread of the timer's own, so
// the socket travels with the timer and nothing is shared.
void OnDeadline(union sigval v) { shutdown(v.sival_int, SHUT_RDWR); }

// A timer that fires OnDeadline for `socket` once, after kDeadline.
bool ArmDeadline(int socket, timer_t* timer) {
  struct sigevent sev;
  memset(&sev, 0, sizeof sev);
  sev.sigev_notify = SIGEV_THREAD;
  sev.sigev_notify_function = OnDeadline;
  sev.sigev_value.sival_int = socket;
  if (timer_create(CLOCK_MONOTONIC, &sev, timer) != 0) return false;
  double s = Scaled(kDeadline);
  struct itimerspec its;
  memset(&its, 0, sizeof its);
  its.it_value.tv_sec = static_cast<time_t>(s);
  its.it_value.tv_nsec = static_cast<long>((s - its.it_value.tv_sec) * 1e9);
  timer_settime(*timer, 0, &its, nullptr);
  return true;
}

std::string Millis(double seconds) {
  return std::to_string(static_cast<long>(Scaled(seconds) * 1000));
}

}  // namespace

int getDbConnection(dbi_conn* conn) {
  *conn = dbi_conn_new_r("pgsql", g_DbiInst);
  if (*conn == nullptr) return 20;
  dbi_conn_set_option(*conn, "username", "root");
  dbi_conn_set_option(*conn, "dbname", "tolvex");
  dbi_conn_set_option_numeric(*conn, "timeout", kConnectTimeout);
  const std::string options = "-c statement_timeout=" +
                              Millis(kStatementTimeout) +
                              " -c lock_timeout=" + Millis(kLockTimeout);
  dbi_conn_set_option(*conn, "pgsql_options", options.c_str());
  if (dbi_conn_connect(*conn) >= 0) return 0;
  dbi_conn_close(*conn);
  *conn = nullptr;
  return 20;
}

dbi_result DbQuery(dbi_conn conn, const std::string& sql) {
  timer_t timer;
  bool fArmed = ArmDeadline(dbi_conn_get_socket(conn), &timer);
  dbi_result result = dbi_conn_query(conn, sql.c_str());
  if (fArmed) timer_delete(timer);
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
  dbi_result result = DbQuery(conn, sql);
  if (result) {
    dbi_result_free(result);
    return true;
  }
  LogQueryError(conn);
  return false;
}

bool QueryText(dbi_conn conn, const std::string& sql, std::string* value) {
  dbi_result result = DbQuery(conn, sql);
  if (!result) return false;
  bool fRow = dbi_result_next_row(result);
  if (fRow) {
    const char* ac = dbi_result_get_string_idx(result, 1);
    *value = ac ? ac : "";
  }
  dbi_result_free(result);
  return fRow;
}
