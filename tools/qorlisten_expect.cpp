// qorlisten's schedule check: verdicts on commands, silence and late
// changes, and the monitoring plugin's line.
#include "qorlisten_expect.h"

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace qorlisten {

namespace {

constexpr char kPluginName[] = "QORTIMER";
constexpr const char *kStatusWords[] = {"OK", "WARNING", "CRITICAL", "UNKNOWN"};
constexpr size_t kNamesShown = 5;  // pairs named for one fault in a check's line
constexpr time_t kMinute = 60;
// A clock that jumps farther than this between two calls looks back no
// further for change minutes.
constexpr time_t kLookBack = 3600;

std::string Key(const std::string &device, const std::string &channel) {
  return device + '\0' + channel;
}

time_t Floor(double seconds) { return static_cast<time_t>(std::floor(seconds)); }

std::string Format(const char *format, double value) {
  char text[64];
  snprintf(text, sizeof text, format, value);
  return text;
}

// An offset to the tenth of a second, without a sign on zero.
double Tenths(double seconds) {
  const double rounded = std::round(seconds * 10) / 10;
  return rounded == 0 ? 0 : rounded;
}

// A stamp holds the low 32 bits of the sender's calendar time: the full
// time is the one nearest the receipt that ends in them.
time_t FullStamp(uint32_t stamp, double received) {
  const time_t r = Floor(received);
  const auto low = static_cast<uint32_t>(static_cast<uint64_t>(r));
  return r + static_cast<int32_t>(stamp - low);
}

// The pair's state at calendar time `t`, as the daemon evaluates it.
int StateAt(const qor_timer *timers, time_t t) {
  tm local{};
  localtime_r(&t, &local);
  return qor_is_on(local.tm_hour, local.tm_min, timers);
}

const char *StateWord(int state) { return state ? kQorStateOn : kQorStateOff; }

WatchedPair *Find(Watch *w, const Command &c) {
  for (const Pair &p : c.pairs) {
    const auto found = w->index.find(Key(p.device, p.channel));
    if (found != w->index.end()) return &w->pairs[found->second];
  }
  return nullptr;
}

// Says LATE for each pair whose awaited change is overdue at `now`.
void SayLate(Watch *w, time_t now, std::vector<std::string> *events) {
  for (WatchedPair &p : w->pairs) {
    if (p.change_minute < 0 ||
        static_cast<double>(now) < static_cast<double>(p.change_minute) + kChangeWithin)
      continue;
    tm local{};
    localtime_r(&p.change_minute, &local);
    char minute[16];
    strftime(minute, sizeof minute, "%H:%M", &local);
    events->push_back(p.name + " LATE: no " + StateWord(p.change_state) + " within " +
                      Format("%.0f", kChangeWithin) + " s of " + minute);
    p.change_minute = -1;
    p.was_late = true;
    w->tally.late++;
  }
}

std::string NameList(const std::vector<std::string> &names) {
  std::string list;
  for (size_t i = 0; i < names.size() && i < kNamesShown; i++)
    list += (i == 0 ? "" : ", ") + names[i];
  if (names.size() > kNamesShown)
    list += " and " + std::to_string(names.size() - kNamesShown) + " more";
  return list;
}

// The pairs of the file for which `test` holds.
template <typename Test>
std::vector<std::string> PairsWhere(const Watch &w, Test test) {
  std::vector<std::string> names;
  for (const WatchedPair &p : w.pairs)
    if (test(p)) names.push_back(p.name);
  return names;
}

// The performance data: the clock offset in seconds with the thresholds in
// force, undetermined (U) when no command was judged; counts with minimum 0.
std::string Perfdata(const Watch &w) {
  const Tally &t = w.tally;
  const auto count = [](const char *label, long value) {
    return std::string(label) + "=" + std::to_string(value) + ";;;0";
  };
  const std::string offset = t.heard > 0 ? Format("%.1f", Tenths(t.worst_offset)) + "s" : "U";
  return count("heard", t.heard) + " " + count("wrong", t.wrong) + " " +
         count("silent", t.silent) + " " + count("late", t.late) + " clock_off=" + offset + ";" +
         w.limits.clock_warning.text + ";" + w.limits.clock_critical.text + " " +
         count("unscheduled", t.unscheduled) + " " + count("bad", t.bad) + " " +
         count("other_tag", t.other_tag) + " " + count("other_host", t.other_host);
}

// A label value in Prometheus' text format: backslash, double quote and
// line end escaped.
std::string LabelValue(const std::string &text) {
  std::string out;
  for (char c : text) {
    if (c == '\\' || c == '"' || c == '\n') out += '\\';
    out += c == '\n' ? 'n' : c;
  }
  return out;
}

}  // namespace

Watch StartWatch(const qor_entry *entries, double started, const Limits &limits) {
  Watch w;
  w.started = w.now = started;
  w.limits = limits;
  for (const qor_entry *e = entries; e != nullptr; e = e->next) {
    w.index.emplace(Key(e->device, e->channel), w.pairs.size());
    WatchedPair p;
    p.name = std::string(e->device) + kQorSeparator + e->channel;
    p.device = e->device;
    p.channel = e->channel;
    p.timers = e->timers;
    p.last_heard = started;
    w.pairs.push_back(p);
  }
  return w;
}

std::vector<std::string> Advance(Watch *w, double now) {
  std::vector<std::string> events;
  if (now <= w->now) return events;
  // Minutes begin at whole minutes of calendar time in every zone of
  // today's tz database, so a change can only come at one of them.
  time_t minute = (Floor(w->now) / kMinute + 1) * kMinute;
  const time_t end = Floor(now);
  if (end - minute > kLookBack) minute = (end - kLookBack) / kMinute * kMinute;
  for (; minute <= end; minute += kMinute) {
    SayLate(w, minute, &events);
    for (WatchedPair &p : w->pairs) {
      const int state = StateAt(p.timers, minute);
      if (state != StateAt(p.timers, minute - 1)) {
        p.change_minute = minute;
        p.change_state = state;
      }
    }
  }
  SayLate(w, end, &events);
  for (WatchedPair &p : w->pairs) {
    if (p.silent || now - p.last_heard <= kSilentAfter) continue;
    events.push_back(p.name + " SILENT: not heard for " + Format("%.0f", now - p.last_heard) +
                     " s");
    p.silent = p.was_silent = true;
    w->tally.silent++;
  }
  w->now = now;
  return events;
}

double ClockOffset(time_t stamp, double received) {
  const auto second = static_cast<double>(stamp);
  if (received < second) return second - received;
  return received < second + 1 ? 0 : second + 1 - received;
}

std::string Judge(Watch *w, const Command &c, double received) {
  Tally &t = w->tally;
  t.heard++;
  const time_t stamp = FullStamp(c.time_stamp, received);
  const double offset = ClockOffset(stamp, received);
  if (std::fabs(offset) > std::fabs(t.worst_offset)) t.worst_offset = offset;

  std::string verdict;
  WatchedPair *p = Find(w, c);
  if (p == nullptr) {
    verdict = "NOT SCHEDULED";
    t.unscheduled++;
    bool known = false;
    for (const std::string &n : t.unscheduled_names) known = known || n == c.names;
    if (!known) t.unscheduled_names.push_back(c.names);
  } else {
    const int state = c.state == kQorStateOn ? 1 : 0;
    const int expected = StateAt(p->timers, stamp);
    if (state == expected) {
      verdict = "as scheduled";
      t.as_scheduled++;
    } else {
      verdict = std::string("WRONG STATE (schedule: ") + StateWord(expected) + ")";
      t.wrong++;
      p->was_wrong = true;
    }
    if (p->change_minute >= 0 && state == p->change_state) p->change_minute = -1;
    if (p->silent)
      verdict += ", heard again after " + Format("%.0f", received - p->last_heard) + " s";
    p->silent = false;
    p->heard = true;
    p->last_heard = received;
    p->last_state = state;
  }
  const Limits &l = w->limits;
  if (Alerts(l.clock_warning, std::fabs(offset)) || Alerts(l.clock_critical, std::fabs(offset))) {
    verdict += ", CLOCK OFF by " + Format("%+.1f", Tenths(offset)) + " s";
    t.clock_off++;
  }
  return verdict;
}

Hearing Hear(Watch *w, const std::string &datagram, const std::string &sender, double received,
             bool judging) {
  Tally &t = w->tally;
  if (!w->limits.host.empty() && sender != w->limits.host) {
    t.other_host++;
    return {Kind::kOtherHost, "not counted: not from " + w->limits.host};
  }
  if (!IsVerifiedCommand(datagram)) {
    t.bad++;
    return {Kind::kBad, ""};
  }
  const Command c = ParseCommand(datagram);
  if (c.tag != kQorSenderTag) {
    t.other_tag++;
    return {Kind::kOtherTag, judging ? "not judged: tag " + c.tag : ""};
  }
  return {Kind::kBoard, judging ? Judge(w, c, received) : ""};
}

std::string Summary(const Tally &t) {
  return "qorlisten: " + std::to_string(t.as_scheduled) + " as scheduled, " +
         std::to_string(t.wrong) + " WRONG STATE, " + std::to_string(t.unscheduled) +
         " NOT SCHEDULED, " + std::to_string(t.clock_off) + " CLOCK OFF, " +
         std::to_string(t.silent) + " SILENT, " + std::to_string(t.late) + " LATE";
}

std::string PluginLine(CheckStatus status, const std::string &text, const std::string &perfdata) {
  std::string line = std::string(kPluginName) + " " + kStatusWords[status] + " - " + text;
  return perfdata.empty() ? line : line + " | " + perfdata;
}

CheckResult CheckVerdict(const Watch &w, double seconds, const std::string &where) {
  const Tally &t = w.tally;
  std::vector<std::string> critical, warning, unknown;
  const auto add = [](std::vector<std::string> *to, const std::string &what,
                      const std::vector<std::string> &names) {
    if (!names.empty()) to->push_back(what + " " + NameList(names));
  };
  if (t.heard == 0 && t.bad == 0) {
    critical.push_back("NOTHING HEARD on " + where + " in " + Format("%.0f", seconds) + " s");
  } else {
    if (t.bad > 0) critical.push_back(std::to_string(t.bad) + " DATAGRAMS FAILED VERIFICATION");
    add(&critical, "WRONG STATE", PairsWhere(w, [](const WatchedPair &p) { return p.was_wrong; }));
    add(&critical, "SILENT", PairsWhere(w, [](const WatchedPair &p) { return p.was_silent; }));
    add(&warning, "LATE", PairsWhere(w, [](const WatchedPair &p) { return p.was_late; }));
    const double size = std::fabs(t.worst_offset);
    const std::string clock = "CLOCK OFF by " + Format("%+.1f", Tenths(t.worst_offset)) + " s";
    if (t.heard > 0 && Alerts(w.limits.clock_critical, size))
      critical.push_back(clock);
    else if (t.heard > 0 && Alerts(w.limits.clock_warning, size))
      warning.push_back(clock);
    add(&warning, "NOT SCHEDULED", t.unscheduled_names);
    add(&unknown, "NOT HEARD",
        PairsWhere(w, [](const WatchedPair &p) { return !p.heard && !p.was_silent; }));
    if (!unknown.empty())
      unknown.back() += " (a check longer than " + Format("%.0f", kSilentAfter) +
                        " s hears every pair)";
  }

  CheckStatus status = kCheckOk;
  std::string text;
  for (const auto &[level, faults] : {std::make_pair(kCheckUnknown, &unknown),
                                      std::make_pair(kCheckWarning, &warning),
                                      std::make_pair(kCheckCritical, &critical)}) {
    if (faults->empty()) continue;
    status = level;
    std::string joined;
    for (const std::string &f : *faults) joined += (joined.empty() ? "" : "; ") + f;
    text = text.empty() ? joined : joined + "; " + text;
  }
  if (status == kCheckOk)
    text = std::to_string(w.pairs.size()) + (w.pairs.size() == 1 ? " pair" : " pairs") +
           " as scheduled";
  return {status, PluginLine(status, text, Perfdata(w))};
}

std::string Metrics(const Watch &w, CheckStatus status) {
  const Tally &t = w.tally;
  std::string out;
  const std::string board = w.limits.host.empty() ? "" : "board=\"" + w.limits.host + "\"";
  const auto family = [&out](const char *name, const char *help) {
    out += std::string("# HELP ") + name + " " + help + "\n# TYPE " + name + " gauge\n";
  };
  const auto sample = [&out, &board](const char *name, const std::string &labels,
                                     const std::string &value) {
    std::string all = board;
    if (!labels.empty()) all += (all.empty() ? "" : ",") + labels;
    out += name + (all.empty() ? "" : "{" + all + "}") + " " + value + "\n";
  };
  // Labels in the order of their names, as Prometheus itself writes them.
  const auto pair_labels = [](const WatchedPair &p) {
    return "channel=\"" + LabelValue(p.channel) + "\",device=\"" + LabelValue(p.device) + "\"";
  };
  family("qortimer_pair_on", "State of the pair as last heard from the board, 1 ON, 0 OFF.");
  for (const WatchedPair &p : w.pairs)
    if (p.heard) sample("qortimer_pair_on", pair_labels(p), std::to_string(p.last_state));
  family("qortimer_pair_last_heard_age_seconds",
         "Seconds from the pair's last command to the end of the check, or from its start.");
  for (const WatchedPair &p : w.pairs)
    sample("qortimer_pair_last_heard_age_seconds", pair_labels(p),
           Format("%.3f", w.now - p.last_heard));
  family("qortimer_check_verdicts", "Commands, datagrams and pair events of the check, by verdict.");
  for (const auto &[verdict, count] :
       {std::make_pair("as_scheduled", t.as_scheduled), std::make_pair("wrong_state", t.wrong),
        std::make_pair("not_scheduled", t.unscheduled), std::make_pair("clock_off", t.clock_off),
        std::make_pair("silent", t.silent), std::make_pair("late", t.late),
        std::make_pair("bad", t.bad), std::make_pair("other_tag", t.other_tag),
        std::make_pair("other_host", t.other_host)})
    sample("qortimer_check_verdicts", std::string("verdict=\"") + verdict + "\"",
           std::to_string(count));
  family("qortimer_clock_offset_seconds",
         "The board's clock ahead of the listener's, largest of the check; NaN if none heard.");
  sample("qortimer_clock_offset_seconds", "",
         t.heard > 0 ? Format("%.1f", Tenths(t.worst_offset)) : "NaN");
  family("qortimer_check_status", "The check's status: 0 OK, 1 WARNING, 2 CRITICAL, 3 UNKNOWN.");
  sample("qortimer_check_status", "", std::to_string(static_cast<int>(status)));
  return out;
}

bool UseZone(const std::string &zone, std::string *error) {
  const char *tzdir = getenv("TZDIR");
  const std::string dir = tzdir != nullptr && *tzdir != '\0' ? tzdir : "/usr/share/zoneinfo";
  // A name within the database: no absolute path, no way out of it.
  bool found = !zone.empty() && zone[0] != '/' && zone.find("..") == std::string::npos;
  if (found) {
    FILE *f = fopen((dir + "/" + zone).c_str(), "rb");
    char magic[4] = {};
    found = f != nullptr && fread(magic, 1, sizeof magic, f) == sizeof magic &&
            memcmp(magic, "TZif", sizeof magic) == 0;
    if (f != nullptr) fclose(f);
  }
  if (!found) {
    *error = "no time zone \"" + zone + "\" in " + dir;
    return false;
  }
  setenv("TZ", zone.c_str(), 1);
  tzset();
  return true;
}

}  // namespace qorlisten
