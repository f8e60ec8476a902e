// Notifications to the service manager through $NOTIFY_SOCKET.
#include "qor_notify.h"

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>

static int notify_fd = -1;
static sockaddr_un notify_address;
static socklen_t notify_length;
static bool notify_failed;  // a failure has been said

static void say_failure(const char *what, int error) {
  if (!notify_failed)
    fprintf(stderr, " *** WARNING: Unable to notify the service manager (%s: %s)\n", what,
            strerror(error));
  notify_failed = true;
}

bool qor_notify_open() {
  if (notify_fd >= 0) close(notify_fd);
  notify_fd = -1;
  notify_failed = false;
  const char *name = getenv(kQorNotifySocketVariable);
  if (name == nullptr) return false;
  const size_t n = strlen(name);
  // A path ends in NUL inside sun_path; an abstract name is counted instead.
  if (n < 2 || (name[0] != '/' && name[0] != '@') || n >= sizeof notify_address.sun_path) {
    say_failure(kQorNotifySocketVariable, EINVAL);
    return false;
  }
  memset(&notify_address, 0, sizeof notify_address);
  notify_address.sun_family = AF_UNIX;
  memcpy(notify_address.sun_path, name, n);
  if (name[0] == '@') notify_address.sun_path[0] = '\0';
  notify_length = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + n +
                                         (name[0] == '/' ? 1 : 0));
  // Non-blocking: a full queue at a busy service manager loses a message
  // rather than holding up the loop.
  notify_fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  if (notify_fd < 0) {
    say_failure("socket", errno);
    return false;
  }
  return true;
}

bool qor_notify_enabled() { return notify_fd >= 0; }

bool qor_notify(const char *assignments) {
  if (notify_fd < 0) return false;
  const ssize_t r = sendto(notify_fd, assignments, strlen(assignments), MSG_NOSIGNAL | MSG_DONTWAIT,
                           reinterpret_cast<const sockaddr *>(&notify_address), notify_length);
  if (r < 0) say_failure("sendto", errno);
  return r >= 0;
}
