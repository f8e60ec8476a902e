// The listener's schedule check: a table of received streams against
// schedules in simulated time, the program's failures before it listens,
// and the real daemon and listener together on an accelerated clock.
#include "qorlisten_expect.h"

#include <gtest/gtest.h>
#include <regex.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "test_util.h"

namespace {

// Seconds of 2026-12-09 UTC.
constexpr double At(int hour, int minute, int second) {
  return 1796774400.0 + hour * 3600 + minute * 60 + second;
}

// A command as the listener got it: when, relative to the watch's start,
// what it said, and how far the board's clock ran ahead of the listener's.
struct Heard {
  double at;
  const char *target;  // "DEVICE-CHANNEL-STATE"
  time_t ahead = 0;    // the stamp is floor(receipt) + ahead
  const char *tag = "QORTIMER";
  const char *from = "192.168.0.1";
};

struct WatchCase {
  const char *name;
  const char *timers;
  const char *zone;   // the board's; "" for the listener's own, UTC
  double start;       // when the listener starts listening
  int seconds;        // how long the listener listens
  std::vector<Heard> heard;
  std::vector<std::string> said;  // every verdict and event, in order
  std::string check;              // the check's line at the end, or its start
  std::vector<std::string> args = {};  // -H, -w, -c
  std::string metric = "";             // a line of its Prometheus metrics
};
void PrintTo(const WatchCase &k, std::ostream *os) { *os << k.name; }

class WatchTable : public ::testing::TestWithParam<WatchCase> {};

// The listener's loop in simulated time: the watch moves on every second,
// and to each receipt before its command is judged.
TEST_P(WatchTable, StreamAgainstScheduleGivesTheVerdicts) {
  const WatchCase &k = GetParam();
  std::string error;
  ASSERT_TRUE(qorlisten::UseZone(*k.zone != '\0' ? k.zone : "UTC", &error)) << error;
  auto qor = std::make_unique<qor_context>();
  qor->timer_stream = fmemopen(const_cast<char *>(k.timers), strlen(k.timers), "r");
  ASSERT_FALSE(qor_read_timers(qor.get()));
  fclose(qor->timer_stream);
  const double start = k.start;
  qorlisten::Options options;
  std::vector<std::string> args{"--expect", "t.txt"};
  args.insert(args.end(), k.args.begin(), k.args.end());
  ASSERT_EQ(qorlisten::ParseOptions(args, &options, &error), qorlisten::ParseResult::kRun) << error;

  qorlisten::Watch w = qorlisten::StartWatch(qor->entries, start, options.limits);
  std::vector<std::string> said;
  const auto advance = [&](double t) {
    for (const std::string &e : qorlisten::Advance(&w, start + t)) said.push_back(e);
  };
  size_t next = 0;
  for (int second = 1; second <= k.seconds; second++) {
    for (; next < k.heard.size() && k.heard[next].at <= second; next++) {
      const Heard &c = k.heard[next];
      advance(c.at);
      char text[600];
      snprintf(text, sizeof text, "qorctrl command %s-%s %08x-00000000-", c.tag, c.target,
               static_cast<uint32_t>(static_cast<time_t>(start + c.at) + c.ahead));
      ASSERT_EQ(qorhash_append(text, sizeof text), 0);
      said.push_back(std::string(c.target) + " " +
                     qorlisten::Hear(&w, text, c.from, start + c.at, true).verdict);
    }
    advance(second);
  }
  EXPECT_EQ(said, k.said);
  const std::string line = qorlisten::CheckVerdict(w, k.seconds, "0.0.0.0:1962").line;
  EXPECT_EQ(line.substr(0, k.check.size()), k.check) << line;
  const std::string metrics = qorlisten::Metrics(w, qorlisten::CheckVerdict(w, k.seconds, "").status);
  EXPECT_TRUE(k.metric.empty() || metrics.find("\n" + k.metric + "\n") != std::string::npos) << metrics;
  // Every item of the performance data in the plugins' form (a POSIX
  // expression: GCC 12 warns inside <regex> when built with the sanitizers).
  regex_t item;
  ASSERT_EQ(regcomp(&item,
                    "^('[^']+'|[^' =]+)=(-?[0-9.]+|U)(s|ms|us|%|B|KB|MB|TB|c)?"
                    "(;(@?(~|-?[0-9.]+)?(:(-?[0-9.]+)?)?)){0,2}(;(-?[0-9.]+)?){0,2}$",
                    REG_EXTENDED | REG_NOSUB),
            0);
  std::istringstream perfdata(line.substr(line.find(" | ") + 3));
  for (std::string i; perfdata >> i;) EXPECT_EQ(regexec(&item, i.c_str(), 0, nullptr, 0), 0) << i;
  regfree(&item);
}

const char kLamp[] = "lamp 1 0800 0900\n";

INSTANTIATE_TEST_SUITE_P(
    Streams, WatchTable,
    ::testing::Values(
        // The lamp's change arrives in its minute's first seconds, the fan's after ten.
        WatchCase{"ChangeAfterTenSecondsIsLate", "lamp 1 0800 0900\nfan 2 0800 0900\n", "",
                  At(8, 0, 50), 40,
                  {{5, "lamp-1-OFF"}, {10.2, "lamp-1-ON"}, {15, "lamp-1-ON"}, {22.5, "fan-2-ON"}},
                  {"lamp-1-OFF as scheduled", "lamp-1-ON as scheduled", "lamp-1-ON as scheduled",
                   "fan-2 LATE: no ON within 10 s of 08:01", "fan-2-ON as scheduled"},
                  "QORTIMER WARNING - LATE fan-2 | heard=4;;;0 wrong=0;;;0 silent=0;;;0 "
                  "late=1;;;0 clock_off=0.0s;2; unscheduled=0;;;0 bad=0;;;0 other_tag=0;;;0 "
                  "other_host=0;;;0"},
        WatchCase{"EndAt2400ChangesAtMidnightAndAnOldStateIsWrong", "pump 1 2000 2400\n", "",
                  At(23, 59, 50), 20, {{5, "pump-1-ON"}, {10, "pump-1-OFF"}, {15, "pump-1-ON"}},
                  {"pump-1-ON as scheduled", "pump-1-OFF as scheduled",
                   "pump-1-ON WRONG STATE (schedule: OFF)"},
                  "QORTIMER CRITICAL - WRONG STATE pump-1 | heard=3;;;0 wrong=1;;;0 "},
        WatchCase{"PairNotInTheFile", kLamp, "", At(12, 0, 0), 10, {{1, "fan-2-ON"}},
                  {"fan-2-ON NOT SCHEDULED"},
                  "QORTIMER WARNING - NOT SCHEDULED fan-2; NOT HEARD lamp-1 (a check longer "
                  "than 305 s hears every pair) | heard=1;;;0 wrong=0;;;0 silent=0;;;0 "
                  "late=0;;;0 clock_off=0.0s;2; unscheduled=1;;;0 bad=0;;;0 "},
        WatchCase{"ClockOffByMoreThanTwoSeconds", "lamp 1 1300 1500\n", "", At(12, 0, 0), 10,
                  {{1, "lamp-1-ON", 7200}, {3.9, "lamp-1-OFF", -2}, {5.1, "lamp-1-OFF", -3}},
                  {"lamp-1-ON as scheduled, CLOCK OFF by +7200.0 s", "lamp-1-OFF as scheduled",
                   "lamp-1-OFF as scheduled, CLOCK OFF by -2.1 s"},
                  "QORTIMER WARNING - CLOCK OFF by +7200.0 s | heard=3;;;0 wrong=0;;;0 "
                  "silent=0;;;0 late=0;;;0 clock_off=7200.0s;2; "},
        // The stamp's whole second holds the receipt: no offset, however late in it.
        WatchCase{"ThresholdsOfTheOffsetsSize", "lamp 1 1300 1500\n", "", At(12, 0, 0), 10,
                  {{1.97, "lamp-1-OFF"}, {3, "lamp-1-OFF", -4}, {4, "lamp-1-OFF", -90}},
                  {"lamp-1-OFF as scheduled", "lamp-1-OFF as scheduled",
                   "lamp-1-OFF as scheduled, CLOCK OFF by -89.0 s"},
                  "QORTIMER CRITICAL - CLOCK OFF by -89.0 s | heard=3;;;0 wrong=0;;;0 "
                  "silent=0;;;0 late=0;;;0 clock_off=-89.0s;5;~:60 ",
                  {"-w", "5", "-c", "~:60"}},
        // Another tool's override, and another board naming the same pair.
        WatchCase{"OtherTagIsCountedNotJudged", kLamp, "", At(12, 0, 0), 10,
                  {{1, "lamp-1-OFF"}, {2, "lamp-1-ON", 0, "MANUAL"}},
                  {"lamp-1-OFF as scheduled", "lamp-1-ON not judged: tag MANUAL"},
                  "QORTIMER OK - 1 pair as scheduled | heard=1;;;0 wrong=0;;;0 silent=0;;;0 "
                  "late=0;;;0 clock_off=0.0s;2; unscheduled=0;;;0 bad=0;;;0 other_tag=1;;;0 "
                  "other_host=0;;;0"},
        WatchCase{"AnotherSenderJudgedWithoutH", kLamp, "", At(12, 0, 0), 10,
                  {{1, "lamp-1-OFF"}, {2, "lamp-1-ON", 0, "QORTIMER", "192.168.0.7"}},
                  {"lamp-1-OFF as scheduled", "lamp-1-ON WRONG STATE (schedule: OFF)"},
                  "QORTIMER CRITICAL - WRONG STATE lamp-1 | heard=2;;;0 wrong=1;;;0 "},
        // A name as Prometheus' text format escapes it.
        WatchCase{"NamesEscapedInTheMetrics", "la\"mp\\ 1 0800 0900\n", "", At(12, 0, 0), 10,
                  {{1, "la\"mp\\-1-OFF"}}, {"la\"mp\\-1-OFF as scheduled"},
                  "QORTIMER OK - 1 pair as scheduled | ", {},
                  "qortimer_pair_on{channel=\"1\",device=\"la\\\"mp\\\\\"} 0"},
        WatchCase{"AnotherSenderKeptOutByH", kLamp, "", At(12, 0, 0), 10,
                  {{1, "lamp-1-OFF"}, {2, "lamp-1-ON", 0, "QORTIMER", "192.168.0.7"}},
                  {"lamp-1-OFF as scheduled", "lamp-1-ON not counted: not from 192.168.0.1"},
                  "QORTIMER OK - 1 pair as scheduled | heard=1;;;0 wrong=0;;;0 silent=0;;;0 "
                  "late=0;;;0 clock_off=0.0s;2; unscheduled=0;;;0 bad=0;;;0 other_tag=0;;;0 "
                  "other_host=1;;;0",
                  {"-H", "192.168.0.1"}},
        WatchCase{"SilentPairsAndOneComingBack", "lamp 1 0800 0900\nfan 2 0000 0000\npump 3 1 2\n",
                  "", At(12, 0, 0), 420,
                  {{1, "lamp-1-OFF"}, {1, "fan-2-ON"}, {300, "lamp-1-OFF"}, {400, "fan-2-ON"}},
                  {"lamp-1-OFF as scheduled", "fan-2-ON as scheduled", "lamp-1-OFF as scheduled",
                   "pump-3 SILENT: not heard for 306 s", "fan-2 SILENT: not heard for 306 s",
                   "fan-2-ON as scheduled, heard again after 399 s"},
                  "QORTIMER CRITICAL - SILENT fan-2, pump-3 | heard=4;;;0 wrong=0;;;0 silent=2;;;0 "},
        // 13:00:50 UTC is 08:00:50 in New York, where the lamp turns ON at 08:01.
        WatchCase{"BoardZoneIsNotTheListeners", kLamp, "America/New_York", At(13, 0, 50), 30,
                  {{5, "lamp-1-OFF"}, {10, "lamp-1-ON"}},
                  {"lamp-1-OFF as scheduled", "lamp-1-ON as scheduled"},
                  "QORTIMER OK - 1 pair as scheduled | "},
        WatchCase{"NothingHeard", kLamp, "", At(12, 0, 0), 10, {}, {},
                  "QORTIMER CRITICAL - NOTHING HEARD on 0.0.0.0:1962 in 10 s | heard=0;;;0 "
                  "wrong=0;;;0 silent=0;;;0 late=0;;;0 clock_off=U;2; "}),
    [](const auto &info) { return std::string(info.param.name); });

// ---------------------------------------------- failing before it listens

struct RefusalCase {
  const char *name;
  std::vector<std::string> args;
  int status;
  std::string out;  // the whole standard output
  const char *err;  // a part of the error stream
};
void PrintTo(const RefusalCase &k, std::ostream *os) { *os << k.name; }

class ListenerRefuses : public ::testing::TestWithParam<RefusalCase> {};

TEST_P(ListenerRefuses, BadFileZoneOrSocketEndsWithTheDaemonsMessagesOrUnknown) {
  qortest::TempDir dir;
  qortest::WriteFile(dir.File("bad.txt"), "lamp 1 0800 0960\n");
  qortest::RunOptions options;
  options.cwd = dir.path();
  std::vector<std::string> argv{QORLISTEN_BINARY};
  argv.insert(argv.end(), GetParam().args.begin(), GetParam().args.end());
  const qortest::RunResult run = qortest::RunBinary(argv, options);
  EXPECT_TRUE(run.exited);
  EXPECT_EQ(run.status, GetParam().status);
  EXPECT_EQ(run.out, GetParam().out);
  EXPECT_NE(run.err.find(GetParam().err), std::string::npos) << run.err;
}

INSTANTIATE_TEST_SUITE_P(
    Start, ListenerRefuses,
    ::testing::Values(
        RefusalCase{"BadFile", {"--expect", "bad.txt"}, 1, "",
                    " *** ERROR reading (bad.txt) line (lamp 1 0800 0960\n)"},
        RefusalCase{"BadFileChecked", {"--expect", "bad.txt", "--check", "-t", "1"}, 3,
                    "QORTIMER UNKNOWN - bad timer file bad.txt; "
                    "qorplan bad.txt lists its bad lines\n",
                    " *** ERROR reading (bad.txt)"},
        RefusalCase{"MissingFileChecked", {"--expect", "none.txt", "--check", "-t", "1"}, 3,
                    "QORTIMER UNKNOWN - cannot read the timer file none.txt\n",
                    " *** ERROR: Unable to open file (none.txt)"},
        RefusalCase{"CheckWithoutFile", {"--check", "-t", "1"}, 3,
                    "QORTIMER UNKNOWN - options --zone and --check need --expect TIMER_FILE\n", ""},
        RefusalCase{"UnknownZone", {"--expect", "bad.txt", "--zone", "Mars/Olympus"}, 1, "",
                    "qorlisten: no time zone \"Mars/Olympus\" in "},
        RefusalCase{"SocketNotBound",
                    {"--expect", "/dev/null", "-a", "192.0.2.1", "--check", "-t", "1"}, 3,
                    "QORTIMER UNKNOWN - bind 192.0.2.1:1962: Cannot assign requested address\n",
                    ""}),
    [](const auto &info) { return std::string(info.param.name); });

// ------------------------------------------ the daemon, on a fast clock

// Runs `script` in sh in a directory holding t.txt, the daemon's file, and
// moved.txt, the same with the lamp moved, with $L the listener, $F the
// start of a command line under libfaketime, and the daemon's command as
// "$@"; stopping the daemon is the script's part. Returns what the script
// wrote on its standard output. The listener's clock runs under the same
// rate as the daemon's (HACKING.md).
std::string RunOnFastClock(const std::string &script) {
  qortest::TempDir dir;
  qortest::WriteFile(dir.File("t.txt"), std::string(kLamp) + "fan 2 0000 0000\n");
  qortest::WriteFile(dir.File("moved.txt"), "lamp 1 0900 1000\nfan 2 0000 0000\n");
  std::vector<std::string> argv{"sh", "-c",
                                "L=" QORLISTEN_BINARY "\nF='env LD_PRELOAD=" +
                                    qortest::LibFaketime() + " FAKETIME_NO_CACHE=1'\n" + script,
                                "sh"};
  for (const std::string &word : qortest::DaemonCommand()) argv.push_back(word);
  qortest::RunOptions options;
  options.cwd = dir.path();
  options.env = {{"TZ", "UTC"}};
  options.timeout_seconds = 40;
  const qortest::RunResult run = qortest::RunBinary(argv, options);
  EXPECT_TRUE(run.exited && run.status == 0) << run.err;
  return run.out;
}

class ListenerAgainstDaemon : public ::testing::Test {
 protected:
  void SetUp() override {
    REQUIRE_PRIVATE_NETNS();
    ASSERT_NE(qortest::LibFaketime(), "") << "libfaketime is not installed";
  }
};

// From 08:00:40 to 08:01:20 of the daemon's clock, over the lamp's change
// at 08:01, heard with its own file, with the lamp moved, and by a listener
// whose clock runs two hours behind.
TEST_F(ListenerAgainstDaemon, OwnFileIsOkAMovedIntervalCriticalAndAClockAheadAWarning) {
  const std::string out = RunOnFastClock(
      "c() { $F FAKETIME=\"@2026-12-09 $1 x10\" $L --expect $2 --check -t 40 >$3\n"
      "      echo \"exit $?\" >>$3; }\n"
      "c 08:00:40 t.txt own & c 08:00:40 moved.txt moved & c 06:00:40 t.txt behind &\n"
      "timeout -s KILL 4.5 $F FAKETIME='@2026-12-09 08:00:40 x10' \"$@\" t.txt &\n"
      "wait; cat own moved behind\n");
  EXPECT_EQ(out.rfind("QORTIMER OK - 2 pairs as scheduled | heard=", 0), 0u) << out;
  EXPECT_NE(out.find(" other_host=0;;;0\nexit 0\nQORTIMER CRITICAL - WRONG STATE lamp-1 | "),
            std::string::npos) << out;
  const std::string head = "\nexit 2\nQORTIMER WARNING - CLOCK OFF by +";
  ASSERT_NE(out.find(head), std::string::npos) << out;
  EXPECT_NEAR(strtod(out.c_str() + out.find(head) + head.size(), nullptr), 7200, 3) << out;
  EXPECT_EQ(out.substr(out.size() - 8), "\nexit 1\n") << out;
}

TEST_F(ListenerAgainstDaemon, StoppedDaemonLeavesItsPairsSilentAfter300SecondsOfItsClock) {
  // The daemon runs 0.3 s late (9 simulated seconds) and is stopped 0.5 s
  // later; the listener goes on to 08:16:00.
  const std::string out = RunOnFastClock(
      "$F FAKETIME='@2026-12-09 08:10:00 x30' $L --expect t.txt --check -t 360 & a=$!\n"
      "sleep 0.3; timeout -s KILL 0.5 $F FAKETIME='@2026-12-09 08:10:09 x30' \"$@\" t.txt\n"
      "wait $a; echo \"exit $?\"\n");
  EXPECT_EQ(out.rfind("QORTIMER CRITICAL - SILENT lamp-1, fan-2", 0), 0u) << out;
  EXPECT_NE(out.find(" silent=2;;;0 "), std::string::npos) << out;
  EXPECT_EQ(out.substr(out.size() - 8), "\nexit 2\n") << out;
}

}  // namespace
