// qorlisten: receives command datagrams on UDP port 1962 and prints, for
// each, what it carries and whether its hash verifies; given a timer file,
// it also holds them to that schedule (qorlisten_expect.h). This header
// holds the parts that need no socket: the command parser, the verdict, the
// output line and the command line.
#ifndef QORTIMER_TOOLS_QORLISTEN_H_
#define QORTIMER_TOOLS_QORLISTEN_H_

#include <cstdint>
#include <ctime>
#include <string>
#include <vector>

#include "qor_wire.h"  // the command's layout and port

namespace qorlisten {

inline constexpr int kMaxName = kQorMaxName;  // longest device or channel name

// One way of reading "<device>-<channel>".
struct Pair {
  std::string device;
  std::string channel;
};

// A datagram taken apart by the command layout of qor_wire.h, with any
// sender tag:
//   qorctrl command <tag>-<device>-<channel>-<ON|OFF> <time8>-<clock8>-<hash4>
// Device and channel may themselves hold '-', so the state is split off from
// the right and every split of the rest into two names is kept.
struct Command {
  bool ok = false;           // the layout matched
  std::string problem;       // why not, when !ok
  std::string tag;           // sender tag: "QORTIMER" from the daemon
  std::string names;         // "<device>-<channel>" as received
  std::vector<Pair> pairs;   // every split that fits; one unless ambiguous
  std::string state;         // "ON" or "OFF"
  uint32_t time_stamp = 0;   // low 32 bits of the sender's calendar time
  uint32_t clock_stamp = 0;  // low 32 bits of its processor clock, in µs
  std::string hash;          // the 4 digits as received
};

// Parses a datagram; a line end or blanks after the hash are allowed.
Command ParseCommand(const std::string &datagram);

// qorhash_test() on a copy of the datagram: 0 when the hash verifies,
// otherwise its failure code. A datagram holding a NUL never verifies.
int VerifyHash(const std::string &datagram);

// "verified", "MISMATCH" or "NO VALID HASH (...)" for a VerifyHash() code.
std::string VerdictText(int code);

// The calendar stamp as local "YYYY-MM-DDTHH:MM:SS".
std::string TimeStampText(uint32_t stamp);
// The clock stamp as seconds of processor time, "S.UUUUUUs".
std::string ClockStampText(uint32_t stamp);

// The datagram in double quotes, bytes outside printable ASCII as \xHH,
// cut after `limit` bytes with "..." and the full length.
std::string QuoteBytes(const std::string &bytes, size_t limit = 64);

// One output line (no line end): local time of receipt, sender, then the
// command's fields or why it is not one, and the verdict.
std::string FormatLine(const std::string &datagram, const timespec &received,
                       const std::string &peer);

// True when the datagram is a well-formed command whose hash verifies.
bool IsVerifiedCommand(const std::string &datagram);

// A threshold in the monitoring plugins' range syntax, [@]START:END: a
// value outside START..END alerts (inside, with '@'). "10" is 0:10, "10:"
// has no end, "~:10" no start. An empty text is no threshold.
struct Range {
  std::string text;  // as given; "" when none
  bool inside = false;
  double start = 0, end = 0;
  bool no_start = false, no_end = false;
};

// Reads TEXT into *range; false when it is not a range.
bool ParseRange(const std::string &text, Range *range);

// True when `value` alerts by `range`; never for an empty one.
bool Alerts(const Range &range, double value);

// What a check judges: the board's sender, when given, and the clock
// offset's thresholds, held to the offset's size, ahead or behind.
struct Limits {
  std::string host;  // -H: only datagrams from this IPv4 address; "": any
  Range clock_warning, clock_critical;
};

// The warning that holds when -w is not given, in seconds.
inline constexpr char kDefaultClockWarning[] = "2";

struct Options {
  std::string address = "0.0.0.0";
  int port = kQorPort;
  long count = 0;        // stop after this many datagrams; 0: no limit
  double seconds = 0;    // stop after this long; 0: no limit
  std::string expect;    // --expect: the timer file to hold commands to; "": none
  std::string zone;      // --zone: the board's time zone; "": the listener's own
  bool check = false;    // --check: end with a monitoring plugin's line and status
  std::string metrics;   // --metrics: the file the check's figures go to; "": none
  Limits limits;         // -H, -w, -c
};

enum class ParseResult { kRun, kHelp, kVersion, kError };

// Parses the arguments after the program name. On kError, *error says why.
// --zone, --check, -w and -c need --expect, --check needs -t, and
// --metrics needs --check.
ParseResult ParseOptions(const std::vector<std::string> &args, Options *options,
                         std::string *error);

// The one-line synopsis, and the whole -h text that begins with it.
std::string Synopsis();
std::string Usage();
// "qorlisten VERSION", for -V.
std::string Version();

}  // namespace qorlisten

#endif  // QORTIMER_TOOLS_QORLISTEN_H_
