// The service's one way of writing a diagnostic line: to the system logger,
// or to standard output in debug and simulation mode.
#ifndef FIFODEL_LOGGING_H_
#define FIFODEL_LOGGING_H_

#include <string>

// True (the default): lines go to the system logger with its default identity
// and facility. False: lines go to standard output. Set only at start-up.
extern bool g_useSysLogger;

// False (the default): LOG_DEBUG lines are dropped. Set once when the monitor
// starts and finds the verbose marker.
extern bool g_verboseLogging;

// Logs one line at syslog priority `prio` (a bare number, no facility bits).
// `format` is printf-style and carries no line end: standard output gets the
// text and one newline, the system logger the text unchanged. Never fails.
void lg(int prio, const char* format, ...)
    __attribute__((format(printf, 2, 3)));

// `text` as printable, valid UTF-8: control characters escaped ("\n" for a
// newline, "\xNN" for the others without a short form) and so is every byte
// that is not part of a valid UTF-8 sequence, so that a name taken from a row
// or the tree can neither forge a log line nor spoil a JSON document. Valid
// multi-byte characters stay as they are.
std::string Printable(const std::string& text);

#endif  // FIFODEL_LOGGING_H_
