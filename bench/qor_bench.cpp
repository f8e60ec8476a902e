// Benchmarks of the daemon's hot path, the polling pass, against the floor
// every pass pays for reading the clocks, and of its neighbours: building
// a command, the hash, and reading timer files. The last line printed is a
// one-line summary of the figures that matter (see docs/performance.md).
//
// Nothing here can transmit: no benchmark opens the daemon's socket, so a
// send could only fail on a closed descriptor; the schedules are built so
// that no send is ever due in a timed pass, and each pass benchmark checks
// afterwards that none happened.
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <map>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "qorhash.h"
#include "qortimer.h"

namespace {

constexpr int kMinutesPerDay = 24 * 60;
constexpr int kPairs = 1000;          // device/channel pairs of the reader files
constexpr time_t kSettled = 1000;     // last change this long before the start
constexpr int kSimulatedSeconds = 299;  // new-second passes stay below 300 s

std::string Hhmm(int minute_of_day) {
  char buf[8];
  snprintf(buf, sizeof buf, "%02d%02d", minute_of_day / 60 % 24, minute_of_day % 60);
  return buf;
}

// A daemon context holding `n` entries of two intervals each, read through
// qor_read_file as the daemon reads them, in the steady state of a daemon
// that last sent every entry at `base` long after its last change. Every
// interval lies 2 to 21 hours after base, so no entry changes state (and
// none is due for a repeat) for the next 300 seconds.
class SteadySchedule {
 public:
  explicit SteadySchedule(int n) : qor_(new qor_context()) {
    base_ = qor_calendar_time();
    tm local;
    localtime_r(&base_, &local);
    const int window = local.tm_hour * 60 + 120;
    std::mt19937 rng(12345);
    std::string text;
    for (int i = 0; i < n; i++) {
      for (int j = 0; j < 2; j++) {
        const int start = window + static_cast<int>(rng() % (17 * 60));
        const int end = start + 1 + static_cast<int>(rng() % 120);
        text += "dev" + std::to_string(i) + " ch" + std::to_string(i % 8) + " " +
                Hhmm(start % kMinutesPerDay) + " " + Hhmm(end % kMinutesPerDay) + "\n";
      }
    }
    qor_->timer_stream = fmemopen(&text[0], text.size(), "r");
    snprintf(qor_->infile, sizeof qor_->infile, "bench");
    qor_read_file(qor_.get());
    fclose(qor_->timer_stream);
    qor_->timer_stream = nullptr;

    for (qor_entry *e = qor_->entries; e != nullptr; e = e->next) {
      e->state = qor_is_on(local.tm_hour, local.tm_min, e->timers);
      e->last_change = base_ - kSettled;
      e->last_sent = base_;
    }
  }
  ~SteadySchedule() { qor_free_entries(qor_->entries); }
  SteadySchedule(const SteadySchedule &) = delete;
  SteadySchedule &operator=(const SteadySchedule &) = delete;

  qor_context *qor() { return qor_.get(); }
  time_t base() const { return base_; }

  // Marks the benchmark failed if any pass sent, or any entry was ON.
  void CheckNothingSent(benchmark::State &state) const {
    for (const qor_entry *e = qor_->entries; e != nullptr; e = e->next) {
      if (e->last_sent != base_ || e->state != 0) {
        state.SkipWithError("a timed pass sent a command");
        return;
      }
    }
  }

 private:
  std::unique_ptr<qor_context> qor_;
  time_t base_;
};

// What every pass must do before it can look at a single entry.
void BM_Floor(benchmark::State &state) {
  char clock_hex[9], time_hex[9];
  tm local;
  for (auto _ : state) {
    const clock_t ticks = clock();
    const time_t now = qor_calendar_time();
    snprintf(clock_hex, sizeof clock_hex, "%08x", static_cast<unsigned>(ticks));
    snprintf(time_hex, sizeof time_hex, "%08x", static_cast<unsigned>(now));
    localtime_r(&now, &local);
    benchmark::DoNotOptimize(clock_hex);
    benchmark::DoNotOptimize(time_hex);
    benchmark::DoNotOptimize(local);
  }
}
BENCHMARK(BM_Floor);

// Passes as the loop runs them, on the real clocks.
void BM_LoopPass(benchmark::State &state) {
  SteadySchedule s(static_cast<int>(state.range(0)));
  for (auto _ : state) qor_pass(s.qor(), clock(), qor_calendar_time());
  s.CheckNothingSent(state);
}
BENCHMARK(BM_LoopPass)->Arg(1)->Arg(100)->Arg(10000);

// Passes each in a calendar second of its own, so every entry is looked
// at; simulated time runs 1 to 299 s after the last sends, then again.
void BM_NewSecondPass(benchmark::State &state) {
  SteadySchedule s(static_cast<int>(state.range(0)));
  int k = 0;
  for (auto _ : state) {
    k = k == kSimulatedSeconds ? 1 : k + 1;
    qor_pass(s.qor(), clock(), s.base() + k);
  }
  s.CheckNothingSent(state);
}
BENCHMARK(BM_NewSecondPass)->Arg(1)->Arg(100)->Arg(10000);

// Passes each in a minute of its own, so every interval is evaluated too
// (the first pass of every minute); 60 to 240 s after the last sends.
void BM_NewMinutePass(benchmark::State &state) {
  SteadySchedule s(static_cast<int>(state.range(0)));
  int k = 0;
  for (auto _ : state) {
    k = k == 4 ? 1 : k + 1;
    qor_pass(s.qor(), clock(), s.base() + 60 * k);
  }
  s.CheckNothingSent(state);
}
BENCHMARK(BM_NewMinutePass)->Arg(1)->Arg(10000);

// Building and hashing one command, without sending it.
void BM_Command(benchmark::State &state) {
  auto qor = std::make_unique<qor_context>();
  qor_entry e{};
  snprintf(e.device, sizeof e.device, "lamp");
  snprintf(e.channel, sizeof e.channel, "1");
  snprintf(qor->time_hex, sizeof qor->time_hex, "5f5e1000");
  snprintf(qor->clock_hex, sizeof qor->clock_hex, "0000a2c8");
  for (auto _ : state) benchmark::DoNotOptimize(qor_build_command(&e, e.channel, "ON", qor.get()));
  if (strlen(qor->command) != 57) state.SkipWithError("command is not 57 bytes long");
}
BENCHMARK(BM_Command);

void BM_Qorhash57(benchmark::State &state) {
  char text[] = "qorctrl command QORTIMER-lamp-1-ON 5f5e1000-0000a2c8-1a2b";
  static_assert(sizeof text == 58, "a 57-byte command");
  char out[5];
  for (auto _ : state) {
    benchmark::DoNotOptimize(qorhash(text, out, nullptr));
    benchmark::ClobberMemory();
  }
}
BENCHMARK(BM_Qorhash57);

// Reading a timer file of `lines` good lines over 1,000 pairs.
void BM_ReadFile(benchmark::State &state) {
  const int lines = static_cast<int>(state.range(0));
  const char *dir = getenv("TMPDIR");
  std::string path = std::string(dir && *dir ? dir : "/tmp") + "/qor_bench.XXXXXX";
  const int fd = mkstemp(&path[0]);
  if (fd < 0) {
    state.SkipWithError("cannot create a temporary file");
    return;
  }
  close(fd);
  {
    std::mt19937 rng(42);
    std::string text;
    for (int i = 0; i < lines; i++) {
      const int pair = i % kPairs;
      text += "device" + std::to_string(pair) + " channel" + std::to_string(pair % 16) + " " +
              Hhmm(static_cast<int>(rng() % kMinutesPerDay)) + " " +
              Hhmm(static_cast<int>(rng() % kMinutesPerDay)) + "\n";
    }
    FILE *f = fopen(path.c_str(), "w");
    fwrite(text.data(), 1, text.size(), f);
    fclose(f);
  }

  auto qor = std::make_unique<qor_context>();
  snprintf(qor->infile, sizeof qor->infile, "%s", path.c_str());
  for (auto _ : state) {
    qor->entries = nullptr;
    qor->timer_stream = fopen(path.c_str(), "r");
    qor_read_file(qor.get());
    fclose(qor->timer_stream);
    state.PauseTiming();
    qor_free_entries(qor->entries);
    state.ResumeTiming();
  }
  unlink(path.c_str());
}
BENCHMARK(BM_ReadFile)->Arg(1000)->Arg(100000)->Unit(benchmark::kMillisecond);

// Shows the usual table and keeps each benchmark's median CPU time per
// iteration, in nanoseconds, for the summary.
class SummaryReporter : public benchmark::ConsoleReporter {
 public:
  SummaryReporter() : ConsoleReporter(isatty(1) ? OO_ColorTabular : OO_Tabular) {}

  void ReportRuns(const std::vector<Run> &runs) override {
    for (const Run &r : runs) {
      if (r.error_occurred) failed_ = true;
      const bool median = r.run_type == Run::RT_Aggregate && r.aggregate_name == "median";
      if (median || (r.run_type == Run::RT_Iteration && r.repetitions <= 1))
        ns_[r.run_name.str()] =
            r.GetAdjustedCPUTime() * 1e9 / benchmark::GetTimeUnitMultiplier(r.time_unit);
    }
    ConsoleReporter::ReportRuns(runs);
  }

  // The median time of `name` in nanoseconds; 0 when it did not run.
  double Ns(const std::string &name) const {
    auto it = ns_.find(name);
    return it == ns_.end() ? 0 : it->second;
  }
  bool failed() const { return failed_; }

 private:
  std::map<std::string, double> ns_;
  bool failed_ = false;
};

}  // namespace

int main(int argc, char **argv) {
  // Defaults for a noisy shared machine: medians of interleaved repetitions.
  std::vector<char *> args(argv, argv + argc);
  std::vector<std::string> defaults{"--benchmark_repetitions=5",
                                    "--benchmark_enable_random_interleaving=true",
                                    "--benchmark_display_aggregates_only=true"};
  for (std::string &d : defaults) {
    const std::string flag = d.substr(0, d.find('=') + 1);
    if (std::none_of(argv + 1, argv + argc,
                     [&](const char *a) { return strncmp(a, flag.c_str(), flag.size()) == 0; }))
      args.push_back(&d[0]);
  }
  int n = static_cast<int>(args.size());
  args.push_back(nullptr);
  benchmark::Initialize(&n, args.data());
  if (benchmark::ReportUnrecognizedArguments(n, args.data())) return 1;

  SummaryReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  benchmark::Shutdown();

  const double floor = reporter.Ns("BM_Floor");
  const double loop1 = reporter.Ns("BM_LoopPass/1");
  const double loop10000 = reporter.Ns("BM_LoopPass/10000");
  const double new1 = reporter.Ns("BM_NewSecondPass/1");
  const double new10000 = reporter.Ns("BM_NewSecondPass/10000");
  const double ratio1 = floor > 0 ? loop1 / floor : 0;
  const double ratio10000 = floor > 0 ? loop10000 / floor : 0;
  printf("floor_ns=%.1f loop_pass_ns: 1=%.1f 100=%.1f 10000=%.1f new_second_pass_ns: 1=%.1f "
         "100=%.1f 10000=%.1f new_minute_per_entry_ns=%.2f qorhash57_ns=%.1f "
         "read_1k_ms=%.3f\n",
         floor, loop1, reporter.Ns("BM_LoopPass/100"), loop10000, new1,
         reporter.Ns("BM_NewSecondPass/100"), new10000,
         (reporter.Ns("BM_NewMinutePass/10000") - reporter.Ns("BM_NewMinutePass/1")) / 9999,
         reporter.Ns("BM_Qorhash57"), reporter.Ns("BM_ReadFile/1000") / 1e6);
  printf("summary: pass_ratio_1=%.3f pass_ratio_10000=%.3f per_entry_ns=%.2f command_ns=%.1f "
         "read_100k_ms=%.2f\n",
         ratio1, ratio10000, (new10000 - new1) / 9999, reporter.Ns("BM_Command"),
         reporter.Ns("BM_ReadFile/100000") / 1e6);
  return reporter.failed() ? 1 : 0;
}
