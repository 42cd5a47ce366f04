// The audit trail: one line per reclaimed call and per pruned directory in
// /var/log/fifodel/reclaimed.log, apart from the log, so that "where did my
// recording go" can be answered months later without the database.
#ifndef FIFODEL_AUDIT_H_
#define FIFODEL_AUDIT_H_

#include <string>
#include <vector>

// A call of pass `llPass` was marked reclaimed: `llBytes` left the disk for
// tenant `llTenant`; `files` are the absolute paths removed, each prefixed
// "removed " or "shredded ".
void AuditCall(long long llPass, long long llId, long long llTenant,
               long long llBytes, const std::vector<std::string>& files);

// A stale directory was removed by pass `llPass`.
void AuditDirectory(long long llPass, const std::string& strPath);

#endif  // FIFODEL_AUDIT_H_
