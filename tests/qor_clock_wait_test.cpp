// Tests of the wait for a right clock, in simulated time: the kernel's
// answers come from a script, each sleep moves the monotonic clock on.
#include "qor_clock_wait.h"

#include <gtest/gtest.h>
#include <sys/timex.h>

#include <cerrno>
#include <cstdint>
#include <ostream>
#include <string>
#include <vector>

namespace {

constexpr int64_t kMs = 1000000;

// adjtimex()'s answer: the clock state and the maximum error (us).
struct Answer {
  int state;
  long maxerror;
};
const Answer kFails{-1, 0};  // adjtimex() fails with EPERM
const Answer kSynced{TIME_OK, 1000};
const Answer kUnsynced{TIME_ERROR, 16000000};  // the kernel's answer before any time service

struct Sim {
  std::vector<Answer> answers;  // one per question; the last one repeats
  size_t asked = 0;
  int64_t mono = 5000 * kMs;
  int64_t late = 0;               // how late each sleep wakes
  std::vector<int> sleep_rcs;     // one per sleep; then 0
  std::vector<int64_t> naps;      // ms
  std::vector<std::string> status;
  std::vector<int64_t> alive;  // the monotonic time of each sign of life
};
Sim sim;

int SimState(long *maxerror) {
  const Answer a = sim.answers[std::min(sim.asked++, sim.answers.size() - 1)];
  if (a.state < 0) errno = EPERM;
  *maxerror = a.maxerror;
  return a.state;
}
int SimMonotonic(timespec *t) {
  *t = timespec{static_cast<time_t>(sim.mono / 1000000000), static_cast<long>(sim.mono % 1000000000)};
  return 0;
}
int SimSleep(const timespec *relative) {
  const int64_t nap = static_cast<int64_t>(relative->tv_sec) * 1000000000 + relative->tv_nsec;
  const size_t i = sim.naps.size();
  sim.naps.push_back(nap / kMs);
  const int rc = i < sim.sleep_rcs.size() ? sim.sleep_rcs[i] : 0;
  if (rc == 0 || rc == EINTR) sim.mono += (rc == 0 ? nap : nap / 2) + sim.late;
  return rc;
}
void SimStatus(const char *assignments) { sim.status.push_back(assignments); }
void SimAlive() { sim.alive.push_back(sim.mono); }
const qor_clock_wait_clock kSim{SimState, SimMonotonic, SimSleep};

struct WaitCase {
  const char *name;
  long seconds;
  std::vector<Answer> answers;
  std::vector<int> sleep_rcs;
  int64_t late;                // ms
  qor_clock_wait_result result;
  std::vector<int64_t> naps;   // ms
  std::string err;
};

void PrintTo(const WaitCase &c, std::ostream *os) { *os << c.name; }

const char kBegins[] =
    " *** WARNING: Clock not synchronized; waiting up to 3 s for it before the first pass\n";
const std::vector<std::string> kWaitStatus = {
    "STATUS=waiting for the clock to be synchronized (up to 3 s)", "STATUS="};

using R = qor_clock_wait_result;
const WaitCase kWaitCases[] = {
    {"NoWaitAsksNothing", 0, {kFails}, {}, 0, R::kNotAsked, {}, ""},
    {"ASynchronizedClockIsQuiet", 3, {kSynced}, {}, 0, R::kSynchronized, {}, ""},
    {"AsksOnceASecondUntilSynchronized", 3, {kUnsynced, kUnsynced, kSynced}, {}, 0,
     R::kSynchronizedAfterWaiting, {1000, 1000},
     std::string(kBegins) + " *** WARNING: Clock synchronized after 2 s; starting\n"},
    {"GivesUpWhenTheWaitIsOver", 3, {kUnsynced}, {}, 0, R::kGaveUp, {1000, 1000, 1000},
     std::string(kBegins) + " *** WARNING: Clock still not synchronized after 3 s; starting anyway\n"},
    {"LateWakesDoNotStretchTheWait", 3, {kUnsynced}, {}, 400, R::kGaveUp, {1000, 1000, 200},
     std::string(kBegins) + " *** WARNING: Clock still not synchronized after 3 s; starting anyway\n"},
    {"AnInterruptedSleepSleepsOnlyWhatIsLeft", 3, {kUnsynced}, {EINTR}, 0, R::kGaveUp,
     {1000, 1000, 1000, 500},
     std::string(kBegins) + " *** WARNING: Clock still not synchronized after 3 s; starting anyway\n"},
    {"AQuestionRefusedAtOnceStartsAtOnce", 3, {kFails}, {}, 0, R::kCannotWait, {},
     " *** WARNING: Unable to wait for the clock (adjtimex: Operation not permitted); starting at"
     " once\n"},
    {"ASleepRefusedEndsTheWait", 3, {kUnsynced}, {EPERM}, 0, R::kCannotWait, {1000},
     std::string(kBegins) +
         " *** WARNING: Unable to wait for the clock (clock_nanosleep: Operation not permitted);"
         " starting at once\n"},
};

class ClockWaitTest : public ::testing::TestWithParam<WaitCase> {};

TEST_P(ClockWaitTest, WaitsForTheKernelsAnswerOrTheEndOfTheWait) {
  const WaitCase &c = GetParam();
  sim = Sim{};
  sim.answers = c.answers;
  sim.sleep_rcs = c.sleep_rcs;
  sim.late = c.late * kMs;
  const int64_t begun = sim.mono;
  testing::internal::CaptureStderr();
  EXPECT_EQ(qor_clock_wait(c.seconds, kSim, SimStatus, SimAlive), c.result);
  EXPECT_EQ(testing::internal::GetCapturedStderr(), c.err);
  EXPECT_EQ(sim.naps, c.naps);
  const bool began = c.err.rfind(kBegins, 0) == 0;
  EXPECT_EQ(sim.status, began ? kWaitStatus : std::vector<std::string>{});
  // A waiting daemon shows it is alive at least once a second (a late wake aside).
  EXPECT_EQ(sim.alive.empty(), sim.naps.empty());
  for (size_t i = 1; i < sim.alive.size(); i++)
    EXPECT_LE(sim.alive[i] - sim.alive[i - 1], (1000 + c.late) * kMs) << "sign of life " << i;
  if (c.result == R::kGaveUp) {  // the whole wait, and at most one late wake more
    EXPECT_GE(sim.mono - begun, 3000 * kMs);
    EXPECT_LE(sim.mono - begun, (3000 + c.late) * kMs);
  }
}

INSTANTIATE_TEST_SUITE_P(SimulatedClock, ClockWaitTest, ::testing::ValuesIn(kWaitCases),
                         [](const auto &info) { return std::string(info.param.name); });

// The kernel's answers: synchronized is a maximum error below 16 s, whatever
// the state (TIME_ERROR whenever the "unsynchronized" flag is set) says.
TEST(ClockWaitAnswerTest, SynchronizedMeansAMaximumErrorBelowSixteenSeconds) {
  for (const int state : {TIME_OK, TIME_INS, TIME_DEL, TIME_OOP, TIME_WAIT, TIME_ERROR}) {
    EXPECT_TRUE(qor_clock_wait_synchronized(state, 1000)) << "state " << state;
    EXPECT_TRUE(qor_clock_wait_synchronized(state, 15999999)) << "state " << state;
    EXPECT_FALSE(qor_clock_wait_synchronized(state, 16000000)) << "state " << state;
  }
  // A failed question, an error the kernel does not know.
  EXPECT_FALSE(qor_clock_wait_synchronized(-1, 1000) || qor_clock_wait_synchronized(TIME_OK, -1));
}

TEST(ClockWaitSettingTest, AcceptsWholeSecondsUpToADay) {
  const std::pair<const char *, long> kCases[] = {
      {"0", 0}, {"300", 300}, {"86400", 86400}, {"0300", 300}, {"86401", -1},
      {"", -1}, {"-1", -1},   {"+5", -1},       {"5 ", -1},    {"1e3", -1},
      {"99999999999999999999", -1}};
  for (const auto &c : kCases) {
    long seconds = -1;
    EXPECT_EQ(qor_clock_wait_parse(c.first, &seconds), c.second >= 0) << c.first;
    EXPECT_EQ(seconds, c.second) << c.first;
  }
}

}  // namespace
