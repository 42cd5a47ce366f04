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
  const char* const from = "\n\r\t\v\f\b\a";
  const char* at = c ? strchr(from, c) : nullptr;
  return at ? "nrtvfba"[at - from] : 0;
}

// Length of the valid UTF-8 sequence of more than one byte at `s` (of `n`
// bytes), or 0. Overlong forms, surrogates and code points beyond U+10FFFF
// are invalid: the second byte's range depends on the first.
size_t Utf8Length(const unsigned char* s, size_t n) {
  unsigned char c = s[0], lo = 0x80, hi = 0xbf;
  size_t len = c >= 0xc2 && c <= 0xdf   ? 2
               : c >= 0xe0 && c <= 0xef ? 3
               : c >= 0xf0 && c <= 0xf4 ? 4
                                        : 0;
  if (c == 0xe0) lo = 0xa0;
  if (c == 0xed) hi = 0x9f;
  if (c == 0xf0) lo = 0x90;
  if (c == 0xf4) hi = 0x8f;
  if (len == 0 || len > n || s[1] < lo || s[1] > hi) return 0;
  for (size_t i = 2; i < len; ++i)
    if (s[i] < 0x80 || s[i] > 0xbf) return 0;
  return len;
}

}  // namespace

std::string Printable(const std::string& text) {
  std::string out;
  out.reserve(text.size());
  const unsigned char* s = reinterpret_cast<const unsigned char*>(text.data());
  for (size_t i = 0, n = text.size(); i < n;) {
    size_t len =
        s[i] < 0x80 ? (s[i] >= 0x20 && s[i] != 0x7f) : Utf8Length(s + i, n - i);
    if (len > 0) {
      out.append(text, i, len);
      i += len;
      continue;
    }
    char buf[5];
    if (char letter = ShortEscape(s[i])) {
      snprintf(buf, sizeof buf, "\\%c", letter);
    } else {
      snprintf(buf, sizeof buf, "\\x%02x", s[i]);
    }
    out += buf;
    ++i;
  }
  return out;
}
