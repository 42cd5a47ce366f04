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
// fails, the connection with it. The timer's own thread runs this, with the
// socket in the timer: nothing is shared.
void OnDeadline(union sigval v) { shutdown(v.sival_int, SHUT_RDWR); }

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
  const std::string options =
      "-c statement_timeout=" + Millis(kStatementTimeout) +
      " -c lock_timeout=" + Millis(kLockTimeout);
  dbi_conn_set_option(*conn, "pgsql_options", options.c_str());
  if (dbi_conn_connect(*conn) >= 0) return 0;
  dbi_conn_close(*conn);
  *conn = nullptr;
  return 20;
}

dbi_result DbQuery(dbi_conn conn, const std::string& sql) {
  struct sigevent sev;
  memset(&sev, 0, sizeof sev);
  sev.sigev_notify = SIGEV_THREAD;
  sev.sigev_notify_function = OnDeadline;
  sev.sigev_value.sival_int = dbi_conn_get_socket(conn);
  timer_t timer;
  bool fArmed = timer_create(CLOCK_MONOTONIC, &sev, &timer) == 0;
  struct itimerspec its = {};
  double s = Scaled(kDeadline);
  its.it_value = {static_cast<time_t>(s),
                  static_cast<long>((s - (long)s) * 1e9)};
  if (fArmed) timer_settime(timer, 0, &its, nullptr);
  dbi_result result = dbi_conn_query(conn, sql.c_str());
  if (fArmed) timer_delete(timer);
  return result;
}

std::string DbErrorText(dbi_conn conn, int* errcode) {
  const char* errmsg = nullptr;
  int code = dbi_conn_error(conn, &errmsg);
  if (errcode) *errcode = code;
  std::string text = errmsg ? errmsg : "";
  // libpq ends its messages with a newline: the line's end, not the text's.
  while (!text.empty() && text.back() == '\n') text.pop_back();
  return Printable(text);
}

void LogQueryError(dbi_conn conn) {
  int errcode = 0;
  const std::string errmsg = DbErrorText(conn, &errcode);
  lg(LOG_ERR, "Query error: %d %s", errcode, errmsg.c_str());
}

std::string Quote(dbi_conn conn, std::string strText) {
  char* acNew = nullptr;
  size_t n = dbi_conn_quote_string_copy(conn, strText.c_str(), &acNew);
  std::string strRet = n && acNew ? acNew : "";
  free(acNew);
  return strRet;
}

bool PerformSql(dbi_conn& conn, std::string sql) {
  dbi_result result = DbQuery(conn, sql);
  if (result) dbi_result_free(result);
  if (!result) LogQueryError(conn);
  return result != nullptr;
}

bool QueryText(dbi_conn conn, const std::string& sql, std::string* value) {
  dbi_result result = DbQuery(conn, sql);
  bool fRow = result && dbi_result_next_row(result);
  if (fRow) {
    const char* ac = dbi_result_get_string_idx(result, 1);
    *value = ac ? ac : "";
  }
  if (result) dbi_result_free(result);
  return fRow;
}
