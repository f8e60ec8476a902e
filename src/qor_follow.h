// Following the timer file: the running daemon takes an edited schedule
// without a restart (QORTIMER_FOLLOW=1), or at once when asked (a reload).
//
// The loop calls qor_follow_check() after each pass; it looks at the file
// at most once a calendar second, with one stat() of its name, and does
// nothing at all in a pass of the same second.
//
// The life of a version of the file, one phase at a time, each move made
// by qor_follow_move() alone:
// - Seen: the name shows another version than the one last checked (saved
//   by rename or rewritten in place), or cannot be looked at. It is settling.
// - Settling: it is read once it has stood unchanged for kQorFollowSettle
//   seconds, so that a writer still at work is not read half-way; a reload
//   reads it at once, whatever its age. A name that shows the version last
//   checked again ends the settling, silently.
// - Checked: read whole and checked before anything changes; a version that
//   changed while it was read settles again (after a reload: is read again
//   a second later). Then it is
// - Taken: it was whole and good, and takes effect at once. A pair keeps its
//   sending state: if its state at this minute is the one it last sent, it
//   keeps its cadence; a pair that is new, or whose state changes, is sent by
//   the next pass; a pair that is gone is no longer sent. Each of these is
//   said,
//     " *** WARNING: Pair (DEVICE CHANNEL) added, ON|OFF",
//     " *** WARNING: Pair (DEVICE CHANNEL) switched, ON|OFF",
//     " *** WARNING: Pair (DEVICE CHANNEL) removed, last sent ON|OFF" (or
//       ", never sent"), naming the command its devices keep,
//   then " *** WARNING: Took timer file (FILE): N pairs, A added, S switched, R removed".
//   The replaced schedule is freed.
// - Refused: it had bad lines. Nothing changes: each bad line is said once,
//   " *** WARNING reading (FILE) line (LINE)", then
//   " *** WARNING: Timer file (FILE) refused, N bad line[s]; the schedule stays as it was".
// - Waiting: it is empty or ends mid-line (qor_text_cut_of), as a save cut
//   short or still in progress leaves it. Nothing changes, and that is said
//   (qor_say_text_cut); the next whole save is taken.
// - Unreadable: its name could not be looked at, or it could not be read
//   (gone, a directory, not allowed). Nothing changes; said once while the
//   same trouble lasts (and at every reload):
//   " *** WARNING: Unable to read timer file (FILE): REASON; the schedule stays as it was".
//   Once the name shows a file again, changed or not, that file settles and
//   is checked as any new version, and the trouble is no longer shown.
// A version taken, refused, waiting or unreadable is not read again until
// the name shows another one, except on a reload.
#ifndef QORTIMER_QOR_FOLLOW_H_
#define QORTIMER_QOR_FOLLOW_H_

#include <sys/stat.h>

#include <ctime>

#include "qor_whole.h"
#include "qortimer.h"

constexpr time_t kQorFollowSettle = 2;  // s unchanged before a version is read

// How the follower sees the file's state: stat() of its name (0, or -1 with
// errno). Tests put their own in its place.
using qor_follow_stat = int (*)(const char *path, struct stat *st);

// Where the file is in its life. A zeroed state is a taken version.
enum qor_follow_phase {
  kQorVersionTaken,
  kQorVersionRefused,
  kQorVersionWaiting,
  kQorVersionUnreadable,
  kQorVersionSettling,
};

// What one look at the name shows: its state, or why it cannot be looked at.
struct qor_follow_look {
  struct stat st;  // zeroed when `error` is set
  int error;
};

struct qor_follow_state {
  qor_follow_phase phase;
  qor_follow_look version;  // the version last checked, not read again unless it changes
  // While settling:
  qor_follow_phase left;    //   the phase it left
  qor_follow_look seen;     //   the version settling,
  time_t since;             //   unchanged since this calendar second
  bool at_once;             //   a reload's: read at the next look, whatever its age
  // The verdict on the version last checked, said at local time `minute` (HHMM):
  int minute;
  int error;                // unreadable: the trouble said; 0 once a version was read
  long bad_lines;           // refused: its bad lines
  qor_text_cut cut;         // waiting: what is wrong with it
  time_t looked_at;         // the calendar second of the last look; -1 before
};

enum qor_follow_outcome {
  kQorFollowNothing,     // nothing changed
  kQorFollowTaken,       // a new schedule runs: the next pass should follow at once
  kQorFollowRefused,     // a bad file was refused
  kQorFollowWaits,       // a file cut short was not taken
  kQorFollowUnreadable,  // the file could not be read
  kQorFollowShown,       // nothing said, but what the status line shows changed
  kQorFollowRead,        // (qor_follow_move only) the version seen is to be read now
};

// What the follower learns about the file, which moves its phase.
enum qor_follow_event_kind {
  kQorFollowLooked,      // a look at the name: `look`
  kQorFollowReload,      // a reload's look at the name: `look`
  kQorFollowChanging,    // the version changed while it was read; `look` is the name's now
  kQorFollowReadFailed,  // it could not be read: `error`
  kQorFollowReadCut,     // it was read whole, but is not whole: `cut`
  kQorFollowReadBad,     // it was read whole and had `bad_lines` bad lines
  kQorFollowReadGood,    // it was read whole and is good
};

struct qor_follow_event {
  qor_follow_event_kind kind;
  qor_follow_look look;
  int error;
  long bad_lines;
  qor_text_cut cut;
};

// Start-up, once the schedule is read: the version read is the one taken,
// as the open timer stream shows it.
void qor_follow_start(qor_follow_state *follow, const qor_context *qor);

// After the pass that left `qor` at its calendar second and local time:
// follows qor->infile when qor->follow is set, as above, or reads it now
// when `at_once`. Never returns kQorFollowRead.
qor_follow_outcome qor_follow_check(qor_follow_state *follow, qor_context *qor,
                                    qor_follow_stat look, bool at_once);

// The one transition of the follower's phase: what `event` does, in the
// pass that left `qor` at its calendar second and local time, and says it
// on the error stream. A taken version's changes are said by the caller,
// which puts it in place.
qor_follow_outcome qor_follow_move(qor_follow_state *follow, const qor_follow_event &event,
                                   const qor_context *qor);

// The verdict the status line shows: the phase, or while settling the one
// it left, except that trouble looking at the name ends once it shows a file.
qor_follow_phase qor_follow_shown(const qor_follow_state *follow);

#endif  // QORTIMER_QOR_FOLLOW_H_
