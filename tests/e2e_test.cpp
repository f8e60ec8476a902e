// End-to-end tests: the real daemon in the private test network, with a
// listener on port 1962, stopped by SIGKILL as an operator's kill would.
#include <gtest/gtest.h>
#include <sys/resource.h>

#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <sstream>
#include <string>
#include <sys/stat.h>
#include <vector>

#include "qorhash.h"
#include "test_util.h"

namespace {

using qortest::Arrival;
using qortest::CommandStamp;
using qortest::Hms;
using qortest::LibFaketime;
using qortest::Listener;
using qortest::ParseRecords;
using qortest::Record;
using qortest::ReadFile;
using qortest::RunBinary;
using qortest::RunOptions;
using qortest::RunResult;
using qortest::Series;
using qortest::TargetAndState;
using qortest::TempDir;
using qortest::UnderFaketime;
using qortest::WriteFile;

std::string StampTime(const std::string &command) { return Hms(CommandStamp(command)); }

// Runs the daemon until SIGKILL at the deadline, collecting what it sent.
struct DaemonRun {
  RunResult result;
  std::vector<std::string> datagrams;
  std::vector<Record> log;
  std::vector<Record> echo;
};

// `listing` is what the verbose start-up prints before the first record.
DaemonRun RunDaemon(const std::string &timers, const std::string &listing, RunOptions options) {
  DaemonRun run;
  TempDir dir;
  WriteFile(dir.File("timers.txt"), timers);
  Listener listener;
  options.cwd = dir.path();
  std::vector<std::string> argv = qortest::DaemonCommand();
  argv.insert(argv.end(), {"-v", "timers.txt"});
  run.result = RunBinary(argv, options);
  for (std::string d; listener.Receive(&d, 0.2);) run.datagrams.push_back(d);
  run.log = ParseRecords(ReadFile(dir.File("qortimerlog.txt")));
  const std::string &out = run.result.out;
  EXPECT_EQ(out.substr(0, listing.size()), listing);
  run.echo = ParseRecords(out.size() < listing.size() ? "" : out.substr(listing.size()));
  return run;
}

// Three pairs whose states never change, ON, OFF and ON all day, so that a
// real-clock run sends only the start-up commands and their repeats
// whatever the time of day.
const char kSteady[] = "lamp 1 0000 0000\nlamp 1 2359 0001\nfan 2 0800 0801\nheater x 1200 1200\n"
                       "heater x 1159 1201\n";
const char kSteadyListing[] =
    "lamp 1 00:00 00:00\nlamp 1 23:59 00:01\nfan 2 08:00 08:01\n"
    "heater x 11:59 12:01\nheater x 12:00 12:00\n";

// Every datagram verifies, and the log and the echo hold the same records
// in the same order, complete although the daemon was killed.
void ExpectConsistent(const DaemonRun &run) {
  EXPECT_TRUE(run.result.timed_out) << "daemon ended by itself: " << run.result.err;
  EXPECT_EQ(run.result.err, "");
  ASSERT_EQ(run.log.size(), run.datagrams.size());
  ASSERT_EQ(run.echo.size(), run.datagrams.size());
  for (size_t i = 0; i < run.datagrams.size(); i++) {
    SCOPED_TRACE("record " + std::to_string(i));
    const std::string &d = run.datagrams[i];
    std::string copy = d;
    EXPECT_EQ(qorhash_test(&copy[0]), 0) << d;
    EXPECT_EQ(run.log[i].command, d);
    EXPECT_EQ(run.log[i].head, d + " (" + std::to_string(d.size()) + " " +
                                   std::to_string(d.size()) + ")");
    EXPECT_EQ(run.echo[i].head, run.log[i].head);
    EXPECT_EQ(run.echo[i].when, run.log[i].when);
    const time_t t = CommandStamp(d);
    char expected_when[64];
    ASSERT_NE(ctime_r(&t, expected_when), nullptr);
    EXPECT_EQ(run.log[i].when, expected_when);
  }
}

TEST(EndToEndTest, AcceleratedClockSendsTheDocumentedCadenceAcrossAChange) {
  REQUIRE_PRIVATE_NETNS();
  const std::string faketime = LibFaketime();
  ASSERT_NE(faketime, "") << "libfaketime is not installed";
  RunOptions options;
  // 15 simulated seconds per second: 07:59:50 to 08:11:20 in 46 s. Each
  // simulated second lasts 67 ms, so a daemon held off the processor for a
  // moment under load still sees every one of them.
  options.env = {{"LD_PRELOAD", faketime},
                 {"FAKETIME", "@2026-12-09 07:59:50 x15"},
                 {"FAKETIME_NO_CACHE", "1"},
                 {"TZ", "UTC"}};
  options.timeout_seconds = 46;
  const DaemonRun run = RunDaemon("lamp 1 0800 0900\n", "lamp 1 08:00 09:00\n", options);
  ASSERT_NO_FATAL_FAILURE(ExpectConsistent(run));

  // OFF from the start every 5 s; the change at 08:01 goes out at once and
  // repeats every 5 s through 08:06:00, then every 300 s.
  const time_t start = 1796803190;  // 2026-12-09 07:59:50 UTC
  std::vector<std::string> expected = Series(start, start + 65, 5, "lamp-1-OFF");
  for (const auto &s : Series(start + 70, start + 370, 5, "lamp-1-ON")) expected.push_back(s);
  expected.push_back("08:11:00 lamp-1-ON");
  EXPECT_EQ(expected[14], "08:01:00 lamp-1-ON");
  std::vector<std::string> got;
  for (const auto &d : run.datagrams) got.push_back(StampTime(d) + " " + TargetAndState(d));
  EXPECT_EQ(got, expected);
}

TEST(EndToEndTest, RealClockSendsEveryEntryAtStartAndAgainAfter5Seconds) {
  REQUIRE_PRIVATE_NETNS();
  RunOptions options;
  options.env = {{"TZ", "UTC"}};
  options.timeout_seconds = 7;
  const DaemonRun run = RunDaemon(kSteady, kSteadyListing, options);
  ASSERT_NO_FATAL_FAILURE(ExpectConsistent(run));
  ASSERT_EQ(run.datagrams.size(), 6u);
  const std::string start = StampTime(run.datagrams[0]);
  for (size_t i = 0; i < 3; i++) {
    EXPECT_EQ(StampTime(run.datagrams[i]), start);
    const std::string &again = run.datagrams[i + 3];
    EXPECT_EQ(TargetAndState(again), TargetAndState(run.datagrams[i]));
    EXPECT_EQ(CommandStamp(again), CommandStamp(run.datagrams[i]) + 5);
  }
  EXPECT_EQ(TargetAndState(run.datagrams[0]).substr(0, 7), "lamp-1-");
  EXPECT_EQ(TargetAndState(run.datagrams[1]).substr(0, 6), "fan-2-");
  EXPECT_EQ(TargetAndState(run.datagrams[2]).substr(0, 9), "heater-x-");
}

// ------------------------------------------------------- on the board

double Seconds(const timeval &t) { return static_cast<double>(t.tv_sec) + t.tv_usec / 1e6; }

double Seconds(const timespec &t) { return static_cast<double>(t.tv_sec) + t.tv_nsec / 1e9; }

// Processor time used by this process's ended children so far.
double ChildrenProcessorSeconds() {
  rusage u;
  getrusage(RUSAGE_CHILDREN, &u);
  return Seconds(u.ru_utime) + Seconds(u.ru_stime);
}

TEST(EndToEndTest, IdleModeSendsOnTheBusySecondsAndUsesLittleProcessorTime) {
  REQUIRE_PRIVATE_NETNS();
  RunOptions options;
  options.env = {{"TZ", "UTC"}, {"QORTIMER_IDLE", "1"}};
  options.timeout_seconds = 11.5;
  const double before = ChildrenProcessorSeconds();
  const DaemonRun run = RunDaemon(kSteady, kSteadyListing, options);
  const double used = ChildrenProcessorSeconds() - before;
  ASSERT_NO_FATAL_FAILURE(ExpectConsistent(run));
  // As in busy mode: every entry at the start, and again 5 and 10 s later.
  ASSERT_EQ(run.datagrams.size(), 9u);
  const time_t start = CommandStamp(run.datagrams[0]);
  for (size_t i = 0; i < run.datagrams.size(); i++) {
    EXPECT_EQ(CommandStamp(run.datagrams[i]), start + 5 * static_cast<time_t>(i / 3)) << i;
    EXPECT_EQ(TargetAndState(run.datagrams[i]), TargetAndState(run.datagrams[i % 3]));
  }
  // Busy polling would use about all of the 11.5 s.
  EXPECT_LT(used, 0.1 * options.timeout_seconds) << "processor seconds";
}

// The daemon in idle mode, its clock stepped forward into an ON interval
// and then back out of it by rewriting libfaketime's setting while it runs.
TEST(EndToEndTest, FakeClockStepInIdleModeIsActedOnWithinASecond) {
  REQUIRE_PRIVATE_NETNS();
  ASSERT_NE(LibFaketime(), "") << "libfaketime is not installed";
  TempDir dir;
  WriteFile(dir.File("t.txt"), "lamp 1 0800 0900\n");
  WriteFile(dir.File("clock"), "@2026-12-09 07:58:00\n");
  const std::string script =
      UnderFaketime("FAKETIME_TIMESTAMP_FILE=clock") + " t.txt & pid=$!\n"
      "step() { sleep 2; echo \"$1\" > clock.new; mv clock.new clock; date +%s.%N >> steps; }\n"
      "step '@2026-12-09 08:29:58'\n"
      "step '@2026-12-09 06:59:56'\n"
      "sleep 1.5; kill -KILL $pid\n";
  const std::vector<Arrival> got =
      qortest::RunScript(script, dir.path(), {{"QORTIMER_IDLE", "1"}}).arrivals;

  std::istringstream steps(ReadFile(dir.File("steps")));
  double forward = 0, back = 0;
  ASSERT_TRUE(steps >> forward >> back);
  ASSERT_EQ(got.size(), 3u);
  EXPECT_EQ(StampTime(got[0].datagram) + " " + TargetAndState(got[0].datagram),
            "07:58:00 lamp-1-OFF");
  // Where exactly the stepped clock lands differs by a few seconds between
  // libfaketime's versions; the state is what counts.
  EXPECT_EQ(TargetAndState(got[1].datagram), "lamp-1-ON");
  EXPECT_GE(StampTime(got[1].datagram), "08:29:53");
  EXPECT_LE(StampTime(got[1].datagram), "08:30:03");
  EXPECT_EQ(TargetAndState(got[2].datagram), "lamp-1-OFF");
  EXPECT_GE(StampTime(got[2].datagram), "06:59:51");
  EXPECT_LE(StampTime(got[2].datagram), "07:00:03");
  // Within a second of each step, with a quarter second for the test's own
  // scheduling.
  EXPECT_LT(Seconds(got[1].when) - forward, 1.25);
  EXPECT_LT(Seconds(got[2].when) - back, 1.25);
}

// With TZ unset the zone comes from /etc/localtime. In a private mount
// namespace the zone goes from UTC to Tokyo's while the daemon runs, at 10
// simulated seconds per real one from 07:59:30 UTC: the schedule is OFF in
// UTC and ON in Tokyo, so from the minute after the change, 08:00, every
// command is ON through the end of the run.
struct ZoneCase {
  const char *name;
  const char *script;  // "$@" runs the daemon
  time_t last;         // the last command checked
};

void PrintTo(const ZoneCase &c, std::ostream *os) { *os << c.name; }

// /etc under an overlay of its own, so that /etc/localtime can be replaced
// and removed as on a real system.
#define QOR_OWN_ETC                                                                  \
  "mkdir etc; mount -t tmpfs qortest etc; mkdir etc/upper etc/work\n"                \
  "mount -t overlay qortest -o lowerdir=/etc,upperdir=$PWD/etc/upper,"               \
  "workdir=$PWD/etc/work /etc\n"                                                     \
  "ln -sfn /usr/share/zoneinfo/Etc/UTC /etc/localtime\n"

const ZoneCase kZoneCases[] = {
    // New zone data bound over the file itself, at about 07:59:40.
    {"NewDataInTheFile",
     "mount --bind /usr/share/zoneinfo/Etc/UTC /etc/localtime\n"
     "RUN & pid=$!\n"
     "sleep 1; mount --bind /usr/share/zoneinfo/Asia/Tokyo /etc/localtime\n"
     "sleep 4; kill -KILL $pid\n",
     1796803210},
    // A new symbolic link renamed over the file, as timedatectl set-timezone
    // does, at about 07:59:40; then no /etc/localtime at all from about
    // 08:00:12 on, across the minute's check at 08:01:00.
    {"RenamedOverThenMissingAcrossAMinute",
     QOR_OWN_ETC
     "RUN & pid=$!\n"
     "sleep 1; ln -s /usr/share/zoneinfo/Asia/Tokyo /etc/localtime.new\n"
     "mv -T /etc/localtime.new /etc/localtime\n"
     "sleep 3.25; rm /etc/localtime\n"
     "sleep 6.5; kill -KILL $pid\n",
     1796803270},
};

class ZoneTest : public ::testing::TestWithParam<ZoneCase> {};

TEST_P(ZoneTest, AcceleratedClockTakesUpANewZoneWithinAMinuteAndNeverFallsBackToUtc) {
  REQUIRE_PRIVATE_NETNS();
  ASSERT_NE(LibFaketime(), "") << "libfaketime is not installed";
  const ZoneCase &c = GetParam();
  TempDir dir;
  WriteFile(dir.File("t.txt"), "lamp 1 1600 1800\n");
  std::string script = std::string("set -e\nunset TZ\n") + c.script;
  script.replace(script.find("RUN"), 3,
                 UnderFaketime("FAKETIME='@2026-12-09 07:59:30 x10'") + " t.txt");
  std::vector<std::string> sent;
  for (const auto &d : qortest::RunScript(script, dir.path(), {}, true).Datagrams())
    sent.push_back(StampTime(d) + " " + TargetAndState(d));
  std::vector<std::string> expected = Series(1796803170, 1796803195, 5, "lamp-1-OFF");
  const std::vector<std::string> on = Series(1796803200, c.last, 5, "lamp-1-ON");
  expected.insert(expected.end(), on.begin(), on.end());
  ASSERT_GE(sent.size(), expected.size());
  sent.resize(expected.size());
  EXPECT_EQ(sent, expected);
}

INSTANTIATE_TEST_SUITE_P(EndToEndTest, ZoneTest, ::testing::ValuesIn(kZoneCases),
                         [](const auto &info) { return std::string(info.param.name); });

// Summer time on real zone data: states follow local time, and the repeats
// keep to calendar seconds across the hour that is skipped or repeated.
struct SummerTimeCase {
  const char *name;
  const char *faketime;  // start as seconds since the epoch, and rate
  std::vector<std::pair<time_t, std::vector<std::string>>> expected;  // UTC second, sends
};

std::vector<std::string> Repeat(const std::vector<std::string> &sends, int times) {
  std::vector<std::string> all;
  for (int i = 0; i < times; i++) all.insert(all.end(), sends.begin(), sends.end());
  return all;
}

const SummerTimeCase kSummerTimeCases[] = {
    // 2027-03-28 01:59:30 CET; at 01:00 UTC local time jumps to 03:00 CEST.
    {"SpringForward", "@1806195570 x10",
     {{1806195570, Repeat({"lamp-1-OFF", "fan-1-ON"}, 6)},
      {1806195600, Repeat({"lamp-1-ON", "fan-1-ON"}, 7)}}},
    // 2027-10-31 02:59:30 CEST; at 01:00 UTC local time falls back to
    // 02:00 CET, the ON time, which is OFF; 02:01 CET is ON again.
    {"FallBack", "@1824944370 x10",
     {{1824944370, Repeat({"lamp-1-ON", "fan-1-ON"}, 6)},
      {1824944400, Repeat({"lamp-1-OFF", "fan-1-ON"}, 12)},
      {1824944460, Repeat({"lamp-1-ON", "fan-1-ON"}, 1)}}},
};

void PrintTo(const SummerTimeCase &c, std::ostream *os) { *os << c.name; }

class SummerTimeTest : public ::testing::TestWithParam<SummerTimeCase> {};

TEST_P(SummerTimeTest, AcceleratedClockSwitchesByLocalTimeOnCalendarSeconds) {
  REQUIRE_PRIVATE_NETNS();
  const std::string faketime = LibFaketime();
  ASSERT_NE(faketime, "") << "libfaketime is not installed";
  const SummerTimeCase &c = GetParam();
  std::vector<std::string> expected;
  for (const auto &part : c.expected) {
    const size_t per_pass = 2;
    for (size_t i = 0; i < part.second.size(); i++)
      expected.push_back(Hms(part.first + 5 * static_cast<time_t>(i / per_pass)) + " " +
                         part.second[i]);
  }
  RunOptions options;
  options.env = {{"LD_PRELOAD", faketime},
                 {"FAKETIME", c.faketime},
                 {"FAKETIME_FMT", "%s"},
                 {"FAKETIME_NO_CACHE", "1"},
                 {"TZ", "Europe/Berlin"}};
  // The log's ctime lines are compared in the daemon's zone.
  const char *zone = getenv("TZ");
  const std::string saved = zone ? zone : "";
  setenv("TZ", "Europe/Berlin", 1);
  tzset();
  // Long enough for every expected send, with 2 simulated seconds per
  // 200 ms of start-up.
  options.timeout_seconds = static_cast<double>(expected.size()) / 2 * 0.5 + 2;
  const DaemonRun run = RunDaemon("lamp 1 0200 0400\nfan 1 0000 0000\n",
                                  "lamp 1 02:00 04:00\nfan 1 00:00 00:00\n", options);
  ExpectConsistent(run);
  if (zone)
    setenv("TZ", saved.c_str(), 1);
  else
    unsetenv("TZ");
  tzset();
  std::vector<std::string> got;
  for (const auto &d : run.datagrams) got.push_back(StampTime(d) + " " + TargetAndState(d));
  ASSERT_GE(got.size(), expected.size());
  got.resize(expected.size());
  EXPECT_EQ(got, expected);
}

INSTANTIATE_TEST_SUITE_P(Berlin, SummerTimeTest, ::testing::ValuesIn(kSummerTimeCases),
                         [](const auto &info) { return std::string(info.param.name); });

TEST(EndToEndTest, DestinationFromTheEnvironmentGetsEveryCommand) {
  REQUIRE_PRIVATE_NETNS();
  Listener other(2963);
  RunOptions options;
  options.env = {{"TZ", "UTC"}, {"QORTIMER_DESTINATION", "192.168.0.1:2963"}};
  options.timeout_seconds = 1.5;
  const DaemonRun run = RunDaemon(kSteady, kSteadyListing, options);
  EXPECT_EQ(run.result.err, "");
  EXPECT_TRUE(run.datagrams.empty()) << "sent to port 1962 too";
  ASSERT_EQ(run.log.size(), 3u);
  for (const Record &r : run.log) {
    std::string d;
    ASSERT_TRUE(other.Receive(&d, 0.5)) << "nothing for " << r.command;
    EXPECT_EQ(d, r.command);
  }
}

}  // namespace
