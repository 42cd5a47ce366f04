// The service manager's datagram protocol, spoken directly: libsystemd, for
// these three messages, mapped its own and its libraries' pages into the
// service, about a megabyte resident. Without NOTIFY_SOCKET nothing is sent,
// so daemon mode outside a service manager needs no test of its own. Nothing
// here may block: a manager that hangs, or a NOTIFY_SOCKET inherited by a
// shell that never reads it, fills the socket's queue after a few datagrams,
// and a blocking send would then stop the monitor for good. A full queue
// loses a notification, never a cycle.
#include "notify.h"

#include <stddef.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

namespace {

// One datagram to the socket NOTIFY_SOCKET names: a path, or with '@' an
// abstract name.
void Notify(const std::string& text) {
  const char* name = getenv("NOTIFY_SOCKET");
  struct sockaddr_un sa = {};
  sa.sun_family = AF_UNIX;
  size_t n = name ? strlen(name) : 0;
  if (n < 2 || n >= sizeof sa.sun_path || (*name != '/' && *name != '@'))
    return;
  memcpy(sa.sun_path, name, n);
  if (*name == '@') sa.sun_path[0] = '\0';
  int fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  if (fd < 0) return;
  sendto(fd, text.data(), text.size(), MSG_NOSIGNAL | MSG_DONTWAIT,
         reinterpret_cast<const struct sockaddr*>(&sa),
         offsetof(struct sockaddr_un, sun_path) + n);
  close(fd);
}

}  // namespace

void NotifyReady() { Notify("READY=1"); }

void NotifyStatus(const std::string& text) { Notify("STATUS=" + text); }

void NotifyWatchdog() { Notify("WATCHDOG=1"); }
