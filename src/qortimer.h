// The timer daemon: start-up, the timer file and schedule store, schedule
// evaluation, the polling loop with its resend policy, and the command
// datagram with its log record.
#ifndef QORTIMER_QORTIMER_H_
#define QORTIMER_QORTIMER_H_

#include <sys/types.h>

#include <cstdio>
#include <ctime>

#include "qor_housekeeping.h"
#include "qor_log.h"
#include "qor_wire.h"

constexpr int kQorNameSize = kQorMaxName + 1;  // device and channel names and NUL
constexpr int kQorTextSize = 2048;       // command, path and line buffers
constexpr int kQorLineRead = 2047;       // fgets() size: 2046 characters a read
constexpr unsigned kQorUnsetTime = 2500; // a missing on or off time
constexpr unsigned kQorMaxTime = 2400;   // largest on or off time accepted

static_assert(kQorMaxCommand < kQorTextSize, "the longest command fits a text buffer");

// Resend policy, in seconds.
constexpr double kQorSettlingPeriod = 300;  // short repeats this long after a change
constexpr double kQorShortRepeat = 5;
constexpr double kQorLongRepeat = 300;

// One daily ON interval; times are hours and minutes of local time.
struct qor_timer {
  int on_hour;
  int on_minute;
  int off_hour;
  int off_minute;
  qor_timer *next;
};

// One device/channel pair with its intervals and its sending state.
struct qor_entry {
  char device[kQorNameSize];
  char channel[kQorNameSize];
  qor_timer *timers;
  time_t last_change;  // when the evaluated state last changed; 0 before
  time_t last_sent;    // when a command was last sent; 0 before
  int state;           // state last sent: -1 none yet, 0 OFF, 1 ON
  qor_entry *next;
};

// The daemon's one state record.
struct qor_context {
  char command[kQorTextSize];  // the command datagram being built
  char time_hex[kQorStampDigits + 1];   // low 32 bits of `now`, "%08x"
  char clock_hex[kQorStampDigits + 1];  // low 32 bits of `ticks`, "%08x"
  clock_t ticks;               // processor time of the current pass
  time_t now;                  // calendar time of the current pass
  FILE *logfile;               // null while there is no log to write (qor_log.h)
  char infile[kQorTextSize];   // timer file path; index 2047 is always NUL
  int debug;
  int verbose;
  FILE *timer_stream;
  int hour;                    // local time of the current pass
  int minute;
  qor_entry *entries;          // in order of first appearance in the file

  // The calendar time of the last pass that looked at the current entries
  // (its local time is `hour` and `minute`), valid when `evaluated` is 1. A
  // pass in that same second can send nothing and skips the entries; one in
  // that same minute of the day skips their intervals. qor_initialize and
  // qor_read_file clear `evaluated`; so does zeroing the record, as for a
  // context built by hand.
  time_t evaluated_now;
  int evaluated;

  // 1: wait for the next calendar second after each pass as idle mode does
  // (QORTIMER_IDLE=1, qor_idle.h) instead of polling without pause.
  int idle;
  // 1: take an edited timer file while running (QORTIMER_FOLLOW=1,
  // qor_follow.h) instead of reading it once.
  int follow;
  // How many times a pass has found an entry's state changed, its first
  // state included: what the service's status line follows (qor_service.h).
  unsigned long changes;
  // Seconds to wait before the first pass for a synchronized clock
  // (QORTIMER_CLOCK_WAIT, qor_clock_wait.h); 0: no wait.
  long clock_wait;
  // The real-time priority asked for (QORTIMER_REALTIME, qor_idle.h); 0:
  // none. `realtime_refused`: the system refused it, and the daemon runs in
  // the normal class.
  int realtime;
  bool realtime_refused;
  qor_log_state log;              // what the log's writer knows beyond `logfile`
  qor_housekeeping housekeeping;  // the minute's checks and when they last ran
};

// Start-up: command line, timer file, first time stamps, log file, the stop
// signals (qor_signals.h), socket, and the debug settings line. Returns 0,
// or ends the process with status 1.
int qor_initialize(int argc, char **argv, qor_context *qor);

// Opens qor->infile for reading as qor->timer_stream, or reports that it
// cannot and ends the process with status 1.
void qor_open_timer_file(qor_context *qor);

// Reads and checks the whole timer file into qor->entries, sorts each
// entry's intervals and lists them in verbose mode. Returns when every line
// was good; otherwise ends the process with status 1 after reading it all.
void qor_read_file(qor_context *qor);

// The tests a timer line can fail, as bits of qor_parse_line()'s result.
constexpr unsigned kQorFieldFault = 1;   // a name missing, or a time above 2400
constexpr unsigned kQorMinuteFault = 2;  // a minute above 59

// Parses one timer line as "%s %s %u %u" into `device` and `channel` (cut
// to 255 characters) and the times of `timer` (its `next` is left alone).
// Returns the tests it failed; 0 for a good line.
unsigned qor_parse_line(const char *line, char (&device)[kQorNameSize],
                        char (&channel)[kQorNameSize], qor_timer *timer);

// qor_read_file() without the exit: reads, stores, sorts and lists the
// whole timer file as it does, reporting each bad line, and returns true
// when any line was bad.
bool qor_read_timers(qor_context *qor);

// The reader of an edited timer file (qor_follow.h): reads the whole
// stream as qor_read_timers() does into a new list, `*entries`, but says
// each bad line once, as a warning on one line,
//   " *** WARNING reading (NAME) line (LINE)",
// lists nothing, and returns rather than ending the process when reading
// fails. Returns the number of bad lines, or -1 (errno set) when reading
// failed; the caller frees the list either way.
long qor_read_edited(FILE *stream, const char *name, qor_entry **entries);

// Frees a list of entries with their intervals.
void qor_free_entries(qor_entry *entries);

// Returns the intervals of `head` relinked in ascending order of start time,
// intervals with equal starts in their original order.
qor_timer *qor_sort_qor_timer(qor_timer *head);

// 1 when `timer` is ON at hour:minute (both ends exclusive; an end at or
// before the start runs past midnight), else 0.
int qor_in_range(int hour, int minute, const qor_timer *timer);

// 1 when any interval of the list is ON at hour:minute, else 0.
int qor_is_on(int hour, int minute, const qor_timer *timers);

// Builds the command for `entry` in `state` ("ON" or "OFF") with the pass's
// stamps in qor->command and appends its hash. Returns its length; ends the
// process if the hash cannot be added.
int qor_build_command(const qor_entry *entry, const char *channel, const char *state,
                      qor_context *qor);

// Builds, hashes, broadcasts and logs the command for `entry` in `state`
// ("ON" or "OFF"). Returns 0; ends the process if the hash cannot be added.
int qor_send_command(qor_entry *entry, const char *channel, const char *state,
                     qor_context *qor);

// One pass of the polling loop with the given clock readings: stamps, local
// time, and for every entry the decision whether a command is due. The
// commands due go out as qor_send_command() sends them, but the pass writes
// their log records after it has sent them, 8 at a time at most. Only passes
// may change the entries' sending state once they have begun.
void qor_pass(qor_context *qor, clock_t ticks, time_t now);

// The calendar time in whole seconds from the precise clock, which turns to
// a new second at the second itself; -1 when the clock fails.
time_t qor_calendar_time();

// The polling loop: runs passes with the real clocks for ever, each after
// the minute's housekeeping. `after_pass`, when given, is called after each
// pass; when it returns true (it changed the entries) the next pass follows
// at once, without idle mode's wait.
[[noreturn]] void qor_run(qor_context *qor, bool (*after_pass)(qor_context *qor) = nullptr);

#endif  // QORTIMER_QORTIMER_H_
