// Stop signals held around a pass's sends and records; SIGHUP as a reload.
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

static volatile sig_atomic_t reload_asked;

static void on_reload(int) { reload_asked = 1; }

void qor_signals_catch_reload() {
  struct sigaction action {};
  action.sa_handler = on_reload;
  action.sa_flags = SA_RESTART;  // idle mode's sleep still ends at once
  sigemptyset(&action.sa_mask);
  sigaction(SIGHUP, &action, nullptr);
}

bool qor_signals_take_reload() {
  if (!reload_asked) return false;
  reload_asked = 0;
  return true;
}
