// qorplan: shows what the daemon would do with a timer file, without sending
// anything: each pair's changes over the day, as text or as a picture, or
// each pair's state at one minute, or nothing at all, only checking the
// file (--check). With --whole it also refuses a file that is empty or ends
// mid-line, as the running daemon does (the service's reload checks with
// both before the daemon takes the file). It reads the file with the
// daemon's own reader, so a bad file gets the daemon's messages and status
// 1, and asks
// the daemon's own qor_is_on about every minute, so the preview cannot
// disagree with the daemon. It is built with no_transport.cpp in place of
// the transport.
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "qorplan_svg.h"
#include "qor_whole.h"
#include "qortimer.h"

namespace {

constexpr char kGap[] = "   ";  // between a pair and each of its states

constexpr char kSynopsis[] =
    "usage: qorplan [--whole] [--at HH:MM | --svg | --check] TIMER_FILE\n";

constexpr char kHelp[] =
    "Reads a qortimer timer file as the daemon does and shows what the daemon\n"
    "would send, without sending anything. For each device/channel pair, in\n"
    "the order of the file, it prints the state at 00:00 and every minute of\n"
    "local time at which the state changes, or \"ON all day\" or \"OFF all day\".\n"
    "  --at HH:MM  print each pair's state at that minute instead\n"
    "  --svg       write the day as an SVG picture instead: a row per pair,\n"
    "              a 24-hour axis, the ON stretches as bars\n"
    "  --check     print nothing but the daemon's messages about a bad file\n"
    "  --whole     also refuse a file that is empty or ends mid-line, as a\n"
    "              save cut short leaves it and the running daemon refuses it\n"
    "  -h          print this help and exit\n"
    "Exit status: 0 the file is good (with a warning when it names no pair);\n"
    "1 the file cannot be read or has a bad line (with --whole: or is not\n"
    "whole), with the daemon's messages;\n"
    "2 bad command line.\n";

struct Options {
  const char *file = nullptr;
  int at = -1;  // the minute of the day to show, or -1 for the day's plan
  bool svg = false;
  bool check = false;
  bool whole = false;
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
    } else if (arg == "--whole") {
      o.whole = true;
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

// With --whole: reads the open timer file into memory and ends with status
// 1, saying so as the daemon does, unless it is whole; the reader then reads
// what was checked. A read error is left to the reader to report.
void RequireWhole(qor_context *qor, std::string *text) {
  char block[16384];
  for (size_t n; (n = fread(block, 1, sizeof block, qor->timer_stream)) > 0;)
    text->append(block, n);
  if (ferror(qor->timer_stream)) return;
  const qor_text_cut cut = qor_text_cut_of(text->data(), text->size());
  if (cut != kQorTextWhole) {
    qor_say_text_cut(qor->infile, cut);
    exit(1);
  }
  fclose(qor->timer_stream);
  qor->timer_stream = fmemopen(&(*text)[0], text->size(), "r");
  if (qor->timer_stream == nullptr) qor_open_timer_file(qor);
}

}  // namespace

int main(int argc, char **argv) {
  const Options options = ParseOptions(argc, argv);
  static qor_context qor;  // static: 4 KiB of buffers stay off the stack
  // Cut to 2047 characters, as the daemon cuts its path.
  snprintf(qor.infile, sizeof qor.infile, "%s", options.file);
  qor_open_timer_file(&qor);
  std::string text;
  if (options.whole) RequireWhole(&qor, &text);
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
