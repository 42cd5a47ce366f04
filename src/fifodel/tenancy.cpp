// Tenant disk-usage accounting. The database does each addition on the stored
// value, so a counter changed by someone else meanwhile is never overwritten.
#include "tenancy.h"

#include <limits.h>
#include <stdlib.h>
#include <syslog.h>

#include <utility>
#include <vector>

#include "configs.h"
#include "db.h"
#include "faults.h"
#include "fstring.h"
#include "logging.h"

namespace {

std::string CounterName(long long llTenantId) {
  return "TN" + ToStdStringLL(llTenantId) + "_DiskUsage";
}

typedef std::vector<std::pair<long long, long long>> NewValues;

enum Attempt { kAllAdded, kRetry, kBroken };

// One attempt at the transaction, leaving out the tenants in `failed`. On a
// failed counter: rolls back and adds the tenant to `failed`; kBroken when
// even the rollback failed, as on a connection that is gone.
Attempt TryTransaction(dbi_conn& conn, const LLMAP& deltas, LLMAP* failed,
                       NewValues* values) {
  values->clear();
  PerformSql(conn, "BEGIN");
  for (const auto& [tenantid, llDiff] : deltas) {
    if (failed->count(tenantid)) continue;
    std::string key = CounterName(tenantid), strValue;
    if (!AddToConfigValue(conn, key, llDiff) ||
        !ReadConfigValue(conn, key, &strValue)) {
      lg(LOG_ERR, "TN %lld DiskUsage not updated: %lld kept for a later pass",
         tenantid, llDiff);
      (*failed)[tenantid] = llDiff;
      return PerformSql(conn, "ROLLBACK") ? kRetry : kBroken;
    }
    values->emplace_back(tenantid, strtoll(strValue.c_str(), nullptr, 10));
    FaultPoint("tenant-transaction");
  }
  return kAllAdded;
}

// Commits the open transaction, having first told `beforeCommit` its id.
bool Commit(dbi_conn& conn, const LLMAP& failed,
            const BeforeCommit& beforeCommit) {
  std::string xid;
  if (beforeCommit &&
      !(QueryText(conn, "SELECT pg_current_xact_id()::text", &xid) &&
        beforeCommit(xid, failed))) {
    PerformSql(conn, "ROLLBACK");
    return false;
  }
  FaultPoint("before-commit");
  return PerformSql(conn, "COMMIT");
}

}  // namespace

long long SaturatingAdd(long long a, long long b) {
  long long sum;
  if (!__builtin_add_overflow(a, b, &sum)) return sum;
  lg(LOG_WARNING, "FIFO: byte count beyond the range of 64 bits, held at it");
  return b < 0 ? LLONG_MIN : LLONG_MAX;
}

void Tenancy::DeletedMediaOfCall(long long llTenantId, long long llCallSize) {
  if (llTenantId == 0) return;
  long long& llDelta = tenantSzDiff[llTenantId];
  llDelta =
      SaturatingAdd(llDelta, llCallSize == LLONG_MIN ? LLONG_MAX : -llCallSize);
}

LLMAP Tenancy::Update(const BeforeCommit& beforeCommit) {
  if (tenantSzDiff.empty()) {
    lg(LOG_NOTICE, "No tenancy updates");
    return LLMAP();
  }
  return CommitCounterDeltas(tenantSzDiff, beforeCommit);
}

LLMAP CommitCounterDeltas(const LLMAP& deltas,
                          const BeforeCommit& beforeCommit) {
  dbi_conn dbconn;
  if (getDbConnection(&dbconn) != 0) {
    lg(LOG_ERR, "Cannot connect to database to do tenant updates");
    return LLMAP();
  }
  LLMAP failed;
  NewValues values;
  // Each round leaves out one more failed counter, so this ends.
  Attempt attempt;
  while ((attempt = TryTransaction(dbconn, deltas, &failed, &values)) ==
         kRetry) {
  }
  LLMAP done;
  if (attempt == kAllAdded && Commit(dbconn, failed, beforeCommit)) {
    FaultPoint("after-commit");
    for (const auto& [tenantid, reread] : values) {
      lg(LOG_NOTICE, "TN %lld DiskUsage new: %lld", tenantid, reread);
      done[tenantid] = deltas.at(tenantid);
    }
  }
  dbi_conn_close(dbconn);
  return done;
}
