// Per-tenant accounting of the bytes a reclamation pass frees: collected in
// memory during the pass, written to the tenants' disk-usage counters
// (Configs rows "TN<id>_DiskUsage") in one transaction at its end.
#ifndef FIFODEL_TENANCY_H_
#define FIFODEL_TENANCY_H_

#include <functional>
#include <map>
#include <string>

// Tenant id to byte delta, in signed order of ids.
typedef std::map<long long, long long> LLMAP;

// Told the id of the tenant transaction and the tenants left out of it just
// before it commits; false makes it roll back instead.
typedef std::function<bool(const std::string& xid, const LLMAP& failed)>
    BeforeCommit;

class Tenancy {
 public:
  // Charges `llCallSize` freed bytes to tenant `llTenantId`; tenant 0 is
  // nobody and is not recorded. A size of 0 still records the tenant. A
  // delta that would overflow is held at its limit and logged.
  void DeletedMediaOfCall(long long llTenantId, long long llCallSize);

  // Writes every delta through CommitCounterDeltas, or logs "No tenancy
  // updates" when there is none. Call once, at the end of a pass. Returns
  // the deltas committed.
  LLMAP Update(const BeforeCommit& beforeCommit = nullptr);
  const LLMAP& Deltas() const { return tenantSzDiff; }

 private:
  LLMAP tenantSzDiff;
};

// Adds each delta to its tenant's counter on a connection of its own, in one
// BEGIN..COMMIT, reading each counter back. A counter whose statement fails
// (not a number, locked elsewhere) spoils only itself: the transaction is
// rolled back and the others are committed in a fresh one; it is logged at
// LOG_ERR. With `beforeCommit`, the transaction's id is read and handed to
// it before COMMIT. Only committed values are logged as "new". Never creates
// a counter row. Returns the deltas committed: none when the database could
// not be reached ("Cannot connect to database to do tenant updates").
LLMAP CommitCounterDeltas(const LLMAP& deltas,
                          const BeforeCommit& beforeCommit = nullptr);

// a + b, held at the limits of long long instead of overflowing.
long long SaturatingAdd(long long a, long long b);

#endif  // FIFODEL_TENANCY_H_
