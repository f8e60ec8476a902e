// Stop signals held around a pass's sends and records; SIGHUP as a reload.
#include "qor_signals.h"

#include <signal.h>

#include <atomic>

constexpr int kStops[] = {SIGTERM, SIGINT, SIGHUP};

static volatile sig_atomic_t holding;  // a pass is between its first send and last record
static volatile sig_atomic_t held;     // the stop that came meanwhile, or 0

// Ends the process by `sig`, as if it had not been caught.
static void end_by(int sig) {
  signal(sig, SIG_DFL);
  raise(sig);  // in the handler, delivered as it returns
}

static void on_stop(int sig) {
  if (holding)
    held = sig;
  else
    end_by(sig);
}

void qor_signals_catch_stop() {
  struct sigaction action {};
  action.sa_handler = on_stop;
  action.sa_flags = SA_RESTART;
  sigemptyset(&action.sa_mask);
  for (const int sig : kStops) sigaddset(&action.sa_mask, sig);
  for (const int sig : kStops) {
    struct sigaction old {};
    // One ignored from the start (nohup, a background job) stays ignored.
    if (sigaction(sig, nullptr, &old) == 0 && old.sa_handler == SIG_DFL)
      sigaction(sig, &action, nullptr);
  }
}

void qor_signals_hold_stop() {
  holding = 1;
  std::atomic_signal_fence(std::memory_order_seq_cst);
}

void qor_signals_release_stop() {
  std::atomic_signal_fence(std::memory_order_seq_cst);
  holding = 0;
  std::atomic_signal_fence(std::memory_order_seq_cst);
  if (held) end_by(held);
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
