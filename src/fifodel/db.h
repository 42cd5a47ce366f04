// Access to the recording database through libdbi: the process-wide
// instance, one connection per unit of work, quoting and plain statements.
#ifndef FIFODEL_DB_H_
#define FIFODEL_DB_H_

#include <dbi/dbi.h>

#include <string>

// Initialised once per process with dbi_initialize_r before any connection;
// never shut down.
extern dbi_inst g_DbiInst;

// Opens a connection to database "tolvex" as user "root" with the "pgsql"
// driver and its defaults for everything else (PGHOST is honoured).
// Returns 0 with *conn open and owned by the caller, who closes it with
// dbi_conn_close; returns 20 when not connected, leaving nothing to close.
// Logs nothing: each caller reports its own failure.
int getDbConnection(dbi_conn* conn);

// `strText` as an SQL string literal for `conn`, quotes included and ready to
// paste. Empty when libdbi gives no quoted copy, so the statement fails.
std::string Quote(dbi_conn conn, std::string strText);

// Runs `sql` unchanged and discards any rows. True on success; on failure
// logs "Query error: %d %s" at LOG_ERR and returns false.
bool PerformSql(dbi_conn& conn, std::string sql);

#endif  // FIFODEL_DB_H_
