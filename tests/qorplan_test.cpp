// qorplan through its binary: plans, pictures and states at one minute
// against the daemon's own evaluation, and bad files against the daemon
// itself. (That it holds no socket call is checked by the build, after
// linking it.)
#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <sstream>
#include <string>
#include <vector>

#include "qortimer.h"
#include "test_util.h"

namespace {

using qortest::RunResult;

// Runs `argv` in a directory holding `timers` as t.txt.
RunResult RunIn(const std::vector<std::string> &argv, const std::string &timers) {
  qortest::TempDir dir;
  qortest::WriteFile(dir.File("t.txt"), timers);
  qortest::RunOptions options;
  options.cwd = dir.path();
  return qortest::RunBinary(argv, options);
}

// Every minute of the day as '1' (ON) or '0' (OFF), from a plan line.
std::string DayOfPlan(const std::string &line) {
  std::istringstream in(line);
  std::string device, channel, state, when, day;
  in >> device >> channel;
  char current = '?';
  while (in >> state >> when) {
    day.resize(when == "all" ? 0 : std::stoul(when) * 60 + std::stoul(when.substr(3)), current);
    current = state == "ON" ? '1' : '0';
    if (when == "all") in >> when;  // "all day"
  }
  day.resize(24 * 60, current);
  return day;
}

// The number in attribute `name` of one element's line of a picture.
double Attribute(const std::string &line, const std::string &name) {
  const size_t at = line.find(" " + name + "=\"");
  return at == std::string::npos ? NAN : strtod(line.c_str() + at + name.size() + 3, nullptr);
}

// Every minute of the day as '1' (ON) or '0' (OFF) for each row of a --svg
// picture, from where its bars lie on its day's track.
std::vector<std::string> DaysOfPicture(const std::string &svg) {
  std::vector<std::string> days;
  double left = NAN, per_minute = NAN;
  std::istringstream in(svg);
  for (std::string line; std::getline(in, line);) {
    if (line.rfind("<rect class=\"day\"", 0) == 0) {
      left = Attribute(line, "x");
      per_minute = Attribute(line, "width") / (24 * 60);
      days.emplace_back(24 * 60, '0');
    } else if (line.rfind("<rect class=\"on\"", 0) == 0) {
      const double from = (Attribute(line, "x") - left) / per_minute;
      const double to = from + Attribute(line, "width") / per_minute;
      if (days.empty() || !(0 <= from && from < to && to <= 24 * 60)) {
        ADD_FAILURE() << "a bar off its day: " << line;
        continue;
      }
      for (long m = lround(from); m < lround(to); m++) days.back()[m] = '1';
    }
  }
  return days;
}

// Runs xmllint on `xml` with `args`.
RunResult Xmllint(std::vector<std::string> args, const std::string &xml) {
  args.insert(args.begin(), "xmllint");
  args.push_back("-");
  qortest::RunOptions options;
  options.stdin_data = xml;
  return qortest::RunBinary(args, options);
}

struct DayCase {
  const char *name;
  std::string timers;
  const char *at;    // a minute for --at
  const char *plan;  // the exact output, where pinned
  const char *labels = nullptr;  // the picture's names, a line each, if not "DEVICE CHANNEL"
};
void PrintTo(const DayCase &c, std::ostream *os) { *os << c.name; }

class QorplanDay : public ::testing::TestWithParam<DayCase> {};

TEST_P(QorplanDay, PlanPictureAndStateAtAMinuteAreTheDaemonsEvaluation) {
  const DayCase &c = GetParam();
  const RunResult r = RunIn({QORPLAN_BINARY, "t.txt"}, c.timers);
  const RunResult at = RunIn({QORPLAN_BINARY, "--at", c.at, "t.txt"}, c.timers);
  const RunResult svg = RunIn({QORPLAN_BINARY, "--svg", "t.txt"}, c.timers);
  const RunResult check = RunIn({QORPLAN_BINARY, "--check", "--whole", "t.txt"}, c.timers);
  ASSERT_TRUE(r.status == 0 && at.status == 0 && svg.status == 0 && check.status == 0)
      << r.err << at.err << svg.err << check.err;
  EXPECT_EQ(check.out, "");
  if (c.plan != nullptr) {
    EXPECT_EQ(r.out, c.plan);
  }
  static qor_context qor;
  qor.entries = nullptr;
  qor.timer_stream = fmemopen(const_cast<char *>(c.timers.data()), c.timers.size(), "r");
  ASSERT_FALSE(qor_read_timers(&qor));
  fclose(qor.timer_stream);
  // Only a schedule without pairs draws a word: a warning.
  const std::string warning =
      qor.entries ? "" : "qorplan: warning: t.txt names no device/channel pair; the daemon "
                         "would send nothing\n";
  EXPECT_EQ(r.err + at.err + svg.err + check.err, warning + warning + warning + warning);
  const RunResult lint = Xmllint({"--noout"}, svg.out);
  EXPECT_TRUE(lint.status == 0 && lint.err.empty()) << lint.err;
  const std::vector<std::string> pictured = DaysOfPicture(svg.out);
  std::istringstream labels(c.labels ? c.labels : "");
  const int hour = atoi(c.at), minute = atoi(strchr(c.at, ':') + 1);
  std::istringstream plans(r.out), states(at.out);
  std::string plan, state;
  size_t row = 0;
  for (const qor_entry *e = qor.entries; e != nullptr; e = e->next, row++) {
    const std::string pair = std::string(e->device) + " " + e->channel + "   ";
    ASSERT_TRUE(std::getline(plans, plan) && std::getline(states, state)) << pair;
    EXPECT_EQ(plan.rfind(pair, 0), 0u) << plan;
    std::string day;
    for (int m = 0; m < 24 * 60; m++) day += qor_is_on(m / 60, m % 60, e->timers) ? '1' : '0';
    EXPECT_EQ(DayOfPlan(plan), day) << plan;
    EXPECT_EQ(state, pair + (qor_is_on(hour, minute, e->timers) ? "ON" : "OFF"));
    ASSERT_LT(row, pictured.size()) << pair;
    EXPECT_EQ(pictured[row], day) << pair;
    std::string label = std::string(e->device) + " " + e->channel;
    if (c.labels) std::getline(labels, label);
    const std::string path = "(//*[local-name()='g'][@class='pair']/*[local-name()='text'])";
    std::string shown =
        Xmllint({"--xpath", "string(" + path + "[" + std::to_string(row + 1) + "])"}, svg.out).out;
    if (!shown.empty() && shown.back() == '\n') shown.pop_back();  // xmllint's own line end
    EXPECT_EQ(shown, label);
  }
  EXPECT_EQ(pictured.size(), row);
  EXPECT_FALSE(std::getline(plans, plan) || std::getline(states, state)) << plan << state;
}

INSTANTIATE_TEST_SUITE_P(
    Schedules, QorplanDay,
    ::testing::Values(
        DayCase{"Example", qortest::ReadFile(QOR_SOURCE_DIR "/examples/timers.txt"), "22:01",
                "porch lamp   OFF 00:00   ON 05:01   OFF 07:00   ON 18:01   OFF 23:00\n"
                "boiler heater   ON 00:00   OFF 06:00   ON 22:01\n"
                "garden pump   OFF 00:00   ON 20:01\n"
                "office fan   OFF 00:00   ON 08:01   OFF 17:00\n"},
        DayCase{"WithinADayAndPastMidnight", "lamp 1 0800 0900\nheater x 2200 0600\n", "8:00",
                nullptr},
        DayCase{"EqualEnds", "fan 1 1200 1200\nfan 2 0000 0000\nfan 3 2400 2400\n", "12:00",
                nullptr},
        DayCase{"Ends2400", "pump 1 2000 2400\npump 2 2400 0600\npump 3 0000 2400\n", "0:00",
                nullptr},
        DayCase{"OverlappingAndSeveralLines",
                "fan 1 0800 1200\nlamp 1 1800 2300\nfan 1 1130 1700\nlamp 1 0500 0700\n", "16:59",
                nullptr},
        DayCase{"NeverChanges", "off 1 0800 0801\non 1 0000 0000\non 1 2359 0001\n", "23:59",
                "off 1   OFF all day\non 1   ON all day\n"},
        DayCase{"NoPairs", "# nothing to switch\n", "0:00", ""},
        // Names are any bytes but white space; the picture is well-formed XML.
        DayCase{"NamesOfAnyBytes",
                "<a&b> \"c'd\" 0800 0900\n"
                "\xff\x01\xc3 \xed\xa0\x80\xef\xbf\xbe\xc3\xa9 2200 0600\n",
                "8:30", nullptr,
                "<a&b> \"c'd\"\n"
                "\\xff\\x01\\xc3 \\xed\\xa0\\x80\\xef\\xbf\\xbe\xc3\xa9\n"}),
    [](const auto &info) { return std::string(info.param.name); });

// The README shows the example's picture as qorplan draws it now.
TEST(QorplanPicture, InTheDocsIsTheExamplesOwn) {
  qortest::RunOptions options;
  options.cwd = QOR_SOURCE_DIR;
  const RunResult r =
      qortest::RunBinary({QORPLAN_BINARY, "--svg", "examples/timers.txt"}, options);
  EXPECT_EQ(r.out, qortest::ReadFile(QOR_SOURCE_DIR "/docs/example-plan.svg"))
      << "redraw it: qorplan --svg examples/timers.txt >docs/example-plan.svg";
}

// --whole refuses, in the daemon's words, what a save cut short leaves,
// which the start-up reader takes.
TEST(QorplanWhole, RefusesAFileEmptyOrEndingMidLine) {
  for (const auto &[timers, what] : {std::make_pair("", "is empty"),
                                     std::make_pair("lamp 1 0800 09", "ends mid-line")}) {
    const RunResult whole = RunIn({QORPLAN_BINARY, "--check", "--whole", "t.txt"}, timers);
    EXPECT_EQ(whole.status, 1) << what;
    EXPECT_EQ(whole.err, std::string(" *** WARNING: Timer file (t.txt) ") + what +
                             ", a save cut short or in progress; the schedule stays as it was\n");
    EXPECT_EQ(RunIn({QORPLAN_BINARY, "--check", "t.txt"}, timers).status, 0) << what;
  }
}

class QorplanBadFile
    : public ::testing::TestWithParam<std::pair<const char *, const char *>> {};

TEST_P(QorplanBadFile, GetsTheDaemonsMessagesAndStatus) {
  REQUIRE_PRIVATE_NETNS();  // the daemon opens its socket before reading
  std::vector<std::string> daemon = qortest::DaemonCommand();
  daemon.push_back(GetParam().first);
  const RunResult d = RunIn(daemon, GetParam().second);
  EXPECT_EQ(d.status, 1);
  const std::vector<std::string> text = {QORPLAN_BINARY, GetParam().first};
  const std::vector<std::string> picture = {QORPLAN_BINARY, "--svg", GetParam().first};
  const std::vector<std::string> check = {QORPLAN_BINARY, "--check", GetParam().first};
  for (const auto &argv : {text, picture, check}) {
    const RunResult plan = RunIn(argv, GetParam().second);
    EXPECT_EQ(plan.status, 1) << argv[1];
    EXPECT_EQ(plan.err, d.err) << argv[1];
    EXPECT_EQ(plan.out, "") << argv[1];
  }
}

INSTANTIATE_TEST_SUITE_P(Files, QorplanBadFile,
                         ::testing::Values(std::make_pair("t.txt", "lamp 1 0800\nlamp 1 2470 9\n"),
                                           std::make_pair("missing.txt", ""),
                                           std::make_pair(".", "")));

}  // namespace
