// Per-tenant accounting of the bytes a reclamation pass frees: collected in
// memory during the pass, written to the tenants' disk-usage counters
// (Configs rows "TN<id>_DiskUsage") in one transaction at its end.
#ifndef FIFODEL_TENANCY_H_
#define FIFODEL_TENANCY_H_

#include <map>

// Tenant id to byte delta, in signed order of ids.
typedef std::map<long long, long long> LLMAP;

class Tenancy {
 public:
  // Charges `llCallSize` freed bytes to tenant `llTenantId`; tenant 0 is
  // nobody and is not recorded. A size of 0 still records the tenant.
  void DeletedMediaOfCall(long long llTenantId, long long llCallSize);

  // Adds each tenant's delta to its counter on a connection of its own, in
  // one BEGIN..COMMIT, and logs the value read back. Never creates a counter
  // row. Failures are logged, not returned. Call once, at the end of a pass.
  void Update();

 private:
  LLMAP tenantSzDiff;
};

#endif  // FIFODEL_TENANCY_H_
