// The audit trail: one line per reclaimed call and per pruned directory in
// /var/log/fifodel/reclaimed.log, apart from the log, so that "where did my
// recording go" can be answered months later without the database.
#ifndef FIFODEL_AUDIT_H_
#define FIFODEL_AUDIT_H_

#include <string>
#include <vector>

// A call whose files left the disk, or that is marked reclaimed: `llBytes`
// left the disk for tenant `llTenantId`; `files` are the absolute paths
// removed, each prefixed "removed " or "shredded ".
struct AuditedCall {
  long long llId;
  long long llTenantId;
  long long llBytes;
  std::vector<std::string> files;
};

// The calls of one chunk of pass `llPass` (0: a pass of an earlier run,
// recovered from the counter journal), a line each, in one write. False,
// with errno, when they could not be written.
bool AuditCalls(long long llPass, const std::vector<AuditedCall>& calls);

// A stale directory was removed by pass `llPass`.
bool AuditDirectory(long long llPass, const std::string& strPath);

#endif  // FIFODEL_AUDIT_H_
