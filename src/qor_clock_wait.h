// Waiting for a right clock (QORTIMER_CLOCK_WAIT=SECONDS). A board without
// a battery-backed clock boots with a wrong time, which a time service
// corrects once the network is up. Until then every pair would switch by
// the wrong time of day and every command would carry the wrong date. So,
// with the setting given, the daemon waits before its first pass until the
// kernel reports the system clock synchronized, or until SECONDS have
// passed: a board that never reaches a time server still switches.
//
// The kernel's answer is adjtimex() with no mode bits, which changes
// nothing. The clock counts as synchronized when the kernel's maximum error
// for it is below 16 s, whatever its clock state and status flags say: time
// services that keep the clock right may leave the "unsynchronized" flag set
// on purpose (so that the kernel leaves the hardware clock alone), and a
// flag cleared by hand says nothing of the error. The wait asks
// once a second and sleeps in between on the monotonic clock, which a step
// of the calendar clock cannot stretch; it never spins, and sends nothing.
// A clock that is already synchronized costs one question and no message.
// Otherwise the wait is said on the error stream when it begins and when it
// ends, one line each:
//   " *** WARNING: Clock not synchronized; waiting up to N s for it before the first pass"
//   " *** WARNING: Clock synchronized after N s; starting"
//   " *** WARNING: Clock still not synchronized after N s; starting anyway"
// and while it lasts the service manager's status line says
//   "waiting for the clock to be synchronized (up to N s)", cleared at its end.
// When the question or the sleep fails, the wait cannot learn anything by
// going on, and ends at once:
//   " *** WARNING: Unable to wait for the clock (adjtimex: REASON); starting at once"
// (or clock_nanosleep, or clock_gettime). After the wait the clock is followed as ever: a
// later step is acted on by the next pass.
#ifndef QORTIMER_QOR_CLOCK_WAIT_H_
#define QORTIMER_QOR_CLOCK_WAIT_H_

#include <ctime>

constexpr const char *kQorClockWaitVariable = "QORTIMER_CLOCK_WAIT";
constexpr long kQorClockWaitMax = 86400;  // s, the longest wait the setting accepts

// The setting's value: a whole number of seconds from 0 (no wait) to
// kQorClockWaitMax, in decimal digits only. False for anything else.
bool qor_clock_wait_parse(const char *text, long *seconds);

constexpr long kQorClockMaxError = 16000000;  // us: from this maximum error on, not synchronized

// True when adjtimex()'s answer, its clock state (or -1 when it failed) and
// maximum error in microseconds, says the clock is synchronized.
bool qor_clock_wait_synchronized(int state, long maxerror);

// The kernel's answers and the sleep the wait uses; tests put a simulated
// clock in their place.
struct qor_clock_wait_clock {
  // adjtimex()'s clock state with the maximum error (us) in `maxerror`, or
  // -1 with errno set.
  int (*state)(long *maxerror);
  int (*monotonic)(timespec *now);         // 0, or -1
  int (*sleep)(const timespec *relative);  // on the monotonic clock: 0, or an error number
};

// adjtimex(), CLOCK_MONOTONIC and clock_nanosleep().
extern const qor_clock_wait_clock qor_clock_wait_system_clock;

enum class qor_clock_wait_result {
  kNotAsked,      // no wait wanted (0 s)
  kSynchronized,  // synchronized when asked first: nothing said
  kSynchronizedAfterWaiting,
  kGaveUp,        // still not synchronized after the whole wait
  kCannotWait,    // the question or the sleep failed
};

// Waits up to `seconds` as above. `status`, when given, is called with a
// "STATUS=..." assignment for the service manager when the wait begins and
// again when it ends; `alive`, when given, before each question, so that
// the service manager's watchdog hears from a waiting daemon.
qor_clock_wait_result qor_clock_wait(long seconds, const qor_clock_wait_clock &clock,
                                     void (*status)(const char *assignments) = nullptr,
                                     void (*alive)() = nullptr);

#endif  // QORTIMER_QOR_CLOCK_WAIT_H_
