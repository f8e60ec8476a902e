// The daemon as a service: what it tells the service manager, and what it
// does between passes besides the polling loop's own work.
//
// - Ready: once the schedule is read (and the socket is open), the daemon
//   says "READY=1" with a first status, "N pairs read, starting", through
//   $NOTIFY_SOCKET (qor_notify.h); a bad schedule has ended it before. A
//   READY=1 that the service manager's full queue lost is sent again once
//   a second until it goes through.
// - Status: after a pass that changed a state, and after the timer file
//   was taken, refused, found not whole or unreadable, or was there again
//   (any outcome of qor_follow_check() but nothing), it sends the status line
//   (qor_status.h) if its text changed, at most once a calendar second; a
//   pass in which nothing of this happened costs a comparison or two. A
//   status line that was lost is sent again a second later.
// - Watchdog: the first pass of each calendar second asks for a ping
//   (qor_watchdog.h), so a loop that stops makes the service manager
//   restart the daemon.
// - The timer file: followed with QORTIMER_FOLLOW=1 (qor_follow.h), and
//   taken at once on SIGHUP whenever following is on or a service manager
//   listens ($NOTIFY_SOCKET): `systemctl reload`.
// Without QORTIMER_FOLLOW=1 and $NOTIFY_SOCKET, none of this happens, and
// SIGHUP keeps its default action.
#ifndef QORTIMER_QOR_SERVICE_H_
#define QORTIMER_QOR_SERVICE_H_

#include "qortimer.h"

// Start-up, after qor_read_file() and before the first pass.
void qor_service_start(qor_context *qor);

// The loop's after_pass (qor_run): true when a new schedule was taken.
bool qor_service_after_pass(qor_context *qor);

#endif  // QORTIMER_QOR_SERVICE_H_
