// End-to-end tests of the log under faults: a full disk, rotation by the
// real logrotate, and its name taken away, each with the real daemon on an
// accelerated clock in the private test network and a listener as the judge
// of what was sent.
#include <gtest/gtest.h>

#include <cstdio>
#include <ctime>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "qor_log.h"
#include "test_util.h"

namespace {

using qortest::CommandStamp;
using qortest::ReadFile;
using qortest::RunScript;
using qortest::TempDir;
using qortest::UnderFaketime;
using qortest::WriteFile;

std::string Ctime(const std::string &command) {
  const time_t t = CommandStamp(command);
  char when[64];
  return ctime_r(&t, when) ? std::string(when, 24) : "?";
}

std::string RecordLine(const std::string &command) {
  const std::string n = std::to_string(command.size());
  return command + " (" + n + " " + n + ")";
}

// A log's lines, each a complete record line, a complete time line, or a
// fragment of one of these on a line of its own; anything else is bad, and
// so is a whole record logged twice, out of the order sent, or never sent.
struct LogLines {
  std::vector<std::string> records;  // commands of complete two-line records
  int fragments = 0;
  std::vector<std::string> bad;
};

LogLines Classify(const std::string &text, const std::vector<std::string> &sent) {
  std::set<std::string> record_lines, time_lines;
  for (const auto &d : sent) {
    record_lines.insert(RecordLine(d));
    time_lines.insert(Ctime(d));
  }
  auto is_fragment = [&](const std::string &line) {
    for (const auto *set : {&record_lines, &time_lines})
      for (const auto &whole : *set)
        if (line.size() < whole.size() && whole.compare(0, line.size(), line) == 0) return true;
    return false;
  };
  LogLines out;
  size_t next = 0;  // where in `sent` the next whole record may be
  std::istringstream in(text);
  std::vector<std::string> lines;
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  if (!text.empty() && text.back() != '\n') out.bad.push_back("no line end at the end");
  for (size_t i = 0; i < lines.size(); i++) {
    const std::string &line = lines[i];
    if (record_lines.count(line)) {
      const std::string command = line.substr(0, line.rfind(" ("));
      if (i + 1 < lines.size() && lines[i + 1] == Ctime(command)) {
        while (next < sent.size() && sent[next] != command) next++;
        if (next++ == sent.size()) out.bad.push_back("twice or out of order: " + command);
        out.records.push_back(command);
        i++;
        continue;
      }
      out.fragments++;  // a record line whose time line was cut
    } else if (time_lines.count(line) == 0) {
      if (line.empty() || !is_fragment(line))
        out.bad.push_back(line);
      else
        out.fragments++;
    }
  }
  return out;
}

TEST(LogFaultTest, FullDiskCutsNoRecordIntoAnotherAndSaysSoOncePerOutage) {
  REQUIRE_PRIVATE_NETNS();
  ASSERT_NE(qortest::LibFaketime(), "") << "libfaketime is not installed";
  TempDir dir;
  ASSERT_EQ(system(("mkdir " + dir.File("disk")).c_str()), 0);
  // Names long enough that a record fills a good part of a tmpfs page.
  std::string timers;
  for (char c = 'a'; c < 'a' + 8; c++) timers += std::string(200, c) + " 1 0000 0000\n";
  WriteFile(dir.File("t.txt"), timers);
  // A pass of 8 records every 0.5 s; two outages of 1.5 s each.
  const std::string script =
      "set -e\n"
      "mount -t tmpfs -o size=128k qortest disk\n"
      "cd disk\n" +
      UnderFaketime("FAKETIME='@2026-12-09 07:59:50 x10'") + " ../t.txt & pid=$!\n" +
      "fill() { cat /dev/zero > filler 2>/dev/null || true; }\n"
      "sleep 1; fill; sleep 1.5; rm filler; sleep 1.5; fill; sleep 1.5; rm filler; sleep 1.5\n"
      "kill -KILL $pid\n"
      "cp qortimerlog.txt ../log.txt\n";
  const qortest::ScriptRun run = RunScript(script, dir.path(), {}, true);
  const std::vector<std::string> sent = run.Datagrams();

  // The sends went on at the policy's seconds: 8 every 5 simulated seconds.
  ASSERT_GE(sent.size(), 80u);
  for (size_t i = 0; i + 8 <= sent.size(); i += 8)
    for (size_t k = i; k < i + 8; k++)
      EXPECT_EQ(CommandStamp(sent[k]), CommandStamp(sent[0]) + 5 * static_cast<time_t>(i / 8));

  const LogLines log = Classify(ReadFile(dir.File("log.txt")), sent);
  printf("full disk: %zu sent, %zu whole records, %d fragments, %zu bad lines\n", sent.size(),
         log.records.size(), log.fragments, log.bad.size());
  // Said once when each outage began and once when it ended, with a count.
  const std::string &err = run.result.err;
  const std::string ended = " *** WARNING: Writing logfile (qortimerlog.txt) again, ";
  std::string said;
  long lost = 0, outages = 0;
  for (size_t at = 0; (at = err.find(ended, at)) != std::string::npos; at += ended.size()) {
    const long n = std::stol(err.substr(at + ended.size()));
    said += " *** ERROR: Unable to write logfile (qortimerlog.txt): No space left on device\n" +
            ended + std::to_string(n) + " records lost\n";
    lost += n;
    outages++;
  }
  EXPECT_EQ(err, said);
  EXPECT_EQ(outages, 2);
  EXPECT_EQ(log.bad, std::vector<std::string>{});
  // Every command has a whole record, or was counted as lost.
  EXPECT_EQ(static_cast<long>(log.records.size()) + lost, static_cast<long>(sent.size()));
  EXPECT_GT(lost, 0);
}

// A stop as a service manager sends it, SIGTERM, once the first record of
// a long burst is written: the daemon still dies of that signal, but only
// after every command it sent has its whole record.
TEST(LogFaultTest, TerminationWaitsForTheRecordsOfWhatWasSent) {
  REQUIRE_PRIVATE_NETNS();
  TempDir dir;
  std::string timers;
  for (int i = 0; i < 1000; i++) timers += "dev" + std::to_string(i) + " 1 0000 0000\n";
  WriteFile(dir.File("t.txt"), timers);
  const qortest::ScriptRun run = RunScript(
      "\"$@\" t.txt & pid=$!\n"
      "until [ -s qortimerlog.txt ]; do :; done\n"
      "kill -TERM $pid; wait $pid; echo \"ended $?\"\n", dir.path());
  EXPECT_EQ(run.result.out, "ended 143\n");  // 128 + SIGTERM: ended by that signal
  const std::vector<std::string> sent = run.Datagrams();
  const LogLines log = Classify(ReadFile(dir.File(kQorLogFile)), sent);
  printf("termination: %zu sent, %zu whole records\n", sent.size(), log.records.size());
  EXPECT_EQ(log.bad, std::vector<std::string>{});
  ASSERT_EQ(log.records.size(), sent.size()) << "sent, but with no record";
  EXPECT_EQ(log.records, sent);
}

// The rule that ships, with this test's log as its path and room for
// every rotated file.
std::string RotationRule(const std::string &log) {
  std::istringstream in(ReadFile(QOR_SOURCE_DIR "/contrib/qortimer.logrotate"));
  std::string rule;
  for (std::string line; std::getline(in, line);) {
    if (line.find("qortimerlog.txt {") != std::string::npos)
      line = log + " {";
    else if (line.find("\trotate ") == 0)
      line = "\trotate 99";
    rule += line + "\n";
  }
  return rule;
}

TEST(LogFaultTest, RotationByLogrotateLosesAndRepeatsNoRecord) {
  REQUIRE_PRIVATE_NETNS();
  ASSERT_NE(qortest::LibFaketime(), "") << "libfaketime is not installed";
  TempDir dir;
  // Four pairs that switch every minute, so each sends every 5 s.
  std::string blinking;
  for (const char *pair : {"lamp 1", "fan 2", "heater x", "pump 9"})
    for (int m = 0; m < 24 * 60; m += 2) {
      char line[64];
      snprintf(line, sizeof line, "%s %02d%02d %02d%02d\n", pair, m / 60, m % 60, (m + 2) / 60,
               (m + 2) % 60);
      blinking += line;
    }
  WriteFile(dir.File("t.txt"), blinking);
  const std::string rule = RotationRule(dir.File(kQorLogFile));
  ASSERT_NE(rule.find("rotate 99"), std::string::npos) << rule;
  WriteFile(dir.File("rotate.conf"), rule);
  // A simulated minute a second: the log is followed within one, and
  // rotated every two, as delaycompress needs.
  const std::string script =
      UnderFaketime("FAKETIME='@2026-12-09 07:59:00 x60'") + " t.txt & pid=$!\n" +
      "for i in 1 2 3 4 5 6 7 8 9 10 11; do\n"
      "  sleep 2; logrotate -f -s state rotate.conf || echo logrotate failed >&2\n"
      "done\n"
      // A stop waits for the records of what was sent; a kill would not.
      "sleep 2; kill -TERM $pid; wait $pid 2>/dev/null\n"
      // Every file, oldest (highest number) first, plain or compressed.
      "n=$(ls qortimerlog.txt.* | wc -l); echo $n > rotated\n"
      "for i in $(seq $n -1 1); do\n"
      "  f=qortimerlog.txt.$i; [ -e $f ] || f=$f.gz; gzip -dcf $f\n"
      "done > all.txt\n"
      "cat qortimerlog.txt >> all.txt\n";
  const qortest::ScriptRun run = RunScript(script, dir.path());
  const std::vector<std::string> sent = run.Datagrams();
  EXPECT_EQ(run.result.err, "");

  const int rotated = std::stoi(ReadFile(dir.File("rotated")));
  EXPECT_GE(rotated, 10);
  const std::string all = ReadFile(dir.File("all.txt"));
  const LogLines log = Classify(all, sent);
  printf("rotation: %d rotated files, %zu sent, %zu whole records, %zu bad lines\n", rotated,
         sent.size(), log.records.size(), log.bad.size());
  EXPECT_EQ(log.bad, std::vector<std::string>{});
  EXPECT_EQ(log.fragments, 0);
  EXPECT_EQ(log.records.size(), sent.size());
}

// The log's name taken away while the daemon runs on a clock 10 times the
// real pace from 07:59:30: its sends fall every half second of real time,
// and each step of `during` a quarter of a second between two of them.
struct NameCase {
  const char *name;
  const char *before;   // shell run before the daemon starts
  const char *during;   // shell run while it runs; then it is killed
  time_t logged_from;   // qortimerlog.txt holds exactly the records stamped from here on
  time_t lost_from;     // the records stamped from here to logged_from are counted lost
  const char *err;      // the error stream, %ld standing for that count
  const char *renamed;  // a file that, followed by the log, holds every record sent
};

void PrintTo(const NameCase &c, std::ostream *os) { *os << c.name; }

constexpr time_t kStart = 1796803170;  // 07:59:30, the first pass
constexpr time_t kAfterRemoval = kStart + 15;
constexpr time_t kMinute = kStart + 30;  // 08:00:00, the next minute's check
constexpr time_t kNextMinute = kStart + 90;

const NameCase kNameCases[] = {
    {"RemovedIsCreatedAgainForTheNextRecord", "", "sleep 1.25; rm qortimerlog.txt; sleep 2\n",
     kAfterRemoval, kAfterRemoval, "", nullptr},
    {"UnopenableAtStartIsOpenedAtTheNextMinute", "mkdir qortimerlog.txt\n",
     "sleep 1.25; rmdir qortimerlog.txt; sleep 2.5\n", kMinute, kStart,
     " *** WARNING: Unable to open logfile (qortimerlog.txt)\n"
     " *** WARNING: Opened logfile (qortimerlog.txt), %ld records lost\n",
     nullptr},
    {"RenamedIsWrittenWhileItsNameCannotBeOpened", "",
     "sleep 1.25; mv qortimerlog.txt old.txt; mkdir qortimerlog.txt\n"
     "sleep 4; rmdir qortimerlog.txt; sleep 5\n",
     kNextMinute, kNextMinute,
     " *** WARNING: Unable to reopen logfile (qortimerlog.txt): Is a directory\n"
     " *** WARNING: Reopened logfile (qortimerlog.txt), %ld records lost\n",
     "old.txt"},
    {"RemovedWhileItsNameCannotBeOpenedCountsWhatItLoses", "",
     "sleep 1.25; rm qortimerlog.txt; mkdir qortimerlog.txt\n"
     "sleep 4; rmdir qortimerlog.txt; sleep 5\n",
     kNextMinute, kAfterRemoval,
     " *** WARNING: Unable to reopen logfile (qortimerlog.txt): Is a directory\n"
     " *** WARNING: Reopened logfile (qortimerlog.txt), %ld records lost\n",
     nullptr},
};

class LogNameTest : public ::testing::TestWithParam<NameCase> {};

TEST_P(LogNameTest, LosesNoRecordItDoesNotCountAndSaysWhatItCounts) {
  REQUIRE_PRIVATE_NETNS();
  ASSERT_NE(qortest::LibFaketime(), "") << "libfaketime is not installed";
  const NameCase &c = GetParam();
  TempDir dir;
  WriteFile(dir.File("t.txt"), "lamp 1 0800 0900\nfan 2 0000 0000\n");
  const std::string script = std::string(c.before) +
                             UnderFaketime("FAKETIME='@2026-12-09 07:59:30 x10'") +
                             " t.txt & pid=$!\n" + c.during + "kill -KILL $pid\n";
  const qortest::ScriptRun run = RunScript(script, dir.path());
  const std::vector<std::string> sent = run.Datagrams();
  ASSERT_FALSE(sent.empty());
  ASSERT_GE(CommandStamp(sent.back()), c.logged_from);
  auto stamped = [&](time_t from, time_t to) {
    std::vector<std::string> some;
    for (const auto &d : sent)
      if (CommandStamp(d) >= from && CommandStamp(d) < to) some.push_back(d);
    return some;
  };

  char err[512];
  snprintf(err, sizeof err, c.err, static_cast<long>(stamped(c.lost_from, c.logged_from).size()));
  EXPECT_EQ(run.result.err, err);
  const LogLines log = Classify(ReadFile(dir.File(kQorLogFile)), sent);
  EXPECT_EQ(log.bad, std::vector<std::string>{});
  EXPECT_EQ(log.records, stamped(c.logged_from, kNextMinute + 3600));
  if (c.renamed != nullptr) {
    std::vector<std::string> all = Classify(ReadFile(dir.File(c.renamed)), sent).records;
    all.insert(all.end(), log.records.begin(), log.records.end());
    EXPECT_EQ(all, sent);
  }
}

INSTANTIATE_TEST_SUITE_P(LogFaultTest, LogNameTest, ::testing::ValuesIn(kNameCases),
                         [](const auto &info) { return std::string(info.param.name); });

}  // namespace
