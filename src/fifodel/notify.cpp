// Notifications go through libsystemd, which finds the socket in
// NOTIFY_SOCKET and does nothing without it, so daemon mode outside a
// service manager needs no test of its own.
#include "notify.h"

#include <systemd/sd-daemon.h>

void NotifyReady() { sd_notify(0, "READY=1"); }

void NotifyStatus(const std::string& text) {
  sd_notify(0, ("STATUS=" + text).c_str());
}

void NotifyWatchdog() { sd_notify(0, "WATCHDOG=1"); }
