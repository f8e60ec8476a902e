// The service manager's watchdog (WatchdogSec= in the unit). systemd then
// starts the daemon with WATCHDOG_USEC, the time within which it must hear
// "WATCHDOG=1" again, and WATCHDOG_PID, the process meant; a daemon that
// stays silent longer is killed and, by the unit's Restart=, started again.
//
// The pings come from the daemon's own loops, never from a thread of their
// own, so that a loop that stops also stops them: the polling loop after
// each pass (qor_service.h), the wait for a right clock once a second, and
// the reading of an edited timer file once per block read. Each asks
// qor_watchdog_kick(), which sends a ping when a quarter of the watchdog's
// time has passed since the last one, well within the half that systemd
// advises; a call in between costs one reading of the monotonic clock.
//
// Without WATCHDOG_USEC, with WATCHDOG_PID naming another process, or
// without a notification socket (qor_notify.h), nothing is sent. A ping
// that cannot be sent is lost like any notification, and the next one is
// sent on time.
#ifndef QORTIMER_QOR_WATCHDOG_H_
#define QORTIMER_QOR_WATCHDOG_H_

#include <sys/types.h>

#include <cstdint>

constexpr const char *kQorWatchdogUsecVariable = "WATCHDOG_USEC";
constexpr const char *kQorWatchdogPidVariable = "WATCHDOG_PID";

// The time between two pings in nanoseconds for these values of
// WATCHDOG_USEC and WATCHDOG_PID (null when unset) in process `self`; 0 when
// no watchdog asks for this process or a value is not a positive decimal.
int64_t qor_watchdog_interval(const char *usec, const char *pid, pid_t self);

// Start-up, once notifications are open: reads the environment.
void qor_watchdog_start();

// True while pings are sent.
bool qor_watchdog_enabled();

// A ping, when one is due by the monotonic clock.
void qor_watchdog_kick();

// The same at monotonic time `now` (ns): tests give their own.
void qor_watchdog_kick_at(int64_t now);

#endif  // QORTIMER_QOR_WATCHDOG_H_
