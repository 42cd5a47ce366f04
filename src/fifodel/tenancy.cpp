// Tenant disk-usage accounting. The database does each addition on the stored
// value, so a counter changed by someone else meanwhile is never overwritten.
#include "tenancy.h"

#include <stdlib.h>
#include <syslog.h>

#include <string>

#include "configs.h"
#include "db.h"
#include "fstring.h"
#include "logging.h"

void Tenancy::DeletedMediaOfCall(long long llTenantId, long long llCallSize) {
  if (llTenantId == 0) return;
  tenantSzDiff[llTenantId] -= llCallSize;
}

void Tenancy::Update() {
  if (tenantSzDiff.empty()) {
    lg(LOG_NOTICE, "No tenancy updates");
    return;
  }
  dbi_conn dbconn;
  if (getDbConnection(&dbconn) != 0) {
    lg(LOG_ERR, "Cannot connect to database to do tenant updates");
    return;
  }
  // Results are not acted on: every tenant is visited and logged, and COMMIT
  // is always sent. A failed update aborts the transaction on PostgreSQL, so
  // the COMMIT then keeps no counter of this pass; the log shows it.
  PerformSql(dbconn, "BEGIN");
  for (const auto& [tenantid, llDiff] : tenantSzDiff) {
    std::string key = "TN" + ToStdStringLL(tenantid) + "_DiskUsage";
    AddToConfigValue(dbconn, key, llDiff);
    long long reread =
        strtoll(GetConfigValue(dbconn, key).c_str(), nullptr, 10);
    lg(LOG_NOTICE, "TN %lld DiskUsage new: %lld", tenantid, reread);
  }
  PerformSql(dbconn, "COMMIT");
  dbi_conn_close(dbconn);
}
