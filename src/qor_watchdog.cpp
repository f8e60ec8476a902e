// Pings for the service manager's watchdog, sent from the daemon's loops.
#include "qor_watchdog.h"

#include <unistd.h>

#include <cstdlib>
#include <ctime>

#include "qor_decimal.h"
#include "qor_notify.h"

constexpr int64_t kMaxUsec = INT64_MAX / 1000;

static int64_t every;      // ns between pings; 0: no watchdog
static int64_t last_ping;  // monotonic ns of the last ping
static bool pinged;        // `last_ping` is valid

// A decimal number no greater than `max`, or 0.
static int64_t number(const char *text, int64_t max) {
  int64_t value = 0;
  return qor_parse_decimal(text, max, &value) ? value : 0;
}

int64_t qor_watchdog_interval(const char *usec, const char *pid, pid_t self) {
  if (pid != nullptr && number(pid, INT32_MAX) != self) return 0;
  return number(usec, kMaxUsec) * 1000 / 4;
}

void qor_watchdog_start() {
  every = qor_notify_enabled()
              ? qor_watchdog_interval(getenv(kQorWatchdogUsecVariable),
                                      getenv(kQorWatchdogPidVariable), getpid())
              : 0;
  pinged = false;
}

bool qor_watchdog_enabled() { return every > 0; }

void qor_watchdog_kick_at(int64_t now) {
  if (every <= 0 || (pinged && now - last_ping < every && now >= last_ping)) return;
  qor_notify("WATCHDOG=1");
  last_ping = now;
  pinged = true;
}

void qor_watchdog_kick() {
  if (every <= 0) return;
  timespec now;
  if (clock_gettime(CLOCK_MONOTONIC, &now) != 0) return;
  qor_watchdog_kick_at(static_cast<int64_t>(now.tv_sec) * 1000000000 + now.tv_nsec);
}
