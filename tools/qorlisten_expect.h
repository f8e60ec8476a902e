// qorlisten's schedule check: holds a running switch to the timer file it
// should follow. Every verified command is judged against the schedule at
// the command's own calendar minute, and against the time it arrived; the
// pairs of the file that fall silent, or do not change within the first
// seconds of a change minute, are noticed as time passes. At the end the
// counts give a monitoring plugin's verdict.
//
// It opens no socket and reads no clock: the listener feeds it each
// command with its time of receipt, and the time as it passes, both in
// seconds of the listener's own calendar clock. The schedule's minutes are
// local time in the process's zone, which UseZone() sets to the board's.
// Evaluation is the daemon's own qor_is_on(): a program linking this module
// links the daemon module too (tools/CMakeLists.txt says how).
#ifndef QORTIMER_TOOLS_QORLISTEN_EXPECT_H_
#define QORTIMER_TOOLS_QORLISTEN_EXPECT_H_

#include <ctime>
#include <string>
#include <unordered_map>
#include <vector>

#include "qorlisten.h"
#include "qortimer.h"

namespace qorlisten {

// The daemon repeats every pair at least every kQorLongRepeat seconds; a
// pair of the file not heard for longer than that and this margin is silent.
inline constexpr double kSilenceMargin = 5;
inline constexpr double kSilentAfter = kQorLongRepeat + kSilenceMargin;
// A pair's new state must arrive within this many seconds of its change minute.
inline constexpr double kChangeWithin = 10;

// What the watch knows of one pair of the file.
struct WatchedPair {
  std::string name;           // "DEVICE-CHANNEL", as a command names it
  std::string device, channel;
  const qor_timer *timers;    // its intervals, as the daemon's reader left them
  double last_heard;          // the start of the watch until it is first heard
  bool silent = false;        // said to be silent, and not heard since
  time_t change_minute = -1;  // the minute whose new state is awaited, or -1
  int change_state = 0;       // that new state, 1 ON or 0 OFF
  bool heard = false, was_wrong = false, was_silent = false, was_late = false;
  int last_state = 0;         // 1 ON or 0 OFF, as last heard (once heard)
};

// The counts of the summary and of the check's performance data.
struct Tally {
  long heard = 0;       // verified commands with the daemon's tag
  long bad = 0;         // datagrams that are not a verified command
  long other_tag = 0;   // verified commands with another sender's tag: not judged
  long other_host = 0;  // datagrams from a sender other than -H names: not judged
  long as_scheduled = 0, wrong = 0, unscheduled = 0, clock_off = 0, silent = 0, late = 0;
  double worst_offset = 0;  // the clock offset of largest size, seconds (ClockOffset)
  std::vector<std::string> unscheduled_names;  // each "DEVICE-CHANNEL" once
};

struct Watch {
  std::vector<WatchedPair> pairs;                 // in the order of the file
  std::unordered_map<std::string, size_t> index;  // device, NUL, channel
  double started = 0;                             // when listening began
  double now = 0;                                 // the last time it was given
  Limits limits;                                  // the sender and thresholds
  Tally tally;
};

// A watch over every pair of `entries` (which must outlive it), from `started`.
Watch StartWatch(const qor_entry *entries, double started, const Limits &limits);

// How far ahead (+) of the listener's clock a board's is, in seconds, by a
// whole-second calendar stamp received at `received`: the stamp says the
// send fell within that second, so a receipt within it, or within the
// network's delay after it, is 0; otherwise the distance to that second.
double ClockOffset(time_t stamp, double received);

// Moves the watch on to `now` and returns what became of the pairs on the
// way, one text each: "NAME LATE: ..." once a change minute's first
// kChangeWithin seconds passed without its new state, and "NAME SILENT: ..."
// once a pair was not heard for kSilentAfter. Only change minutes that begin
// at or after the start of the watch count. A clock stepped back moves
// nothing.
std::vector<std::string> Advance(Watch *w, double now);

// Judges a verified command received at `received` (Advance() having been
// given that time): "as scheduled", "WRONG STATE (schedule: ON)" or "NOT
// SCHEDULED", then ", CLOCK OFF by +N.N s" when the size of its clock
// offset alerts by the limits' thresholds, and ", heard again after N s" for a
// pair that was silent. Of the ways a command's names split, the first
// that names a pair of the file is taken.
std::string Judge(Watch *w, const Command &c, double received);

// What became of one datagram from `sender` (an IPv4 address): not counted
// for coming from another sender than the limits name, not a verified
// command, a command with another tag than the daemon's (counted, never
// judged), or the board's own. `judging`: Judge() the board's own, the
// watch having been advanced to `received`; `verdict` then holds its
// verdict, and "not judged: ..." the two kinds not judged.
enum class Kind { kOtherHost, kBad, kOtherTag, kBoard };
struct Hearing {
  Kind kind;
  std::string verdict;
};
Hearing Hear(Watch *w, const std::string &datagram, const std::string &sender, double received,
             bool judging);

// The counts of each verdict, one line.
std::string Summary(const Tally &t);

// Monitoring plugins' exit statuses.
enum CheckStatus { kCheckOk = 0, kCheckWarning = 1, kCheckCritical = 2, kCheckUnknown = 3 };

// "QORTIMER STATUS - text", and " | perfdata" when `perfdata` is not empty.
std::string PluginLine(CheckStatus status, const std::string &text,
                       const std::string &perfdata = "");

struct CheckResult {
  CheckStatus status;
  std::string line;  // PluginLine() with the performance data
};

// The verdict of a watch that listened on `where` ("ADDRESS:PORT") for
// `seconds`: CRITICAL for nothing heard, a bad datagram, a wrong state, a
// silent pair or a clock offset whose size alerts by -c; WARNING for a late
// change, an offset that alerts by -w, or a pair heard that the file does
// not name; UNKNOWN for a pair not heard in a check too short to call it
// silent; otherwise OK. The text names every fault, the worst first, and
// the pairs at fault; the performance data follow the plugins' form,
// 'label'=value[UOM];[warn];[crit];[min];[max].
CheckResult CheckVerdict(const Watch &w, double seconds, const std::string &where);

// The check's figures in Prometheus' text format: per pair its state as
// last heard and the seconds since (since the start, for a pair not
// heard), the verdicts' counts, the clock offset and the check's status.
// Every sample carries the limits' sender as label `board`, when given.
std::string Metrics(const Watch &w, CheckStatus status);

// Makes ZONE, a name of the tz database ("Europe/Berlin"), the process's
// local time. Returns false with *error set, changing nothing, when no
// zone file of that name exists.
bool UseZone(const std::string &zone, std::string *error);

}  // namespace qorlisten

#endif  // QORTIMER_TOOLS_QORLISTEN_EXPECT_H_
