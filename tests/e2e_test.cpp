// End-to-end tests: the real daemon binary in the private test network.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <ctime>
#include <string>
#include <vector>

#include "qorhash.h"
#include "test_util.h"

// ===================================================================
// Real time: the daemon as built (or the board binary named by
// $QOR_TEST_DAEMON, under $QOR_TEST_EMULATOR) runs for a few seconds of
// real time on the real clocks.
// ===================================================================

namespace real_time {

using qortest::Listener;
using qortest::RunBinary;
using qortest::RunOptions;
using qortest::TempDir;

// The fields of a command that matter here.
struct Command {
  std::string target;  // "QORTIMER-device-channel-STATE"
  uint32_t time = 0;
  uint32_t clock = 0;
  int hash_check = -1;
};

// Splits "qorctrl command TARGET TTTTTTTT-CCCCCCCC-HHHH".
static bool ParseCommand(const std::string &text, Command *c) {
  char target[600];
  unsigned time = 0, clock = 0;
  char tail[8];
  if (sscanf(text.c_str(), "qorctrl command %599s %8x-%8x-%7s", target, &time, &clock, tail) != 4)
    return false;
  c->target = target;
  c->time = time;
  c->clock = clock;
  std::string copy = text;
  c->hash_check = qorhash_test(&copy[0]);
  return true;
}

// Runs for 9 s with two entries: "always" is ON at every minute but one
// twelve hours away, "never" is OFF all day. The first pass sends one
// command per entry; repeats follow 5 s later, and the next ones only at
// 10 s, after the run has ended.
TEST(RealTime, DaemonSendsEachEntryAtStartAndRepeatsItFiveSecondsLater) {
  REQUIRE_PRIVATE_NETNS();
  TempDir dir;
  const time_t start = time(nullptr);
  tm utc{};
  gmtime_r(&start, &utc);
  const int off_minute = ((utc.tm_hour + 12) % 24) * 100 + utc.tm_min;
  char timers[128];
  snprintf(timers, sizeof timers, "board always %04d %04d\nboard never 0000 0001\n", off_minute,
           off_minute);
  qortest::WriteFile(dir.File("timers.txt"), timers);

  Listener listener;
  std::vector<std::string> argv = qortest::DaemonCommand();
  argv.push_back("timers.txt");
  RunOptions options;
  options.cwd = dir.path();
  options.env = {{"TZ", "UTC"}};
  options.timeout_seconds = 9;
  const qortest::RunResult run = RunBinary(argv, options);
  EXPECT_TRUE(run.timed_out) << "the daemon ended by itself: status " << run.status
                             << ", errors: " << run.err;
  EXPECT_EQ(run.err, "");

  std::vector<std::string> texts;
  for (std::string d; listener.Receive(&d, 0.5);) texts.push_back(d);
  ASSERT_EQ(texts.size(), 4u) << "expected two commands at start and two 5 s later";

  std::vector<Command> got(texts.size());
  for (size_t i = 0; i < texts.size(); i++) {
    ASSERT_TRUE(ParseCommand(texts[i], &got[i])) << texts[i];
    EXPECT_EQ(got[i].hash_check, 0) << texts[i];
    EXPECT_EQ(got[i].target, i % 2 == 0 ? "QORTIMER-board-always-ON" : "QORTIMER-board-never-OFF");
  }
  // The calendar stamp is this machine's clock; commands of one pass share
  // both stamps; the repeat comes exactly 5 s of calendar time later, with
  // more processor time behind it.
  EXPECT_LE(static_cast<uint32_t>(static_cast<uint64_t>(start)), got[0].time);
  EXPECT_LE(got[0].time, static_cast<uint32_t>(static_cast<uint64_t>(start) + 4));
  EXPECT_EQ(got[1].time, got[0].time);
  EXPECT_EQ(got[1].clock, got[0].clock);
  EXPECT_EQ(got[2].time, got[0].time + 5);
  EXPECT_EQ(got[3].time, got[2].time);
  EXPECT_GT(got[2].clock, got[0].clock);

  // Each command is logged with its send result and length, then its time.
  std::string log = qortest::ReadFile(dir.File("qortimerlog.txt"));
  for (const std::string &t : texts) {
    const std::string n = std::to_string(t.size());
    const std::string head = t + " (" + n + " " + n + ")\n";
    ASSERT_EQ(log.compare(0, head.size(), head), 0) << "log:\n" << log;
    const size_t line_end = log.find('\n', head.size());
    ASSERT_NE(line_end, std::string::npos);
    EXPECT_EQ(line_end - head.size(), 24u) << "ctime text expected";
    log.erase(0, line_end + 1);
  }
  EXPECT_EQ(log, "");
}

}  // namespace real_time
