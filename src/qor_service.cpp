// Readiness, the status line, following the timer file and reloading it.
#include "qor_service.h"

#include <sys/stat.h>

#include <cstdio>
#include <cstring>

#include "qor_follow.h"
#include "qor_notify.h"
#include "qor_signals.h"
#include "qor_status.h"
#include "qor_watchdog.h"

namespace {

struct service_state {
  bool active;            // following, notifying or both; SIGHUP asks for a reload
  qor_follow_state follow;
  unsigned long changes;  // qor_context::changes when the status was last composed
  bool stale;             // the status waits to be composed again
  bool said;              // `said_at` is valid
  time_t said_at;         // the calendar second of the last status sent
  time_t kicked_at;       // the calendar second of the last pass that asked for a watchdog ping
  bool ready_lost;        // READY=1 could not be sent: sent again once a second
  char ready[64];
  char status[kQorStatusSize];
  char last[kQorStatusSize];  // the status last sent
};

service_state service;

}  // namespace

void qor_service_start(qor_context *qor) {
  service = service_state{};
  const bool notifying = qor_notify_open();
  service.active = notifying || qor->follow;
  if (!service.active) return;
  qor_follow_start(&service.follow, qor);
  qor_signals_catch_reload();
  service.stale = true;
  if (!notifying) return;
  qor_watchdog_start();
  long pairs = 0;
  for (const qor_entry *e = qor->entries; e != nullptr; e = e->next) pairs++;
  snprintf(service.ready, sizeof service.ready, "READY=1\nSTATUS=%ld pair%s read, starting",
           pairs, pairs == 1 ? "" : "s");
  service.ready_lost = !qor_notify(service.ready);
}

bool qor_service_after_pass(qor_context *qor) {
  if (!service.active) return false;
  // Once a calendar second: a watchdog ping when one is due, and a READY=1
  // that a full queue lost, again.
  if (qor->now != service.kicked_at) {
    service.kicked_at = qor->now;
    qor_watchdog_kick();
    if (service.ready_lost) service.ready_lost = !qor_notify(service.ready);
  }
  const bool reload = qor_signals_take_reload();
  const qor_follow_outcome outcome = qor_follow_check(&service.follow, qor, stat, reload);
  if (outcome == kQorFollowTaken) {
    service.stale = true;  // composed after the pass that sends the new states
    return true;
  }
  if (outcome != kQorFollowNothing) service.stale = true;
  if (!qor_notify_enabled() || (!service.stale && qor->changes == service.changes) ||
      (service.said && service.said_at == qor->now))
    return false;
  qor_status_compose(qor, &service.follow, service.status);
  service.changes = qor->changes;
  service.stale = false;
  if (strcmp(service.status, service.last) == 0) return false;
  service.said = true;
  service.said_at = qor->now;
  if (qor_notify(service.status))
    memcpy(service.last, service.status, sizeof service.last);
  else
    service.stale = true;  // lost: composed and sent again a second later
  return false;
}
