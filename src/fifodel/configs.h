// The Configs table, a store of named text values. Each function sends one
// statement on the caller's open connection, inside whatever transaction the
// caller has open, and neither opens nor closes anything.
#ifndef FIFODEL_CONFIGS_H_
#define FIFODEL_CONFIGS_H_

#include <dbi/dbi.h>

#include <string>

// Value of the entry named `param` (the last row delivered when several);
// empty for no row, a NULL value or a failed query (logged at LOG_ERR).
// `param` is pasted unquoted: only names the service builds itself.
std::string GetConfigValue(dbi_conn& conn, std::string param);

// The same, telling a failed query (false, logged) from a missing row.
bool ReadConfigValue(dbi_conn& conn, const std::string& param,
                     std::string* value);

// Has the database add `value` to the entry's value as bigint. True when the
// statement ran, also when no row matched; false, logged at LOG_ERR, when it
// failed (e.g. a value that is not a number). `param` as for GetConfigValue.
bool AddToConfigValue(dbi_conn& conn, std::string param, long long value);

// Inserts a row, all three texts quoted. True when the statement ran; a
// failure is not logged.
bool InsertConfigValue(dbi_conn& conn, std::string param, std::string value,
                       std::string part);

// Overwrites the value of every row named `param`, both texts quoted. True
// when the statement ran, also when no row matched; a failure is not logged.
bool UpdateConfigValue(dbi_conn& conn, std::string param, std::string value);

#endif  // FIFODEL_CONFIGS_H_
