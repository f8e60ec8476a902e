// Following the timer file: the running daemon takes an edited schedule
// without a restart (QORTIMER_FOLLOW=1), or at once when asked (a reload).
//
// The loop calls qor_follow_check() after each pass; it looks at the file
// at most once a calendar second, with one stat() of its name, and does
// nothing at all in a pass of the same second. A new version of the file,
// saved by rename or rewritten in place, is taken once it has stood
// unchanged for kQorFollowSettle seconds, or kQorFollowSettleUnended while
// it is empty or its last line has no line end: a writer still at work, or
// one that has truncated the file and written part of a line, is not read
// half-way. A version that changes while it is read is read again once it
// settles. A reload reads the file at once, whatever its age, and again a
// second later if it changed while being read.
//
// The new file is read whole and checked before anything changes:
// - A bad file changes nothing: the schedule runs on, each bad line is said
//   once, " *** WARNING reading (FILE) line (LINE)", then
//   " *** WARNING: Timer file (FILE) refused, N bad line[s]; the schedule stays as it was".
//   That version is not read again; the next one is.
// - A file that cannot be read (gone, a directory, not allowed) changes
//   nothing either, said once while the same trouble lasts:
//   " *** WARNING: Unable to read timer file (FILE): REASON; the schedule stays as it was".
// - A good file takes effect at once. A pair keeps its sending state: if
//   its state at this minute is the one it last sent, it keeps its cadence;
//   a pair that is new, or whose state changes, is sent by the next pass; a
//   pair that is gone is no longer sent. Each of these is said,
//   " *** WARNING: Pair (DEVICE CHANNEL) added, ON|OFF",
//   " *** WARNING: Pair (DEVICE CHANNEL) switched, ON|OFF",
//   " *** WARNING: Pair (DEVICE CHANNEL) removed",
//   then " *** WARNING: Took timer file (FILE): N pairs, A added, S switched, R removed".
//   The replaced schedule is freed.
#ifndef QORTIMER_QOR_FOLLOW_H_
#define QORTIMER_QOR_FOLLOW_H_

#include <sys/stat.h>

#include <ctime>

#include "qortimer.h"

constexpr time_t kQorFollowSettle = 2;         // s unchanged before a version is read
constexpr time_t kQorFollowSettleUnended = 5;  // s, for one that does not end in a line end

// How the follower sees the file's state: stat() of its name (0, or -1 with
// errno). Tests put their own in its place.
using qor_follow_stat = int (*)(const char *path, struct stat *st);

struct qor_follow_state {
  bool looked;           // `looked_at` is valid
  time_t looked_at;      // the calendar second of the last look
  bool decided;          // `version` is valid
  struct stat version;   // the version last taken, refused or found unreadable
  bool pending;          // a newer version is waiting to settle:
  struct stat pending_version;  //   its state, or
  int pending_error;            //   why its name could not be looked at
  time_t pending_since;  //   since this calendar second
  int trouble;           // the errno said for an unreadable file; 0 when none
  int trouble_minute;    // local time (HHMM) when that trouble began
  long refused_lines;    // bad lines of the version refused last; 0 when taken
  int refused_minute;    // local time (HHMM) of that refusal
  bool read_again;       // a reload found the file changing: read it next second
};

enum qor_follow_outcome {
  kQorFollowNothing,     // nothing changed
  kQorFollowTaken,       // a new schedule runs: the next pass should follow at once
  kQorFollowRefused,     // a bad file was refused
  kQorFollowUnreadable,  // the file could not be read
};

// Start-up, once the schedule is read: the version read is the one taken,
// as the open timer stream shows it.
void qor_follow_start(qor_follow_state *follow, const qor_context *qor);

// After the pass that left `qor` at its calendar second and local time:
// follows qor->infile when qor->follow is set, as above, or reads it now
// when `at_once`.
qor_follow_outcome qor_follow_check(qor_follow_state *follow, qor_context *qor,
                                    qor_follow_stat look, bool at_once);

#endif  // QORTIMER_QOR_FOLLOW_H_
