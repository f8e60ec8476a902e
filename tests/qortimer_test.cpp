// Daemon module tests.
#include "qortimer.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <memory>
#include <ostream>
#include <string>

#include "qor_socket.h"
#include "qorhash.h"
#include "test_util.h"

// ===================================================================
// Wide clocks: calendar time past 2038 and beyond 32 bits, and the
// processor-time stamp whatever the width of clock_t. These run on every
// build, the 32-bit board build under emulation included.
// ===================================================================

namespace wide_clocks {

using qortest::Listener;
using qortest::TempDir;

// Times are held as 64-bit numbers so that a build with a 32-bit time_t
// still compiles and shows what goes wrong.
constexpr int64_t k2040Noon = 2209032000;  // 2040-01-01 12:00:00 UTC
constexpr clock_t kSomeTicks = 0xa2c8;

TEST(WideClocks, CalendarTimeIs64BitsWide) {
  EXPECT_EQ(sizeof(time_t), 8u);
  EXPECT_EQ(sizeof(qor_context::now), 8u);
  EXPECT_EQ(sizeof(qor_entry::last_change), 8u);
  EXPECT_EQ(sizeof(qor_entry::last_sent), 8u);
}

// A context with the one entry "lamp 1 1100 1300", its log in a temporary
// file and the socket open, set up the way start-up and reading leave it.
class WidePassTest : public ::testing::Test {
 protected:
  void SetUp() override {
    REQUIRE_PRIVATE_NETNS();
    setenv("TZ", "UTC", 1);
    tzset();
    const std::string timers = dir_.File("timers.txt");
    qortest::WriteFile(timers, "lamp 1 1100 1300\n");
    qor_ = std::make_unique<qor_context>();
    snprintf(qor_->infile, sizeof qor_->infile, "%s", timers.c_str());
    qor_->timer_stream = fopen(timers.c_str(), "r");
    qor_->logfile = fopen(LogPath().c_str(), "w");
    ASSERT_NE(qor_->timer_stream, nullptr);
    ASSERT_NE(qor_->logfile, nullptr);
    qor_read_file(qor_.get());
    ASSERT_NE(qor_->entries, nullptr);
    qor_init_socket();
    socket_open_ = true;
  }
  void TearDown() override {
    if (socket_open_) qor_socket_close();
    if (qor_ && qor_->timer_stream) fclose(qor_->timer_stream);
    if (qor_ && qor_->logfile) fclose(qor_->logfile);
  }
  std::string LogPath() const { return dir_.File("qortimerlog.txt"); }

  // The datagram one pass sends, checked for its form and hash; empty when
  // none came.
  std::string PassAndReceive(clock_t ticks, int64_t now) {
    qor_pass(qor_.get(), ticks, static_cast<time_t>(now));
    std::string got;
    if (!listener_.Receive(&got, 2)) return "";
    std::string copy = got;
    EXPECT_EQ(qorhash_test(&copy[0]), 0) << got;
    return got;
  }

  static std::string Prefix(const char *state, const char *time_hex, const char *clock_hex) {
    return std::string("qorctrl command QORTIMER-lamp-1-") + state + " " + time_hex + "-" +
           clock_hex + "-";
  }

  TempDir dir_;
  Listener listener_;
  std::unique_ptr<qor_context> qor_;
  bool socket_open_ = false;
};

struct CalendarCase {
  const char *name;
  int64_t now;
  const char *time_hex;  // low 32 bits
  int hour, minute;
  const char *state;     // of 1100-1300 at that minute
  const char *ctime_text;
};

static void PrintTo(const CalendarCase &c, std::ostream *os) { *os << c.name; }

class CalendarPassTest : public WidePassTest,
                         public ::testing::WithParamInterface<CalendarCase> {};

TEST_P(CalendarPassTest, PassStampsSendsAndLogsTheCalendarTime) {
  const CalendarCase &c = GetParam();
  const std::string got = PassAndReceive(kSomeTicks, c.now);
  ASSERT_FALSE(got.empty()) << "no datagram";
  const std::string prefix = Prefix(c.state, c.time_hex, "0000a2c8");
  EXPECT_EQ(got.substr(0, prefix.size()), prefix);
  EXPECT_EQ(got.size(), prefix.size() + 4);
  EXPECT_STREQ(qor_->time_hex, c.time_hex);
  EXPECT_EQ(qor_->now, c.now);
  EXPECT_EQ(qor_->hour, c.hour);
  EXPECT_EQ(qor_->minute, c.minute);
  EXPECT_EQ(qor_->entries->last_change, c.now);
  EXPECT_EQ(qor_->entries->last_sent, c.now);

  const std::string n = std::to_string(got.size());
  EXPECT_EQ(qortest::ReadFile(LogPath()), got + " (" + n + " " + n + ")\n" + c.ctime_text);
}

INSTANTIATE_TEST_SUITE_P(
    WideClocks, CalendarPassTest,
    ::testing::Values(
        CalendarCase{"Last32BitSecond", 2147483647, "7fffffff", 3, 14, "OFF",
                     "Tue Jan 19 03:14:07 2038\n"},
        CalendarCase{"First64BitSecond", 2147483648, "80000000", 3, 14, "OFF",
                     "Tue Jan 19 03:14:08 2038\n"},
        CalendarCase{"NoonIn2040", k2040Noon, "83ab2740", 12, 0, "ON",
                     "Sun Jan  1 12:00:00 2040\n"},
        CalendarCase{"NoonPast2To32", 4294987200, "00004dc0", 12, 0, "ON",
                     "Sun Feb  7 12:00:00 2106\n"}),
    [](const auto &info) { return std::string(info.param.name); });

// The resend policy works on the whole calendar time, not on its stamp: a
// repeat falls 5 s after a send across both the 2^31 and the 2^32 seconds.
struct RepeatCase {
  const char *name;
  int64_t first;
  const char *repeat_hex;  // stamp of the pass 5 s later
};

static void PrintTo(const RepeatCase &c, std::ostream *os) { *os << c.name; }

class RepeatAcrossRolloverTest : public WidePassTest,
                                 public ::testing::WithParamInterface<RepeatCase> {};

TEST_P(RepeatAcrossRolloverTest, RepeatFallsFiveSecondsLater) {
  const RepeatCase &c = GetParam();
  ASSERT_FALSE(PassAndReceive(kSomeTicks, c.first).empty());
  qor_pass(qor_.get(), kSomeTicks, static_cast<time_t>(c.first + 4));
  std::string early;
  EXPECT_FALSE(listener_.Receive(&early, 0.3)) << "repeat after 4 s: " << early;

  const std::string got = PassAndReceive(kSomeTicks, c.first + 5);
  const std::string prefix = Prefix("OFF", c.repeat_hex, "0000a2c8");
  EXPECT_EQ(got.substr(0, prefix.size()), prefix);
  EXPECT_EQ(qor_->entries->last_sent, c.first + 5);
  EXPECT_EQ(qor_->entries->last_change, c.first);
}

INSTANTIATE_TEST_SUITE_P(
    WideClocks, RepeatAcrossRolloverTest,
    ::testing::Values(RepeatCase{"Across2To31", 2147483645, "80000002"},
                      RepeatCase{"Across2To32", 4294967293, "00000002"}),
    [](const auto &info) { return std::string(info.param.name); });

// The processor-time stamp is the low 32 bits of the clock, whatever its
// width; a failing clock (-1) reads ffffffff.
struct ClockCase {
  const char *name;
  uint64_t ticks;  // converted to clock_t
  bool wide;       // needs a clock_t of more than 32 bits
  const char *clock_hex;
};

static void PrintTo(const ClockCase &c, std::ostream *os) { *os << c.name; }

class ClockStampTest : public WidePassTest, public ::testing::WithParamInterface<ClockCase> {};

TEST_P(ClockStampTest, StampIsTheLow32BitsOfTheClock) {
  const ClockCase &c = GetParam();
  if (c.wide && sizeof(clock_t) <= 4) GTEST_SKIP() << "clock_t is 32 bits here";
  const clock_t ticks = static_cast<clock_t>(c.ticks);
  const std::string got = PassAndReceive(ticks, k2040Noon);
  EXPECT_EQ(qor_->ticks, ticks);
  EXPECT_STREQ(qor_->clock_hex, c.clock_hex);
  const std::string prefix = Prefix("ON", "83ab2740", c.clock_hex);
  EXPECT_EQ(got.substr(0, prefix.size()), prefix);
}

INSTANTIATE_TEST_SUITE_P(
    WideClocks, ClockStampTest,
    ::testing::Values(ClockCase{"Failure", UINT64_MAX, false, "ffffffff"},
                      ClockCase{"MinusTwo", UINT64_MAX - 1, false, "fffffffe"},
                      ClockCase{"Zero", 0, false, "00000000"},
                      ClockCase{"Largest32BitClock", 0x7fffffff, false, "7fffffff"},
                      ClockCase{"Just2To32", 0x100000000, true, "00000000"},
                      ClockCase{"Above2To32", 0x10000a2c8, true, "0000a2c8"},
                      ClockCase{"FarAbove2To32", 0x123456789abc, true, "56789abc"}),
    [](const auto &info) { return std::string(info.param.name); });

}  // namespace wide_clocks
