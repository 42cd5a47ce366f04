// Routes each line by the two process-wide switches; both are read on every
// call so that a change takes effect with the next line.
#include "logging.h"

#include <stdarg.h>
#include <stdio.h>
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
