// The polling pass against a straightforward model of the resend policy,
// driven through simulated time, and the allocations of a pass and of the
// status line composed after it.
//
// The model is the policy as documented, written plainly: evaluate every
// interval of every entry on every pass; a state change sends at once;
// otherwise, with the differences in seconds d_c = now - last_change and
// d_s = now - last_sent taken by difftime(), send when
// d_c <= 300 ? d_s >= 5 : d_s >= 300. Whatever shortcut the pass takes must
// leave every send, every log record and every field as the model has them.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include "qor_socket.h"
#include "qor_status.h"
#include "qorhash.h"
#include "qortimer.h"
#include "test_util.h"

// ------------------------------------------------------ allocation counter

// Counts the process's allocations while `counting` is set, by standing in
// for glibc's malloc family; sanitizers bring their own, so not with them.
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
#define QOR_COUNT_ALLOCATIONS 0
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer) || \
    __has_feature(memory_sanitizer)
#define QOR_COUNT_ALLOCATIONS 0
#endif
#endif
#if !defined(QOR_COUNT_ALLOCATIONS) && defined(__GLIBC__)
#define QOR_COUNT_ALLOCATIONS 1
#endif

namespace {
std::atomic<bool> counting{false};
std::atomic<long> allocations{0};
}  // namespace

#if QOR_COUNT_ALLOCATIONS
extern "C" {
void *__libc_malloc(size_t size);
void *__libc_calloc(size_t count, size_t size);
void *__libc_realloc(void *ptr, size_t size);

void *malloc(size_t size) noexcept {
  if (counting.load(std::memory_order_relaxed)) allocations++;
  return __libc_malloc(size);
}
void *calloc(size_t count, size_t size) noexcept {
  if (counting.load(std::memory_order_relaxed)) allocations++;
  return __libc_calloc(count, size);
}
void *realloc(void *ptr, size_t size) noexcept {
  if (counting.load(std::memory_order_relaxed)) allocations++;
  return __libc_realloc(ptr, size);
}
}
#endif

namespace {

using qortest::TempDir;

constexpr time_t kTimeMin = std::numeric_limits<time_t>::min();
constexpr time_t kTimeMax = std::numeric_limits<time_t>::max();
// Central European time, with its summer time, without needing tzdata.
constexpr const char *kZone = "CET-1CEST,M3.5.0,M10.5.0/3";

struct Interval {
  int on, off;  // HHMM
};

struct ModelEntry {
  std::string device, channel;
  std::vector<Interval> intervals;
  int state = -1;
  time_t last_change = 0, last_sent = 0;
};

std::string Hex8(uintmax_t value) {
  char buf[9];
  snprintf(buf, sizeof buf, "%08x", static_cast<unsigned>(value & 0xffffffffu));
  return buf;
}

bool ModelOn(int hhmm, const std::vector<Interval> &intervals) {
  for (const Interval &i : intervals) {
    if (i.off > i.on ? i.on < hhmm && hhmm < i.off : hhmm > i.on || hhmm < i.off) return true;
  }
  return false;
}

bool ModelRepeatDue(const ModelEntry &e, time_t now) {
  const double since_sent = difftime(now, e.last_sent);
  return difftime(now, e.last_change) <= 300 ? since_sent >= 5 : since_sent >= 300;
}

// The log record the daemon must write for a send: the command and the
// ctime line (the send's result between them is the transport's business).
std::string ModelRecord(const ModelEntry &e, int state, time_t now, clock_t ticks) {
  char command[2048];
  snprintf(command, sizeof command, "qorctrl command QORTIMER-%s-%s-%s %s-%s-",
           e.device.c_str(), e.channel.c_str(), state ? "ON" : "OFF", Hex8(now).c_str(),
           Hex8(static_cast<uintmax_t>(ticks)).c_str());
  EXPECT_EQ(qorhash_append(command, 2047), 0);
  char when[64];
  return std::string(command) + " | " + (ctime_r(&now, when) ? when : "?\n");
}

// A random schedule of a few pairs, several intervals each, mostly near
// `around` (minute of day) so that states change while a scenario runs,
// with the odd whole-day, midnight and 24:00 interval.
std::vector<ModelEntry> RandomSchedule(std::mt19937 &rng, int around, std::string *text) {
  const int pairs = 1 + static_cast<int>(rng() % 10);
  std::vector<ModelEntry> model;
  std::vector<int> first_seen(pairs, -1);
  std::vector<std::pair<int, Interval>> lines;
  for (int p = 0; p < pairs; p++) {
    const int count = 1 + static_cast<int>(rng() % 4);
    for (int k = 0; k < count; k++) {
      auto near = [&] {
        const int m = ((around + static_cast<int>(rng() % 241) - 60) % 1440 + 1440) % 1440;
        return m / 60 * 100 + m % 60;
      };
      Interval i{near(), near()};
      switch (rng() % 10) {
        case 0: i.off = i.on; break;
        case 1: i.off = 2400; break;
        case 2: i.on = 0; break;
        default: break;
      }
      lines.push_back({p, i});
    }
  }
  std::shuffle(lines.begin(), lines.end(), rng);
  for (const auto &line : lines) {
    const int p = line.first;
    if (first_seen[p] < 0) {
      first_seen[p] = static_cast<int>(model.size());
      model.push_back(ModelEntry{"dev" + std::to_string(p / 2), "ch" + std::to_string(p), {}});
    }
    model[first_seen[p]].intervals.push_back(line.second);
    *text += model[first_seen[p]].device + " " + model[first_seen[p]].channel + " " +
             std::to_string(line.second.on) + " " + std::to_string(line.second.off) + "\n";
  }
  return model;
}

// A context with an open socket (inside the private network) and a log
// file, in which the real pass and the model run side by side.
class PassModelTest : public ::testing::Test {
 protected:
  void SetUp() override {
    REQUIRE_PRIVATE_NETNS();
    setenv("TZ", kZone, 1);
    tzset();
    Open();
  }
  void TearDown() override { Close(); }

  // A fresh context, log file and socket.
  void Open() {
    memset(&qor_, 0, sizeof qor_);
    qor_.logfile = fopen(dir_.File(kQorLogFile).c_str(), "w+");
    ASSERT_NE(qor_.logfile, nullptr);
    qor_init_socket();
    socket_open_ = true;
    model_.clear();
    expected_.clear();
  }
  void Close() {
    if (socket_open_) qor_socket_close();
    socket_open_ = false;
    if (qor_.logfile) fclose(qor_.logfile);
    qor_.logfile = nullptr;
  }

  void Read(const std::string &text) {
    std::string copy = text;
    qor_.timer_stream = fmemopen(&copy[0], copy.size(), "r");
    ASSERT_NE(qor_.timer_stream, nullptr);
    qor_read_file(&qor_);
    fclose(qor_.timer_stream);
    qor_.timer_stream = nullptr;
  }

  // One pass of the daemon and of the model; the first difference in the
  // context's stamps or in any entry's fields, or "".
  std::string Step(time_t now, clock_t ticks) {
    qor_pass(&qor_, ticks, now);
    tm local;
    localtime_r(&now, &local);
    const int hhmm = local.tm_hour * 100 + local.tm_min;
    for (ModelEntry &e : model_) {
      const int state = ModelOn(hhmm, e.intervals);
      if (state != e.state)
        e.last_change = now;
      else if (!ModelRepeatDue(e, now))
        continue;
      expected_.push_back(ModelRecord(e, state, now, ticks));
      e.state = state;
      e.last_sent = now;
    }
    if (qor_.now != now || qor_.ticks != ticks || qor_.time_hex != Hex8(now) ||
        qor_.clock_hex != Hex8(static_cast<uintmax_t>(ticks)) || qor_.hour != local.tm_hour ||
        qor_.minute != local.tm_min)
      return "context stamps differ";
    const qor_entry *q = qor_.entries;
    for (const ModelEntry &e : model_) {
      if (q == nullptr) return "too few entries";
      if (q->state != e.state || q->last_change != e.last_change || q->last_sent != e.last_sent)
        return "entry " + e.device + "-" + e.channel + ": state " + std::to_string(q->state) +
               " last_change " + std::to_string(q->last_change) + " last_sent " +
               std::to_string(q->last_sent) + ", model " + std::to_string(e.state) + " " +
               std::to_string(e.last_change) + " " + std::to_string(e.last_sent);
      q = q->next;
    }
    return q == nullptr ? "" : "too many entries";
  }

  // The log's records as "command | ctime line".
  std::vector<std::string> Logged() {
    fflush(qor_.logfile);
    std::string log = qortest::ReadFile(dir_.File(kQorLogFile));
    std::vector<std::string> records;
    for (size_t at = 0; at < log.size();) {
      const size_t head_end = log.find('\n', at);
      const size_t when_end = log.find('\n', head_end + 1);
      if (head_end == std::string::npos || when_end == std::string::npos) {
        ADD_FAILURE() << "torn log record at byte " << at;
        break;
      }
      const std::string head = log.substr(at, head_end - at);
      records.push_back(head.substr(0, head.rfind(" (")) + " | " +
                        log.substr(head_end + 1, when_end - head_end));
      at = when_end + 1;
    }
    return records;
  }

  void ExpectLoggedAsModelled() {
    const std::vector<std::string> logged = Logged();
    const size_t n = std::min(logged.size(), expected_.size());
    for (size_t i = 0; i < n; i++)
      ASSERT_EQ(logged[i], expected_[i]) << "record " << i << " of " << expected_.size();
    EXPECT_EQ(logged.size(), expected_.size());
  }

  TempDir dir_;
  bool socket_open_ = false;
  std::vector<ModelEntry> model_;
  std::vector<std::string> expected_;
  static qor_context qor_;
};

qor_context PassModelTest::qor_;

// How simulated time moves from one pass to the next.
enum class Walk {
  kSeveralPassesASecond,  // 0 or +1 s, as the loop sees the clock
  kJumps,                 // 0 to 700 s ahead
  kBackwardSteps,         // mostly +1 s, now and then back by up to a day
  kFarAndWide,            // now and then up to 2^41 s ahead or 2^40 s back
};

struct Scenario {
  const char *name;
  time_t start;
  int passes;
  Walk walk;
};

void PrintTo(const Scenario &s, std::ostream *os) { *os << s.name; }

time_t NextTime(std::mt19937 &rng, time_t t, Walk walk) {
  static const time_t kBack[] = {1, 4, 5, 59, 60, 61, 299, 300, 301, 3600, 86400};
  switch (walk) {
    case Walk::kSeveralPassesASecond: return t + (rng() % 3 == 0 ? 1 : 0);
    case Walk::kJumps: return t + static_cast<time_t>(rng() % 701);
    case Walk::kBackwardSteps:
      if (rng() % 500 == 0) return t - kBack[rng() % (sizeof kBack / sizeof kBack[0])];
      return t + (rng() % 2);
    case Walk::kFarAndWide:  // drifting ahead, so that new highs keep repeats due
      if (rng() % 4 == 0)
        return t + static_cast<time_t>(std::uniform_int_distribution<int64_t>(
                       -(int64_t{1} << 40), int64_t{1} << 41)(rng));
      return t + static_cast<time_t>(rng() % 400);
  }
  return t;
}

constexpr Scenario kScenarios[] = {
    {"SeveralPassesASecondForThreeHours", 1796774400, 30000, Walk::kSeveralPassesASecond},
    {"IntoSummerTime", 1774744200, 20000, Walk::kSeveralPassesASecond},  // 2026-03-29 01:30 CET
    {"BackIntoWinterTime", 1792886400, 30000, Walk::kBackwardSteps},     // 2026-10-25 02:00 CEST
    {"JumpsAhead", 1796774400, 5000, Walk::kJumps},
    {"BackwardSteps", 1796800000, 30000, Walk::kBackwardSteps},
    {"AcrossThe32BitWrapOfTheStamp", 4294967296 - 3600, 20000, Walk::kSeveralPassesASecond},
    {"FarAndWide", 0, 5000, Walk::kFarAndWide},
};

class PassScenarioTest : public PassModelTest,
                         public ::testing::WithParamInterface<Scenario> {};

TEST_P(PassScenarioTest, SendsAndFieldsMatchTheModelOnEveryPass) {
  const Scenario &s = GetParam();
  size_t sends = 0;
  for (unsigned seed = 1; seed <= 4; seed++) {
    SCOPED_TRACE("seed " + std::to_string(seed));
    if (seed > 1) {
      Close();
      Open();
    }
    std::mt19937 rng(seed);
    tm local;
    localtime_r(&s.start, &local);
    std::string text;
    model_ = RandomSchedule(rng, local.tm_hour * 60 + local.tm_min, &text);
    Read(text);
    time_t t = s.start;
    clock_t ticks = static_cast<clock_t>(0xfff00000u);
    for (int i = 0; i < s.passes; i++) {
      const std::string diff = Step(t, ticks);
      ASSERT_EQ(diff, "") << "pass " << i << " at " << t << " on schedule\n" << text;
      t = NextTime(rng, t, s.walk);
      ticks += static_cast<clock_t>(rng() % 5000);
    }
    ExpectLoggedAsModelled();
    sends += expected_.size();
  }
  EXPECT_GT(sends, 100u) << "a scenario that sends next to nothing checks little";
}

INSTANTIATE_TEST_SUITE_P(Walks, PassScenarioTest, ::testing::ValuesIn(kScenarios),
                         [](const auto &info) { return std::string(info.param.name); });

// Differences of absurd times saturate instead of overflowing: each row is
// one pass with the entry's state unchanged, so only the repeat rule acts.
struct Extreme {
  time_t now, last_change, last_sent;
  bool sends;
};

TEST_F(PassModelTest, RepeatRuleHoldsForDifferencesBeyondTheRangeOfTime) {
  const Extreme rows[] = {
      {0, kTimeMax, kTimeMax, false},  // both far ahead
      {0, kTimeMin, kTimeMin, true},   // both far behind: long cadence, due
      {2000000000, kTimeMin, 2000000000 - 300, true},
      {2000000000, kTimeMin, 2000000000 - 299, false},
      {-2000000000, kTimeMax, -2000000000 - 5, true},  // change ahead: short cadence
      {-2000000000, kTimeMax, -2000000000 - 4, false},
      {-2000000000, kTimeMax, kTimeMin, true},
      {2000000000, kTimeMax, kTimeMin, true},
      {1, kTimeMin + 1, kTimeMax, false},
      {-1000, -1300, -1005, true},  // exactly 300 s since the change: short cadence
      {-1000, -1301, -1005, false},
  };
  for (const Extreme &r : rows) {
    SCOPED_TRACE("now " + std::to_string(r.now) + " last_change " +
                 std::to_string(r.last_change) + " last_sent " + std::to_string(r.last_sent));
    model_ = {ModelEntry{"lamp", "1", {{800, 900}}}};
    Read("lamp 1 0800 0900\n");
    tm local;
    localtime_r(&r.now, &local);
    ModelEntry &m = model_[0];
    m.state = qor_.entries->state = ModelOn(local.tm_hour * 100 + local.tm_min, m.intervals);
    m.last_change = qor_.entries->last_change = r.last_change;
    m.last_sent = qor_.entries->last_sent = r.last_sent;
    const size_t sends_before = expected_.size();
    ASSERT_EQ(Step(r.now, 0), "");
    EXPECT_EQ(expected_.size() - sends_before, r.sends ? 1u : 0u);
  }
  ExpectLoggedAsModelled();
}

TEST_F(PassModelTest, PassesAllocateNothing) {
#if !QOR_COUNT_ALLOCATIONS
  GTEST_SKIP() << "allocations are not counted in this build";
#endif
  std::string text;
  for (int i = 0; i < 200; i++)
    text += "dev" + std::to_string(i) + " 1 " + std::to_string(700 + i % 3) + " 0800\n";
  Read(text);
  const time_t start = 1796795940;  // 06:59:00 CET: states change at 07:01 and 07:02
  qor_pass(&qor_, 0, start);      // the first sends set up the streams' buffers
  const long before = ftell(qor_.logfile);
  // The service's status line is composed after passes that change a state.
  const qor_follow_state follow{};
  char status[kQorStatusSize];
  allocations = 0;
  counting = true;
  for (int i = 0; i < 4000; i++) {
    qor_pass(&qor_, i, start + i / 20);  // 200 s, 20 a second
    if (i % 20 == 0) qor_status_compose(&qor_, &follow, status);
  }
  counting = false;
  EXPECT_EQ(allocations.load(), 0);
  // Proof that the counted passes did send, and that counting works.
  EXPECT_GT(ftell(qor_.logfile) - before, 100 * 200);
  counting = true;
  void *volatile probe = malloc(16);
  counting = false;
  EXPECT_NE(probe, nullptr);
  free(probe);
  EXPECT_EQ(allocations.load(), 1);
}

}  // namespace
