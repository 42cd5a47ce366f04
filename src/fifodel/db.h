// Access to the recording database through libdbi: the process-wide
// instance, one connection per unit of work, quoting and plain statements.
#ifndef FIFODEL_DB_H_
#define FIFODEL_DB_H_

#include <dbi/dbi.h>

#include <string>

// Initialised once per process with dbi_initialize_r before any connection;
// never shut down.
extern dbi_inst g_DbiInst;

// How long the service waits for the database. A server that hangs or a row
// lock held elsewhere must never freeze the monitor: the connect gives up
// after kConnectTimeout seconds, the server cancels a statement after
// kStatementTimeout and a lock wait after kLockTimeout, and DbQuery gives up
// on a frozen server (one that cannot even cancel) after kDeadline. All but
// the connect timeout are in seconds and Scaled (faults.h).
const int kConnectTimeout = 2;
const double kStatementTimeout = 5;
const double kLockTimeout = 2;
const double kDeadline = 8;

// Opens a connection to database "tolvex" as user "root" with the "pgsql"
// driver, the timeouts above and libpq's defaults for everything else
// (PGHOST is honoured). Returns 0 with *conn open and owned by the caller,
// who closes it with dbi_conn_close; returns 20 when not connected, leaving
// nothing to close. Logs nothing: each caller reports its own failure.
int getDbConnection(dbi_conn* conn);

// dbi_conn_query under the client-side deadline: when the server has not
// answered within kDeadline, the connection's socket is shut down and the
// query fails (NULL), as a failed statement does.
dbi_result DbQuery(dbi_conn conn, const std::string& sql);

// The connection's last error message, "" when it has none; `*errcode` gets
// its code when given.
const char* DbErrorText(dbi_conn conn, int* errcode = nullptr);

// Logs the connection's last error as "Query error: %d %s" at LOG_ERR.
void LogQueryError(dbi_conn conn);

// `strText` as an SQL string literal for `conn`, quotes included and ready to
// paste. Empty when libdbi gives no quoted copy, so the statement fails.
std::string Quote(dbi_conn conn, std::string strText);

// Runs `sql` unchanged and discards any rows. True on success; on failure
// logs "Query error: %d %s" at LOG_ERR and returns false.
bool PerformSql(dbi_conn& conn, std::string sql);

// The text of the first column of the first row `sql` returns, in *value
// ("" for NULL). False when the statement failed or returned no row.
bool QueryText(dbi_conn conn, const std::string& sql, std::string* value);

#endif  // FIFODEL_DB_H_
