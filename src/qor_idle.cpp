// Idle mode: sleep to just before the second turns, then poll to the turn.
#include "qor_idle.h"

#include <sched.h>
#include <sys/prctl.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

constexpr int64_t kSecond = 1000000000;

static int system_realtime(timespec *now) { return clock_gettime(CLOCK_REALTIME, now); }
static int system_monotonic(timespec *now) { return clock_gettime(CLOCK_MONOTONIC, now); }
static int system_sleep(const timespec *relative) {
  return clock_nanosleep(CLOCK_MONOTONIC, 0, relative, nullptr);
}

static int system_normal_class() {
  if (qor_idle_realtime_class() == nullptr) return 0;
  const sched_param normal{};
  return sched_setscheduler(0, SCHED_OTHER, &normal) == 0 ? 1 : -1;
}

const qor_idle_clock qor_idle_system_clock = {system_realtime, system_monotonic, system_sleep,
                                              system_normal_class};

// Before the first poll that a failed sleep leaves: out of a real-time
// class, or the process ends.
static void leave_realtime(const qor_idle_clock &clock) {
  const int left = clock.normal_class != nullptr ? clock.normal_class() : 0;
  if (left == 0) return;
  if (left > 0) {
    fprintf(stderr, " *** WARNING: Left real-time scheduling to poll the clock\n");
    return;
  }
  fprintf(stderr,
          " *** ERROR: Unable to poll the clock under real-time scheduling (sched_setscheduler: %s)\n",
          strerror(errno));
  exit(1);
}

static int64_t ns(const timespec &t) { return static_cast<int64_t>(t.tv_sec) * kSecond + t.tv_nsec; }

void qor_idle_start(qor_idle_state *idle) {
  // 1 ns is the least slack there is; 0 would restore the default.
  prctl(PR_SET_TIMERSLACK, 1UL, 0UL, 0UL, 0UL);
  idle->margin = kQorIdleFirstMargin;
  idle->sleep_failed = false;
}

// The margin after a sleep that woke `late` ns after it was due.
static long next_margin(long margin, int64_t late) {
  const int64_t wanted =
      std::min<int64_t>(kQorIdleMaxMargin, 2 * std::max<int64_t>(late, 0) + kQorIdleMinMargin);
  if (wanted >= margin) return static_cast<long>(wanted);
  return static_cast<long>(margin - (margin - wanted) / 64);
}

void qor_idle_wait(qor_idle_state *idle, time_t second, const qor_idle_clock &clock,
                   void (*warm)(void *), void *warm_arg) {
  timespec now, start;
  if (clock.realtime(&now) != 0 || now.tv_sec != second || clock.monotonic(&start) != 0) return;
  const int64_t to_turn = kSecond - now.tv_nsec;
  const int64_t give_up = ns(start) + to_turn + kQorIdleMaxMargin;

  if (to_turn > idle->margin) {
    const int64_t nap = to_turn - idle->margin;
    const timespec relative{static_cast<time_t>(nap / kSecond), static_cast<long>(nap % kSecond)};
    const int rc = clock.sleep(&relative);
    if (rc == EINTR) return;  // the loop comes back at once
    if (rc != 0) {
      if (!idle->sleep_failed) {
        fprintf(stderr, " *** WARNING: Unable to sleep (clock_nanosleep: %s); polling the clock\n",
                strerror(rc));
        leave_realtime(clock);
      }
      idle->sleep_failed = true;
    } else {
      if (warm != nullptr && clock.realtime(&now) == 0 && now.tv_sec == second) warm(warm_arg);
      timespec woke;
      if (clock.monotonic(&woke) == 0)
        idle->margin = next_margin(idle->margin, ns(woke) - ns(start) - nap);
    }
  }
  timespec mono;
  while (clock.realtime(&now) == 0 && now.tv_sec == second && clock.monotonic(&mono) == 0 &&
         ns(mono) < give_up) {
  }
}

int qor_idle_enter_realtime(int priority) {
  sched_param param{};
  param.sched_priority = priority;
  return sched_setscheduler(0, SCHED_FIFO | SCHED_RESET_ON_FORK, &param) == 0 ? 0 : errno;
}

const char *qor_idle_realtime_class() {
  switch (sched_getscheduler(0) & ~SCHED_RESET_ON_FORK) {
    case SCHED_FIFO: return "SCHED_FIFO";
    case SCHED_RR: return "SCHED_RR";
    case SCHED_DEADLINE: return "SCHED_DEADLINE";
    default: return nullptr;
  }
}
