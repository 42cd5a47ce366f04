// The service manager's notification protocol (sd_notify). Every call does
// nothing when the service was not started with NOTIFY_SOCKET, and none
// ever blocks: a datagram the socket has no room for is dropped.
#ifndef FIFODEL_NOTIFY_H_
#define FIFODEL_NOTIFY_H_

#include <string>

// READY=1, once the monitor runs.
void NotifyReady();
// STATUS=<text>, once per monitor cycle.
void NotifyStatus(const std::string& text);
// WATCHDOG=1: each monitor cycle and between the chunks of a pass.
void NotifyWatchdog();

#endif  // FIFODEL_NOTIFY_H_
