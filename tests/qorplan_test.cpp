// qorplan through its binary: each plan line against the daemon's own
// evaluation, bad files against the daemon itself, and the command line.
#include <gtest/gtest.h>

#include <cstdio>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "qortimer.h"
#include "test_util.h"

namespace {

using qortest::RunResult;

// Runs `argv` followed by `args` in a directory holding `timers` as t.txt.
RunResult RunIn(std::vector<std::string> argv, const std::vector<std::string> &args,
              const std::string &timers) {
  qortest::TempDir dir;
  qortest::WriteFile(dir.File("t.txt"), timers);
  qortest::RunOptions options;
  options.cwd = dir.path();
  argv.insert(argv.end(), args.begin(), args.end());
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

std::string DayOfDaemon(const qor_timer *timers) {
  std::string day;
  for (int m = 0; m < 24 * 60; m++) day += qor_is_on(m / 60, m % 60, timers) ? '1' : '0';
  return day;
}

struct DayCase {
  const char *name;
  std::string timers;
  const char *plan;  // the exact output, where pinned
};
void PrintTo(const DayCase &c, std::ostream *os) { *os << c.name; }

class QorplanDay : public ::testing::TestWithParam<DayCase> {};

TEST_P(QorplanDay, EachPairChangesExactlyWhereTheDaemonsEvaluationDoes) {
  const DayCase &c = GetParam();
  const RunResult r = RunIn({QORPLAN_BINARY}, {"t.txt"}, c.timers);
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.err, "");
  if (c.plan != nullptr) {
    EXPECT_EQ(r.out, c.plan);
  }

  static qor_context qor;
  qor.entries = nullptr;
  qor.timer_stream = fmemopen(const_cast<char *>(c.timers.data()), c.timers.size(), "r");
  ASSERT_FALSE(qor_read_timers(&qor));
  fclose(qor.timer_stream);
  std::istringstream out(r.out);
  std::string line;
  for (const qor_entry *e = qor.entries; e != nullptr; e = e->next) {
    ASSERT_TRUE(std::getline(out, line)) << "no line for " << e->device;
    EXPECT_EQ(line.rfind(std::string(e->device) + " " + e->channel + "   ", 0), 0u) << line;
    EXPECT_EQ(DayOfPlan(line), DayOfDaemon(e->timers)) << line;
  }
  EXPECT_FALSE(std::getline(out, line)) << line;
}

INSTANTIATE_TEST_SUITE_P(
    Schedules, QorplanDay,
    ::testing::Values(
        DayCase{"Example", qortest::ReadFile(QOR_EXAMPLE_TIMERS),
                "porch lamp   OFF 00:00   ON 05:01   OFF 07:00   ON 18:01   OFF 23:00\n"
                "boiler heater   ON 00:00   OFF 06:00   ON 22:01\n"
                "garden pump   OFF 00:00   ON 20:01\n"
                "office fan   OFF 00:00   ON 08:01   OFF 17:00\n"},
        DayCase{"WithinADayAndPastMidnight", "lamp 1 0800 0900\nheater x 2200 0600\n", nullptr},
        DayCase{"EqualEnds", "fan 1 1200 1200\nfan 2 0000 0000\nfan 3 2400 2400\n", nullptr},
        DayCase{"Ends2400", "pump 1 2000 2400\npump 2 2400 0600\npump 3 0000 2400\n", nullptr},
        DayCase{"OverlappingAndSeveralLines",
                "fan 1 0800 1200\nlamp 1 1800 2300\nfan 1 1130 1700\nlamp 1 0500 0700\n", nullptr},
        DayCase{"NeverChanges", "off 1 0800 0801\non 1 0000 0000\non 1 2359 0001\n",
                "off 1   OFF all day\non 1   ON all day\n"}),
    [](const auto &info) { return std::string(info.param.name); });

class QorplanBadFile
    : public ::testing::TestWithParam<std::pair<const char *, const char *>> {};

TEST_P(QorplanBadFile, GetsTheDaemonsMessagesAndStatus) {
  REQUIRE_PRIVATE_NETNS();  // the daemon opens its socket before reading
  const RunResult plan = RunIn({QORPLAN_BINARY}, {GetParam().first}, GetParam().second);
  const RunResult daemon =
      RunIn(qortest::DaemonCommand(), {GetParam().first}, GetParam().second);
  EXPECT_EQ(plan.status, 1);
  EXPECT_EQ(daemon.status, 1);
  EXPECT_EQ(plan.err, daemon.err);
  EXPECT_NE(plan.err, "");
  EXPECT_EQ(plan.out, "");
}

INSTANTIATE_TEST_SUITE_P(Files, QorplanBadFile,
                         ::testing::Values(std::make_pair("t.txt", "lamp 1 0800\nlamp 1 2470 9\n"),
                                           std::make_pair("missing.txt", ""),
                                           std::make_pair(".", "")));

struct ArgsCase {
  std::vector<std::string> args;
  int status;
  std::string out, err;
};

class QorplanArgs : public ::testing::TestWithParam<ArgsCase> {};

TEST_P(QorplanArgs, AnswersOrRefusesWithAReason) {
  const RunResult r =
      RunIn({QORPLAN_BINARY}, GetParam().args, "heater x 2200 0600\nfan 1 1200 1200\n");
  EXPECT_EQ(r.status, GetParam().status);
  EXPECT_EQ(r.out, GetParam().out);
  EXPECT_EQ(r.err, GetParam().err);
}

const std::string kSynopsis = "usage: qorplan [--at HH:MM] TIMER_FILE\n";

INSTANTIATE_TEST_SUITE_P(
    CommandLine, QorplanArgs,
    ::testing::Values(
        ArgsCase{{"--at", "22:00", "t.txt"}, 0, "heater x   OFF\nfan 1   ON\n", ""},
        ArgsCase{{"t.txt", "--at", "0:00"}, 0, "heater x   ON\nfan 1   ON\n", ""},
        ArgsCase{{"--at", "12:00", "t.txt"}, 0, "heater x   OFF\nfan 1   OFF\n", ""},
        ArgsCase{{"/dev/null"}, 0, "",
                 "qorplan: warning: /dev/null names no device/channel pair; the daemon would "
                 "send nothing\n"},
        ArgsCase{{"--at", "24:00", "t.txt"}, 2, "",
                 "qorplan: option --at wants a time from 00:00 to 23:59, not \"24:00\"\n" +
                     kSynopsis},
        ArgsCase{{"t.txt", "--at"}, 2, "", "qorplan: option --at needs a value HH:MM\n" + kSynopsis},
        ArgsCase{{"-x", "t.txt"}, 2, "", "qorplan: unknown option \"-x\"\n" + kSynopsis},
        ArgsCase{{"t.txt", "t.txt"}, 2, "", "qorplan: more than one timer file\n" + kSynopsis}));

// Built without the transport, qorplan imports no call that opens a socket
// or sends.
TEST(QorplanBinary, ImportsNoSocketCall) {
  const RunResult nm = qortest::RunBinary({"nm", "-D", "--undefined-only", QORPLAN_BINARY}, {});
  ASSERT_EQ(nm.status, 0) << nm.err;
  std::set<std::string> imports;
  std::istringstream in(nm.out);
  for (std::string kind, name; in >> kind >> name;) imports.insert(name.substr(0, name.find('@')));
  EXPECT_EQ(imports.count("fopen"), 1u) << nm.out;  // the listing is the binary's
  for (const char *call : {"socket", "bind", "connect", "send", "sendto", "sendmsg"})
    EXPECT_EQ(imports.count(call), 0u) << call;
}

}  // namespace
