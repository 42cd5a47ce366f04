// Feeds arbitrary text to the counter journal's replay: it never crashes,
// charges only files that are gone, at most one a line, and owes exactly
// what it charged and the debts it read.
#include <stddef.h>
#include <stdint.h>
#include <stdlib.h>

#include <algorithm>
#include <climits>
#include <string>

#include "replay.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);
  int fates = 0;
  Pending p = ResolveJournal(
      text, [](const Intent& i) { return Presence(i.file.ullIno % 4); },
      [&](const std::string&) { return XactFate(fates++ % 4); });
  long long owed = 0;
  for (const auto& [tenant, delta] : p.owed) owed = SaturatingAdd(owed, delta);
  long long charged = 0;
  for (const Intent& i : p.charged) {
    if (i.file.ullIno % 4 != kGone) abort();  // charged only when gone
    if (i.llTenant) charged = SaturatingAdd(charged, -i.llBytes);
  }
  if (p.charged.size() >
      static_cast<size_t>(std::count(text.begin(), text.end(), '\n')))
    abort();
  // Debts ("O" lines) are owed without a file; without them, exactly what
  // was charged is owed.
  const bool fDebts =
      text.compare(0, 2, "O ") == 0 || text.find("\nO ") != std::string::npos;
  if (!fDebts && owed != charged && owed != LLONG_MIN && owed != LLONG_MAX)
    abort();
  return 0;
}
