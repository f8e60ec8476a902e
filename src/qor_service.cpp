// Following the timer file and reloading it.
#include "qor_service.h"

#include <sys/stat.h>

#include "qor_follow.h"
#include "qor_signals.h"

namespace {

struct service_state {
  bool reloads;  // following, so SIGHUP asks for a reload
  qor_follow_state follow;
};

service_state service;

}  // namespace

void qor_service_start(qor_context *qor) {
  service = service_state{};
  qor_follow_start(&service.follow, qor);
  service.reloads = qor->follow;
  if (service.reloads) qor_signals_catch_reload();
}

bool qor_service_after_pass(qor_context *qor) {
  if (!service.reloads) return false;
  const bool reload = qor_signals_take_reload();
  return qor_follow_check(&service.follow, qor, stat, reload) == kQorFollowTaken;
}
