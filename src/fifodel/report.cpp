#include "report.h"

const char* const kOutcomeNames[6] = {"none",      "covered", "pruned",
                                      "exhausted", "stuck",   "db_error"};

void Totals::Add(const PassReport& pass) {
  ++passes[pass.outcome];
  llBytes += pass.llBytesFreed;
  llCalls += pass.llCallsMarked;
  llDirsPruned += pass.llDirsPruned;
  if (pass.outcome != kOutcomeDbError) tLastSuccess = pass.tEnd;
  for (const auto& [id, t] : pass.tenants) {
    tenants[id].llBytes += t.llBytes;
    tenants[id].llCalls += t.llCalls;
  }
}
