// Stop signals held around a pass's sends and records.
#include "qor_signals.h"

#include <signal.h>

static sigset_t stop_signals() {
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, SIGTERM);
  sigaddset(&set, SIGINT);
  sigaddset(&set, SIGHUP);
  return set;
}

void qor_signals_hold_stop() {
  const sigset_t set = stop_signals();
  sigprocmask(SIG_BLOCK, &set, nullptr);
}

void qor_signals_release_stop() {
  const sigset_t set = stop_signals();
  sigprocmask(SIG_UNBLOCK, &set, nullptr);
}
