// Readiness, the status line, following the timer file and reloading it.
#include "qor_service.h"

#include <sys/stat.h>

#include <cstdio>
#include <cstring>

#include "qor_follow.h"
#include "qor_notify.h"
#include "qor_signals.h"
#include "qor_status.h"

namespace {

struct service_state {
  bool active;            // following, notifying or both; SIGHUP asks for a reload
  qor_follow_state follow;
  unsigned long changes;  // qor_context::changes when the status was last composed
  bool stale;             // the status waits to be composed again
  bool said;              // `said_at` is valid
  time_t said_at;         // the calendar second of the last status sent
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
  long pairs = 0;
  for (const qor_entry *e = qor->entries; e != nullptr; e = e->next) pairs++;
  char ready[64];
  snprintf(ready, sizeof ready, "READY=1\nSTATUS=%ld pair%s read, starting", pairs,
           pairs == 1 ? "" : "s");
  qor_notify(ready);
}

bool qor_service_after_pass(qor_context *qor) {
  if (!service.active) return false;
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
  memcpy(service.last, service.status, sizeof service.last);
  qor_notify(service.status);
  service.said = true;
  service.said_at = qor->now;
  return false;
}
