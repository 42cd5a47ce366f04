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
  // nobody and is not recorded. A size of 0 still records the tenant. A
  // delta that would overflow is held at its limit and logged.
  void DeletedMediaOfCall(long long llTenantId, long long llCallSize);

  // Writes every delta through CommitCounterDeltas, or logs "No tenancy
  // updates" when there is none. Call once, at the end of a pass.
  void Update();

  // The deltas that Update committed.
  const LLMAP& Committed() const { return committed; }

 private:
  LLMAP tenantSzDiff;
  LLMAP committed;
};

// Adds each delta to its tenant's counter on a connection of its own, in one
// BEGIN..COMMIT, reading each counter back. A counter whose statement fails
// (not a number, locked elsewhere) spoils only itself: the transaction is
// rolled back and the others are committed in a fresh one; it is logged at
// LOG_ERR. Only committed values are logged as "new". Never creates a
// counter row. Returns the deltas committed: none when the database could
// not be reached ("Cannot connect to database to do tenant updates").
LLMAP CommitCounterDeltas(const LLMAP& deltas);

// a + b, held at the limits of long long instead of overflowing.
long long SaturatingAdd(long long a, long long b);

#endif  // FIFODEL_TENANCY_H_
