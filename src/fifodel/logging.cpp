// Routes each line by the two process-wide switches; both are read on every
// call so that a change takes effect with the next line.
#include "logging.h"

#include <stdarg.h>
#include <stdio.h>
#include <string.h>
#include <syslog.h>

bool g_useSysLogger = true;
bool g_verboseLogging = false;

void lg(int prio, const char* format, ...) {
  // Exactly the debug priority is filtered, not "less urgent than".
  if (!g_verboseLogging && prio == LOG_DEBUG) return;
  va_list args;
  va_start(args, format);
  if (g_useSysLogger) {
    vsyslog(prio, format, args);
  } else {
    vfprintf(stdout, format, args);
    putchar('\n');
  }
  va_end(args);
}

namespace {

// The letter of the short escape for `c`, or 0 when it has none.
char ShortEscape(unsigned char c) {
  switch (c) {
    case '\n':
      return 'n';
    case '\r':
      return 'r';
    case '\t':
      return 't';
    case '\v':
      return 'v';
    case '\f':
      return 'f';
    case '\b':
      return 'b';
    case '\a':
      return 'a';
    default:
      return 0;
  }
}

}  // namespace

std::string Printable(const std::string& text) {
  std::string out;
  out.reserve(text.size());
  for (unsigned char c : text) {
    if (c >= 0x20 && c != 0x7f) {
      out += static_cast<char>(c);
      continue;
    }
    char buf[5];
    if (char letter = ShortEscape(c)) {
      snprintf(buf, sizeof buf, "\\%c", letter);
    } else {
      snprintf(buf, sizeof buf, "\\x%02x", c);
    }
    out += buf;
  }
  return out;
}
