// qorplan: shows what the daemon would do with a timer file, without sending
// anything: each pair's changes over the day, as text or as a picture, or
// each pair's state at one minute, or nothing at all, only checking the
// file (--check, as a service's reload does before the daemon takes it). It
// reads the file with the daemon's own reader, so a bad file gets the
// daemon's messages and status 1, and asks
// the daemon's own qor_is_on about every minute, so the preview cannot
// disagree with the daemon. It is built with no_transport.cpp in place of
// the transport.
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "qorplan_svg.h"
#include "qortimer.h"

namespace {

constexpr char kGap[] = "   ";  // between a pair and each of its states

constexpr char kSynopsis[] = "usage: qorplan [--at HH:MM | --svg | --check] TIMER_FILE\n";

constexpr char kHelp[] =
    "Reads a qortimer timer file as the daemon does and shows what the daemon\n"
    "would send, without sending anything. For each device/channel pair, in\n"
    "the order of the file, it prints the state at 00:00 and every minute of\n"
    "local time at which the state changes, or \"ON all day\" or \"OFF all day\".\n"
    "  --at HH:MM  print each pair's state at that minute instead\n"
    "  --svg       write the day as an SVG picture instead: a row per pair,\n"
    "              a 24-hour axis, the ON stretches as bars\n"
    "  --check     print nothing but the daemon's messages about a bad file\n"
    "  -h          print this help and exit\n"
    "Exit status: 0 the file is good (with a warning when it names no pair);\n"
    "1 the file cannot be read or has a bad line, with the daemon's messages;\n"
    "2 bad command line.\n";

struct Options {
  const char *file = nullptr;
  int at = -1;  // the minute of the day to show, or -1 for the day's plan
  bool svg = false;
  bool check = false;
};

[[noreturn]] void UsageError(const std::string &why) {
  fprintf(stderr, "qorplan: %s\n%s", why.c_str(), kSynopsis);
  exit(2);
}

// "H:MM" or "HH:MM", 00:00 to 23:59, as a minute of the day; -1 otherwise.
int ParseMinute(const std::string &text) {
  const size_t colon = text.find(':');
  if (colon < 1 || colon > 2 || text.size() != colon + 3) return -1;
  for (size_t i = 0; i < text.size(); i++)
    if (i != colon && !isdigit(static_cast<unsigned char>(text[i]))) return -1;
  const int hour = std::stoi(text.substr(0, colon));
  const int minute = std::stoi(text.substr(colon + 1));
  if (hour > 23 || minute > 59) return -1;
  return hour * 60 + minute;
}

Options ParseOptions(int argc, char **argv) {
  Options o;
  for (int i = 1; i < argc; i++) {
    const std::string arg = argv[i];
    if (arg == "-h" || arg == "--help") {
      printf("%s%s", kSynopsis, kHelp);
      exit(0);
    }
    if (arg == "--at") {
      if (i + 1 == argc) UsageError("option --at needs a value HH:MM");
      const std::string value = argv[++i];
      o.at = ParseMinute(value);
      if (o.at < 0)
        UsageError("option --at wants a time from 00:00 to 23:59, not \"" + value + "\"");
    } else if (arg == "--svg") {
      o.svg = true;
    } else if (arg == "--check") {
      o.check = true;
    } else if (arg[0] == '-') {
      UsageError("unknown option \"" + arg + "\"");
    } else if (o.file != nullptr) {
      UsageError("more than one timer file");
    } else {
      o.file = argv[i];
    }
  }
  if (o.file == nullptr) UsageError("no timer file given");
  if (o.svg + (o.at >= 0) + o.check > 1)
    UsageError("options --at, --svg and --check do not go together");
  return o;
}

const char *StateWord(int state) { return state ? kQorStateOn : kQorStateOff; }

std::string StateFrom(int state, int minute) {
  char text[32];  // "OFF 23:59", with room for any int the compiler cannot rule out
  snprintf(text, sizeof text, "%s %02d:%02d", StateWord(state), minute / 60, minute % 60);
  return text;
}

// The state at every minute of the day, as the daemon evaluates it.
PlanDay DayOf(const qor_timer *timers) {
  PlanDay day;
  for (int minute = 0; minute < kPlanMinutes; minute++)
    day[minute] = qor_is_on(minute / 60, minute % 60, timers);
  return day;
}

// The state at 00:00 and at every minute at which it changes.
std::string DayPlan(const PlanDay &day) {
  int state = day[0];
  std::string plan = StateFrom(state, 0);
  bool changes = false;
  for (int minute = 1; minute < kPlanMinutes; minute++) {
    const int now = day[minute];
    if (now == state) continue;
    state = now;
    changes = true;
    plan += kGap + StateFrom(state, minute);
  }
  return changes ? plan : std::string(StateWord(state)) + " all day";
}

}  // namespace

int main(int argc, char **argv) {
  const Options options = ParseOptions(argc, argv);
  static qor_context qor;  // static: 4 KiB of buffers stay off the stack
  // Cut to 2047 characters, as the daemon cuts its path.
  snprintf(qor.infile, sizeof qor.infile, "%s", options.file);
  qor_open_timer_file(&qor);
  qor_read_file(&qor);

  if (qor.entries == nullptr)
    fprintf(stderr, "qorplan: warning: %s names no device/channel pair; the daemon would send "
                    "nothing\n", qor.infile);
  if (options.check) return 0;
  if (options.svg) {
    std::vector<PlanRow> rows;
    for (const qor_entry *e = qor.entries; e != nullptr; e = e->next)
      rows.push_back({std::string(e->device) + " " + e->channel, DayOf(e->timers)});
    fputs(PlanSvg(std::string("qorplan: ") + qor.infile, rows).c_str(), stdout);
    return 0;
  }
  for (const qor_entry *e = qor.entries; e != nullptr; e = e->next) {
    const std::string what =
        options.at < 0 ? DayPlan(DayOf(e->timers))
                       : StateWord(qor_is_on(options.at / 60, options.at % 60, e->timers));
    printf("%s %s%s%s\n", e->device, e->channel, kGap, what.c_str());
  }
  return 0;
}
