// qorlisten's socket-free half: taking a datagram apart, verifying its hash
// and writing the output line; and the command line.
#include "qorlisten.h"

#include <arpa/inet.h>

#include <cctype>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "qorhash.h"

namespace qorlisten {

namespace {

constexpr size_t kStampDigits = kQorStampDigits;
constexpr size_t kHashDigits = kQorhashDigits;
constexpr double kMaxSeconds = 1e8;  // about three years; keeps poll() sane

bool IsSpace(char c) { return isspace(static_cast<unsigned char>(c)) != 0; }

// Exactly `digits` lower-case hexadecimal digits, as the sender writes them.
bool IsLowerHex(const std::string &s, size_t digits) {
  if (s.size() != digits) return false;
  for (char c : s)
    if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'))) return false;
  return true;
}

Command Reject(const std::string &why) {
  Command c;
  c.problem = why;
  return c;
}

// Every split of "<device>-<channel>" at a '-' that leaves two names of
// 1 to kMaxName characters.
std::vector<Pair> SplitNames(const std::string &names) {
  std::vector<Pair> pairs;
  for (size_t dash = names.find(kQorSeparator); dash != std::string::npos;
       dash = names.find(kQorSeparator, dash + 1)) {
    const size_t device_length = dash, channel_length = names.size() - dash - 1;
    if (device_length < 1 || device_length > kMaxName) continue;
    if (channel_length < 1 || channel_length > kMaxName) continue;
    pairs.push_back({names.substr(0, dash), names.substr(dash + 1)});
  }
  return pairs;
}

std::string LocalTime(time_t t, const char *format) {
  tm local;
  char text[64];
  if (localtime_r(&t, &local) == nullptr || strftime(text, sizeof text, format, &local) == 0)
    return "?";
  return text;
}

bool ParseLong(const std::string &text, long low, long high, long *value) {
  if (text.empty() || !isdigit(static_cast<unsigned char>(text[0]))) return false;
  errno = 0;
  char *end = nullptr;
  const long v = strtol(text.c_str(), &end, 10);
  if (errno != 0 || *end != '\0' || v < low || v > high) return false;
  *value = v;
  return true;
}

bool ParseSeconds(const std::string &text, double *value) {
  if (text.empty() || !(isdigit(static_cast<unsigned char>(text[0])) || text[0] == '.'))
    return false;
  errno = 0;
  char *end = nullptr;
  const double v = strtod(text.c_str(), &end);
  if (errno != 0 || *end != '\0' || !std::isfinite(v) || v <= 0 || v > kMaxSeconds) return false;
  *value = v;
  return true;
}

// A number of a range's bound, finite.
bool ParseBound(const std::string &text, double *value) {
  if (text.empty()) return false;
  errno = 0;
  char *end = nullptr;
  const double v = strtod(text.c_str(), &end);
  if (errno != 0 || *end != '\0' || !std::isfinite(v)) return false;
  *value = v;
  return true;
}

}  // namespace

bool ParseRange(const std::string &text, Range *range) {
  Range r;
  r.text = text;
  std::string body = text;
  if (!body.empty() && body[0] == '@') {
    r.inside = true;
    body.erase(0, 1);
  }
  const size_t colon = body.find(':');
  if (colon == std::string::npos) {
    if (!ParseBound(body, &r.end)) return false;
  } else {
    const std::string start = body.substr(0, colon), end = body.substr(colon + 1);
    r.no_start = start == "~";
    r.no_end = end.empty();
    if (!r.no_start && !start.empty() && !ParseBound(start, &r.start)) return false;
    if (!r.no_end && !ParseBound(end, &r.end)) return false;
  }
  if (!r.no_start && !r.no_end && r.start > r.end) return false;
  *range = r;
  return true;
}

bool Alerts(const Range &range, double value) {
  if (range.text.empty()) return false;
  const bool outside =
      (!range.no_start && value < range.start) || (!range.no_end && value > range.end);
  return range.inside ? !outside : outside;
}

Command ParseCommand(const std::string &datagram) {
  if (datagram.find('\0') != std::string::npos) return Reject("holds a NUL byte");
  std::string text = datagram;
  while (!text.empty() && IsSpace(text.back())) text.pop_back();

  const std::string prefix = std::string(kQorCommandWord) + kQorCommandVerb;
  if (text.compare(0, prefix.size(), prefix) != 0)
    return Reject("does not begin with \"" + prefix + "\"");
  const std::string rest = text.substr(prefix.size());
  const size_t blank = rest.find(kQorStampsBlank);
  if (blank == std::string::npos) return Reject("no stamps after the target");
  const std::string target = rest.substr(0, blank);
  const std::string stamps = rest.substr(blank + 1);
  for (char c : target)
    if (IsSpace(c)) return Reject("white space inside the target");

  // <time8>-<clock8>-<hash4>
  const size_t stamps_length = 2 * kStampDigits + kHashDigits + 2;
  if (stamps.size() != stamps_length || stamps[kStampDigits] != kQorSeparator ||
      stamps[2 * kStampDigits + 1] != kQorSeparator)
    return Reject("stamps are not <8 hex>-<8 hex>-<4 hex>");
  const std::string time_hex = stamps.substr(0, kStampDigits);
  const std::string clock_hex = stamps.substr(kStampDigits + 1, kStampDigits);
  const std::string hash = stamps.substr(2 * kStampDigits + 2);
  if (!IsLowerHex(time_hex, kStampDigits) || !IsLowerHex(clock_hex, kStampDigits) ||
      !IsLowerHex(hash, kHashDigits))
    return Reject("stamps are not <8 hex>-<8 hex>-<4 hex>");

  // <tag>-<device>-<channel>-<state>: the state from the right, the tag
  // from the left; the names keep whatever '-' lies between.
  const size_t last_dash = target.rfind(kQorSeparator);
  if (last_dash == std::string::npos) return Reject("target has no state");
  const std::string state = target.substr(last_dash + 1);
  if (state != kQorStateOn && state != kQorStateOff) return Reject("state is neither ON nor OFF");
  const std::string head = target.substr(0, last_dash);
  const size_t first_dash = head.find(kQorSeparator);
  if (first_dash == std::string::npos || first_dash == 0)
    return Reject("target has no sender tag and names");
  const std::string names = head.substr(first_dash + 1);
  std::vector<Pair> pairs = SplitNames(names);
  if (pairs.empty()) return Reject("target has no device-channel pair");

  Command c;
  c.ok = true;
  c.tag = head.substr(0, first_dash);
  c.names = names;
  c.pairs = std::move(pairs);
  c.state = state;
  c.time_stamp = static_cast<uint32_t>(strtoul(time_hex.c_str(), nullptr, 16));
  c.clock_stamp = static_cast<uint32_t>(strtoul(clock_hex.c_str(), nullptr, 16));
  c.hash = hash;
  return c;
}

int VerifyHash(const std::string &datagram) {
  if (datagram.find('\0') != std::string::npos) return -1;
  std::vector<char> copy(datagram.begin(), datagram.end());  // qorhash_test cuts it
  copy.push_back('\0');
  return qorhash_test(copy.data());
}

std::string VerdictText(int code) {
  switch (code) {
    case 0: return "verified";
    case 5: return "MISMATCH";
    case -1: return "NO VALID HASH (NUL byte in the datagram)";
    case 2: return "NO VALID HASH (4 characters or fewer)";
    case 3: return "NO VALID HASH (nothing before the last hexadecimal digits)";
    case 4: return "NO VALID HASH (last 4 characters are not hexadecimal)";
    case 12: return "NO VALID HASH (nothing but blanks before it)";
    default: return "NO VALID HASH (qorhash_test " + std::to_string(code) + ")";
  }
}

std::string TimeStampText(uint32_t stamp) {
  return LocalTime(static_cast<time_t>(stamp), "%Y-%m-%dT%H:%M:%S");
}

std::string ClockStampText(uint32_t stamp) {
  char text[32];
  snprintf(text, sizeof text, "%u.%06us", static_cast<unsigned>(stamp / 1000000),
           static_cast<unsigned>(stamp % 1000000));
  return text;
}

std::string QuoteBytes(const std::string &bytes, size_t limit) {
  std::string out = "\"";
  for (size_t i = 0; i < bytes.size() && i < limit; i++) {
    const unsigned char c = static_cast<unsigned char>(bytes[i]);
    if (c == '"' || c == '\\') {
      out += '\\';
      out += static_cast<char>(c);
    } else if (c >= 0x20 && c < 0x7f) {
      out += static_cast<char>(c);
    } else {
      char hex[8];
      snprintf(hex, sizeof hex, "\\x%02x", c);
      out += hex;
    }
  }
  out += '"';
  if (bytes.size() > limit) out += "... (" + std::to_string(bytes.size()) + " bytes)";
  return out;
}

std::string FormatLine(const std::string &datagram, const timespec &received,
                       const std::string &peer) {
  char millis[8];
  snprintf(millis, sizeof millis, ".%03d", static_cast<int>(received.tv_nsec / 1000000 % 1000));
  std::string line = LocalTime(received.tv_sec, "%Y-%m-%d %H:%M:%S") + millis + " " + peer + " ";

  const Command c = ParseCommand(datagram);
  if (c.ok) {
    if (c.tag != kQorSenderTag) line += "tag=" + c.tag + " ";
    if (c.pairs.size() == 1) {
      line += "device=" + c.pairs[0].device + " channel=" + c.pairs[0].channel;
    } else {
      line += "device-channel=" + c.names + " (ambiguous:";
      for (size_t i = 0; i < c.pairs.size(); i++)
        line += (i == 0 ? " " : " or ") + c.pairs[i].device + "|" + c.pairs[i].channel;
      line += ")";
    }
    line += " " + c.state + " time=" + TimeStampText(c.time_stamp) +
            " clock=" + ClockStampText(c.clock_stamp) + " hash=" + c.hash;
  } else {
    line += "not a command (" + c.problem + "): " + QuoteBytes(datagram);
  }
  return line + " " + VerdictText(VerifyHash(datagram));
}

bool IsVerifiedCommand(const std::string &datagram) {
  return ParseCommand(datagram).ok && VerifyHash(datagram) == 0;
}

ParseResult ParseOptions(const std::vector<std::string> &args, Options *options,
                         std::string *error) {
  Options o;
  ParseRange(kDefaultClockWarning, &o.limits.clock_warning);
  bool thresholds = false;
  for (size_t i = 0; i < args.size(); i++) {
    const std::string &arg = args[i];
    if (arg == "-h" || arg == "--help") return ParseResult::kHelp;
    if (arg == "-V" || arg == "--version") return ParseResult::kVersion;
    if (arg == "--check") {
      o.check = true;
      continue;
    }
    if (arg == "--expect" || arg == "--zone" || arg == "--metrics") {
      if (i + 1 == args.size() || args[i + 1].empty()) {
        *error = "option " + arg + " needs a value";
        return ParseResult::kError;
      }
      (arg == "--expect" ? o.expect : arg == "--zone" ? o.zone : o.metrics) = args[++i];
      continue;
    }
    if (arg.size() < 2 || arg[0] != '-' || strchr("apntHwc", arg[1]) == nullptr) {
      *error = (arg.size() >= 2 && arg[0] == '-' ? "unknown option " : "unexpected argument ") +
               QuoteBytes(arg);
      return ParseResult::kError;
    }
    const char letter = arg[1];
    std::string value;
    if (arg.size() > 2) {
      value = arg.substr(2);
    } else if (i + 1 < args.size()) {
      value = args[++i];
    } else {
      *error = std::string("option -") + letter + " needs a value";
      return ParseResult::kError;
    }
    bool good = false;
    std::string expected;
    switch (letter) {
      case 'a':
      case 'H': {
        in_addr unused;
        good = inet_pton(AF_INET, value.c_str(), &unused) == 1;
        expected = "a dotted IPv4 address";
        if (good) (letter == 'a' ? o.address : o.limits.host) = value;
        break;
      }
      case 'w':
      case 'c':
        good = ParseRange(value, letter == 'w' ? &o.limits.clock_warning
                                               : &o.limits.clock_critical);
        expected = "a range of seconds ([@]START:END, 10, 10:, ~:10)";
        thresholds = true;
        break;
      case 'p': {
        long port = 0;
        good = ParseLong(value, 1, 65535, &port);
        expected = "a port from 1 to 65535";
        if (good) o.port = static_cast<int>(port);
        break;
      }
      case 'n':
        good = ParseLong(value, 1, 1000000000L, &o.count);
        expected = "a count of 1 or more";
        break;
      case 't':
        good = ParseSeconds(value, &o.seconds);
        expected = "a number of seconds above 0";
        break;
    }
    if (!good) {
      *error = std::string("option -") + letter + " wants " + expected + ", not " + QuoteBytes(value);
      return ParseResult::kError;
    }
  }
  if (o.expect.empty() && (o.check || !o.zone.empty())) {
    *error = "options --zone and --check need --expect TIMER_FILE";
    return ParseResult::kError;
  }
  if (o.expect.empty() && thresholds) {
    *error = "options -w and -c need --expect TIMER_FILE";
    return ParseResult::kError;
  }
  if (!o.metrics.empty() && !o.check) {
    *error = "option --metrics needs --check";
    return ParseResult::kError;
  }
  if (o.check && o.seconds == 0) {
    *error = "option --check needs -t SECONDS";
    return ParseResult::kError;
  }
  *options = o;
  return ParseResult::kRun;
}

std::string Synopsis() {
  return "usage: qorlisten [-a ADDRESS] [-p PORT] [-n COUNT] [-t SECONDS] [-H SENDER]\n"
         "                 [--expect TIMER_FILE [--zone ZONE] [-w RANGE] [-c RANGE]\n"
         "                  [--check [--metrics FILE]]] [-h] [-V]\n";
}

std::string Usage() {
  return Synopsis() +
         "Receives qortimer command datagrams and prints one line for each: the\n"
         "local time of receipt, the sender, the device, channel and state, the\n"
         "calendar stamp as local time, the processor-clock stamp in seconds, and\n"
         "whether the hash verifies. It never sends anything.\n"
         "  -a ADDRESS  local IPv4 address to bind (default 0.0.0.0, every interface;\n"
         "              broadcasts reach 0.0.0.0 or the broadcast address itself,\n"
         "              not an interface's own address)\n"
         "  -p PORT     UDP port (default " + std::to_string(kQorPort) + ")\n"
         "  -n COUNT    stop after COUNT datagrams\n"
         "  -t SECONDS  stop after SECONDS (fractions allowed)\n"
         "  -H SENDER   take only datagrams from this IPv4 address, the board's;\n"
         "              the others are shown, never counted or judged\n"
         "  --expect TIMER_FILE\n"
         "              also hold every command to this schedule, read as the daemon\n"
         "              reads it: as scheduled, WRONG STATE, NOT SCHEDULED, CLOCK OFF;\n"
         "              and say when a pair of it goes SILENT or changes LATE\n"
         "  --zone ZONE the board's time zone (tz database name); default: this host's\n"
         "              (only commands tagged QORTIMER, the daemon's; others are\n"
         "              counted as another tag)\n"
         "  -w RANGE    the clock offset's size, in seconds, that warns: outside\n"
         "              RANGE (default 2: more than 2 s ahead or behind)\n"
         "  -c RANGE    the same, critical (default none)\n"
         "  --check     with -t: print one monitoring plugin line at the end and exit\n"
         "              0 OK: every pair heard as scheduled, the offset within -w;\n"
         "              1 WARNING: a late change, a pair not in the file, or the\n"
         "              offset outside -w; 2 CRITICAL: a wrong state, a silent pair,\n"
         "              nothing heard, a bad datagram, or the offset outside -c;\n"
         "              3 UNKNOWN: the check could not judge\n"
         "  --metrics FILE\n"
         "              with --check: also write the check's figures to FILE in\n"
         "              Prometheus' text format, replacing it whole\n"
         "  -h          print this help and exit\n"
         "  -V          print the version and exit\n"
         "Exit status: 0 every datagram was a command whose hash verified; 3 some\n"
         "datagram was not; 4 nothing was received; 1 the socket failed or the\n"
         "timer file is bad; 2 bad command line.\n";
}

std::string Version() { return std::string("qorlisten ") + QOR_VERSION + "\n"; }

}  // namespace qorlisten
