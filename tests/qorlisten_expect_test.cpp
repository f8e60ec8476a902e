// The listener's schedule check: a table of received streams against
// schedules in simulated time.
#include "qorlisten_expect.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "test_util.h"

namespace {

constexpr time_t kDay = 1796774400;  // 2026-12-09 00:00:00 UTC

// A command as the listener got it: when, relative to the watch's start,
// what it said, and how far the board's clock ran ahead of the listener's.
struct Heard {
  double at;
  const char *target;  // "DEVICE-CHANNEL-STATE"
  time_t ahead = 0;    // the stamp is floor(receipt) + ahead
};

struct WatchCase {
  const char *name;
  const char *timers;
  const char *zone;   // the board's; "" for the listener's own, UTC
  const char *start;  // "HH:MM:SS" UTC on kDay
  int seconds;        // how long the listener listens
  std::vector<Heard> heard;
  std::vector<std::string> said;  // every verdict and event, in order
  std::string check;              // the check's line at the end, or its start
};
void PrintTo(const WatchCase &k, std::ostream *os) { *os << k.name; }

class WatchTable : public ::testing::TestWithParam<WatchCase> {};

// The listener's loop in simulated time: the watch moves on every second,
// and to each receipt before its command is judged.
TEST_P(WatchTable, StreamAgainstScheduleGivesTheVerdicts) {
  const WatchCase &k = GetParam();
  setenv("TZ", "UTC", 1);
  tzset();
  std::string error;
  if (*k.zone != '\0') {
    ASSERT_TRUE(qorlisten::UseZone(k.zone, &error)) << error;
  }
  auto qor = std::make_unique<qor_context>();
  qor->timer_stream = fmemopen(const_cast<char *>(k.timers), strlen(k.timers), "r");
  ASSERT_FALSE(qor_read_timers(qor.get()));
  fclose(qor->timer_stream);
  int h = 0, m = 0, s = 0;
  ASSERT_EQ(sscanf(k.start, "%d:%d:%d", &h, &m, &s), 3);
  const double start = static_cast<double>(kDay + h * 3600 + m * 60 + s);

  qorlisten::Watch w = qorlisten::StartWatch(qor->entries, start);
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
      snprintf(text, sizeof text, "qorctrl command QORTIMER-%s %08x-00000000-", c.target,
               static_cast<uint32_t>(static_cast<time_t>(start + c.at) + c.ahead));
      ASSERT_EQ(qorhash_append(text, sizeof text), 0);
      said.push_back(std::string(c.target) + " " +
                     qorlisten::Judge(&w, qorlisten::ParseCommand(text), start + c.at));
    }
    advance(second);
  }
  EXPECT_EQ(said, k.said);
  const std::string line = qorlisten::CheckVerdict(w, k.seconds, "0.0.0.0:1962").line;
  EXPECT_EQ(line.substr(0, k.check.size()), k.check) << line;
}

const char kLamp[] = "lamp 1 0800 0900\n";

INSTANTIATE_TEST_SUITE_P(
    Streams, WatchTable,
    ::testing::Values(
        WatchCase{"ChangeMinuteArrivesInItsFirstSeconds", kLamp, "", "08:00:50", 40,
                  {{5, "lamp-1-OFF"}, {10.2, "lamp-1-ON"}, {15, "lamp-1-ON"}},
                  {"lamp-1-OFF as scheduled", "lamp-1-ON as scheduled", "lamp-1-ON as scheduled"},
                  "QORTIMER OK - 1 pair as scheduled | heard=3 wrong=0 silent=0 late=0 "
                  "clock_off_s=-0.2 unscheduled=0 bad=0"},
        WatchCase{"ChangeAfterTenSecondsIsLate", kLamp, "", "08:00:50", 40,
                  {{5, "lamp-1-OFF"}, {22.5, "lamp-1-ON"}},
                  {"lamp-1-OFF as scheduled", "lamp-1 LATE: no ON within 10 s of 08:01",
                   "lamp-1-ON as scheduled"},
                  "QORTIMER WARNING - LATE lamp-1 | heard=2 wrong=0 silent=0 late=1 "},
        WatchCase{"OvernightIntervalEndsAtItsMorningMinute", "heater x 2200 0600\n", "",
                  "05:59:50", 20, {{5, "heater-x-ON"}, {10, "heater-x-OFF"}, {15, "heater-x-ON"}},
                  {"heater-x-ON as scheduled", "heater-x-OFF as scheduled",
                   "heater-x-ON WRONG STATE (schedule: OFF)"},
                  "QORTIMER CRITICAL - WRONG STATE heater-x | heard=3 wrong=1 silent=0 "},
        WatchCase{"EndAt2400ChangesAtMidnight", "pump 1 2000 2400\n", "", "23:59:50", 20,
                  {{5, "pump-1-ON"}, {10, "pump-1-OFF"}},
                  {"pump-1-ON as scheduled", "pump-1-OFF as scheduled"},
                  "QORTIMER OK - 1 pair as scheduled | "},
        WatchCase{"PairNotInTheFile", kLamp, "", "12:00:00", 10, {{1, "fan-2-ON"}},
                  {"fan-2-ON NOT SCHEDULED"},
                  "QORTIMER WARNING - NOT SCHEDULED fan-2; NOT HEARD lamp-1 (a check longer "
                  "than 305 s hears every pair) | heard=1 wrong=0 silent=0 late=0 "
                  "clock_off_s=0.0 unscheduled=1 bad=0"},
        WatchCase{"ClockOffByMoreThanTwoSeconds", "lamp 1 1300 1500\n", "", "12:00:00", 10,
                  {{1, "lamp-1-ON", 7200}, {3.9, "lamp-1-OFF", -1}, {5.1, "lamp-1-OFF", -2}},
                  {"lamp-1-ON as scheduled, CLOCK OFF by +7200.0 s", "lamp-1-OFF as scheduled",
                   "lamp-1-OFF as scheduled, CLOCK OFF by -2.1 s"},
                  "QORTIMER WARNING - CLOCK OFF by +7200.0 s | heard=3 wrong=0 silent=0 late=0 "
                  "clock_off_s=7200.0 "},
        WatchCase{"SilentPairsAndOneComingBack", "lamp 1 0800 0900\nfan 2 0000 0000\npump 3 1 2\n",
                  "", "12:00:00", 420,
                  {{1, "lamp-1-OFF"}, {1, "fan-2-ON"}, {300, "lamp-1-OFF"}, {400, "fan-2-ON"}},
                  {"lamp-1-OFF as scheduled", "fan-2-ON as scheduled", "lamp-1-OFF as scheduled",
                   "pump-3 SILENT: not heard for 306 s", "fan-2 SILENT: not heard for 306 s",
                   "fan-2-ON as scheduled, heard again after 399 s"},
                  "QORTIMER CRITICAL - SILENT fan-2, pump-3 | heard=4 wrong=0 silent=2 "},
        // 13:00:50 UTC is 08:00:50 in New York, where the lamp turns ON at 08:01.
        WatchCase{"BoardZoneIsNotTheListeners", kLamp, "America/New_York", "13:00:50", 30,
                  {{5, "lamp-1-OFF"}, {10, "lamp-1-ON"}},
                  {"lamp-1-OFF as scheduled", "lamp-1-ON as scheduled"},
                  "QORTIMER OK - 1 pair as scheduled | "},
        WatchCase{"NothingHeard", kLamp, "", "12:00:00", 10, {}, {},
                  "QORTIMER CRITICAL - NOTHING HEARD on 0.0.0.0:1962 in 10 s | heard=0 "}),
    [](const auto &info) { return std::string(info.param.name); });

}  // namespace
