// Waiting for a right clock: ask the kernel once a second, sleep in between.
#include "qor_clock_wait.h"

#include <sys/timex.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>

#include "qor_decimal.h"

constexpr int64_t kSecond = 1000000000;

static int system_state(long *maxerror) {
  timex tx{};  // no mode bits: a question that changes nothing
  const int state = adjtimex(&tx);
  *maxerror = tx.maxerror;
  return state;
}
static int system_monotonic(timespec *now) { return clock_gettime(CLOCK_MONOTONIC, now); }
static int system_sleep(const timespec *relative) {
  return clock_nanosleep(CLOCK_MONOTONIC, 0, relative, nullptr);
}

const qor_clock_wait_clock qor_clock_wait_system_clock = {system_state, system_monotonic,
                                                          system_sleep};

bool qor_clock_wait_parse(const char *text, long *seconds) {
  int64_t value = 0;
  if (!qor_parse_decimal(text, kQorClockWaitMax, &value)) return false;
  *seconds = static_cast<long>(value);
  return true;
}

bool qor_clock_wait_synchronized(int state, long maxerror) {
  return state >= 0 && maxerror >= 0 && maxerror < kQorClockMaxError;
}

static int64_t ns(const timespec &t) { return static_cast<int64_t>(t.tv_sec) * kSecond + t.tv_nsec; }

static qor_clock_wait_result cannot_wait(const char *call, int error) {
  fprintf(stderr, " *** WARNING: Unable to wait for the clock (%s: %s); starting at once\n", call,
          strerror(error));
  return qor_clock_wait_result::kCannotWait;
}

// Asks and sleeps until synchronized or `seconds` after `start`.
static qor_clock_wait_result wait_from(const timespec &start, long seconds,
                                       const qor_clock_wait_clock &clock, void (*alive)()) {
  const int64_t deadline = ns(start) + seconds * kSecond;
  for (;;) {
    if (alive != nullptr) alive();
    timespec now;
    if (clock.monotonic(&now) != 0) return cannot_wait("clock_gettime", errno);
    const int64_t left = deadline - ns(now);
    if (left <= 0) {
      fprintf(stderr, " *** WARNING: Clock still not synchronized after %ld s; starting anyway\n",
              seconds);
      return qor_clock_wait_result::kGaveUp;
    }
    const int64_t nap = std::min(left, kSecond);
    const timespec relative{static_cast<time_t>(nap / kSecond), static_cast<long>(nap % kSecond)};
    const int rc = clock.sleep(&relative);
    if (rc == EINTR) continue;
    if (rc != 0) return cannot_wait("clock_nanosleep", rc);
    long maxerror = 0;
    const int state = clock.state(&maxerror);
    if (state < 0) return cannot_wait("adjtimex", errno);
    if (qor_clock_wait_synchronized(state, maxerror)) {
      if (clock.monotonic(&now) != 0) now = start;
      fprintf(stderr, " *** WARNING: Clock synchronized after %lld s; starting\n",
              static_cast<long long>((ns(now) - ns(start)) / kSecond));
      return qor_clock_wait_result::kSynchronizedAfterWaiting;
    }
  }
}

qor_clock_wait_result qor_clock_wait(long seconds, const qor_clock_wait_clock &clock,
                                     void (*status)(const char *), void (*alive)()) {
  if (seconds <= 0) return qor_clock_wait_result::kNotAsked;
  long maxerror = 0;
  const int state = clock.state(&maxerror);
  if (state < 0) return cannot_wait("adjtimex", errno);
  if (qor_clock_wait_synchronized(state, maxerror)) return qor_clock_wait_result::kSynchronized;
  timespec start;
  if (clock.monotonic(&start) != 0) return cannot_wait("clock_gettime", errno);

  fprintf(stderr,
          " *** WARNING: Clock not synchronized; waiting up to %ld s for it before the first pass\n",
          seconds);
  char line[96];
  snprintf(line, sizeof line, "STATUS=waiting for the clock to be synchronized (up to %ld s)",
           seconds);
  if (status != nullptr) status(line);
  const qor_clock_wait_result result = wait_from(start, seconds, clock, alive);
  if (status != nullptr) status("STATUS=");
  return result;
}
