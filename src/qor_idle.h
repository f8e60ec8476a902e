// Idle mode (QORTIMER_IDLE=1): after each pass the daemon sleeps until just
// before the calendar second turns, then polls the clock to the turn, so
// that the next second's pass starts about as promptly as in busy mode
// while the processor sleeps nearly all the time.
//
// The sleep is relative, on the monotonic clock, so a step of the calendar
// clock cannot stretch it, and the timer slack is set to its minimum. It
// ends `margin` before the turn, and the margin follows how late this
// machine's wake-ups really are: after each sleep that was L late it grows
// at once to 2 L + 20 us if that is more, and otherwise shrinks by a 64th of
// the difference, so that it remembers the late wakes of the last minute or
// so; always within 20 us and 2 ms. A kernel without high-resolution timers
// wakes up to a tick late: the bound keeps the poll, and so the processor
// time, small there, at the cost of a late pass. The poll gives up 2 ms
// after the turn was due, so a clock that stands still cannot hold the loop.
//
// A pass that follows a sleep finds its code and data cold and would spend
// tens of microseconds fetching them before its first send. So a wait may
// be given a warm-up, which it runs once on waking, while the clock still
// reads the pass's second: the caller goes through the next pass's steps
// there without sending anything. Its time counts as part of the wake-up's
// lateness, so the margin leaves room for it.
//
// A sleep that the system refuses or that fails (anything but an
// interruption) is said once on the error stream,
//   " *** WARNING: Unable to sleep (clock_nanosleep: REASON); polling the clock"
// and that wait, like every later one whose sleep fails, polls to the turn
// as busy mode does. Polling must not happen in a real-time scheduling
// class, so a process in one leaves it for the normal class first, saying
//   " *** WARNING: Left real-time scheduling to poll the clock"
// or, when it cannot, ends with status 1:
//   " *** ERROR: Unable to poll the clock under real-time scheduling
//   (sched_setscheduler: REASON)"
//
// Busy mode must not run in a real-time scheduling class: its loop would
// keep a core busy at a priority that no ordinary work on the board can
// pre-empt. Idle mode may, and then wakes at once however busy the cores
// are. Start-up asks qor_idle_realtime_class() and refuses busy mode there,
// and refuses it as well when the real-time class is asked for.
//
// Idle mode can ask for the class itself (QORTIMER_REALTIME=PRIORITY, 1 to
// 99: SCHED_FIFO at that priority, not passed on to child processes). A
// process may take it without privilege up to its RLIMIT_RTPRIO, which the
// service's unit raises (LimitRTPRIO=). Where the system refuses it (a
// container without CAP_SYS_NICE and a raised limit, a kernel whose
// control groups give the service no real-time budget), the daemon runs on
// in the normal class and says so once,
//   " *** WARNING: Real-time scheduling refused (sched_setscheduler: REASON); running in the normal class"
// and the service's status line ends "; normal class: real-time refused".
#ifndef QORTIMER_QOR_IDLE_H_
#define QORTIMER_QOR_IDLE_H_

#include <ctime>

constexpr long kQorIdleMinMargin = 20000;     // ns
constexpr long kQorIdleMaxMargin = 2000000;   // ns
constexpr long kQorIdleFirstMargin = 1000000; // ns, until the first wake-up is seen
constexpr int kQorRealtimeMax = 99;           // the highest SCHED_FIFO priority

// The clocks and the sleep idle mode uses; tests put a simulated clock in
// their place.
struct qor_idle_clock {
  int (*realtime)(timespec *now);          // 0, or -1 when the clock fails
  int (*monotonic)(timespec *now);         // 0, or -1
  int (*sleep)(const timespec *relative);  // on the monotonic clock: 0, or an error number
  // Puts a process that runs in a real-time class into the normal one:
  // 0 when it ran in the normal class, 1 when it left a real-time one, -1
  // (errno set) when it could not. Null: always the normal class.
  int (*normal_class)();
};

// CLOCK_REALTIME, CLOCK_MONOTONIC and clock_nanosleep().
extern const qor_idle_clock qor_idle_system_clock;

struct qor_idle_state {
  long margin;        // ns before the turn at which a sleep ends
  bool sleep_failed;  // a failed sleep has been said
};

// Sets the process's timer slack to its minimum and the first margin.
void qor_idle_start(qor_idle_state *idle);

// The wait after a pass in calendar second `second`: returns once `clock`
// reads another second, at once when it already does (a step either way),
// and early when a signal interrupts the sleep. `warm`, when given, is
// called with `warm_arg` on waking from the sleep, before the poll.
void qor_idle_wait(qor_idle_state *idle, time_t second, const qor_idle_clock &clock,
                   void (*warm)(void *) = nullptr, void *warm_arg = nullptr);

// Asks for SCHED_FIFO at `priority` (1 to 99) for the process: 0, or the
// error number of the refusal.
int qor_idle_enter_realtime(int priority);

// The real-time scheduling class the process runs in ("SCHED_FIFO",
// "SCHED_RR" or "SCHED_DEADLINE"), or null in any other class or when the
// class cannot be read.
const char *qor_idle_realtime_class();

#endif  // QORTIMER_QOR_IDLE_H_
