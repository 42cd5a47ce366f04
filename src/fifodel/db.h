// Access to the recording database through libdbi: the process-wide
// instance, one connection per unit of work, quoting and plain statements.
#ifndef FIFODEL_DB_H_
#define FIFODEL_DB_H_

#include <dbi/dbi.h>

#include <string>

// Initialised once per process with dbi_initialize_r; never shut down.
extern dbi_inst g_DbiInst;

// A server that hangs or a row lock held elsewhere must never freeze the
// monitor: the connect gives up after kConnectTimeout s, the server cancels
// a statement after kStatementTimeout and a lock wait after kLockTimeout,
// and DbQuery gives up on a server too frozen to cancel after kDeadline.
// All but the first in seconds, Scaled (faults.h).
const int kConnectTimeout = 2;
const double kStatementTimeout = 5, kLockTimeout = 2, kDeadline = 8;

// A connection to database "tolvex" as "root" with driver "pgsql", the
// timeouts above and libpq's defaults (PGHOST) otherwise: 0 with *conn open
// and the caller's to close; 20, with nothing to close, when not connected.
// Logs nothing.
int getDbConnection(dbi_conn* conn);

// dbi_conn_query under the deadline: a server silent for kDeadline gets its
// socket shut down, and the query fails (NULL) as a failed statement does.
dbi_result DbQuery(dbi_conn conn, const std::string& sql);

// The connection's last error message ("" for none), Printable and without
// its line end, and its code. The server's message quotes what it refused,
// a row's value among them: raw, a newline in a counter would forge a line.
std::string DbErrorText(dbi_conn conn, int* errcode = nullptr);

// Logs "Query error: %d %s" at LOG_ERR with the connection's last error.
void LogQueryError(dbi_conn conn);

// `strText` as an SQL literal for `conn`, quotes included; empty when
// libdbi gives no copy, so that the statement fails.
std::string Quote(dbi_conn conn, std::string strText);

// Runs `sql` and discards any rows. False, logged by LogQueryError, on
// failure.
bool PerformSql(dbi_conn& conn, std::string sql);

// The first column of the first row of `sql`, as text ("" for NULL). False
// when the statement failed or gave no row.
bool QueryText(dbi_conn conn, const std::string& sql, std::string* value);

#endif  // FIFODEL_DB_H_
