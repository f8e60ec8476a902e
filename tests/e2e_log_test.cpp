// End-to-end tests of the log under faults: a full disk, rotation by the
// real logrotate, and removal, each with the real daemon on an accelerated
// clock in the private test network and a listener as the judge of what
// was sent.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdio>
#include <ctime>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "qortimer.h"
#include "test_util.h"

namespace {

using qortest::Arrival;
using qortest::CommandStamp;
using qortest::Listener;
using qortest::ReadFile;
using qortest::RunOptions;
using qortest::RunResult;
using qortest::TempDir;
using qortest::UnderFaketime;
using qortest::WriteFile;

struct Outcome {
  RunResult result;
  std::vector<std::string> sent;  // datagrams, in the order received
};

// Runs `script` under sh in `dir` (in a private mount namespace when
// `own_mounts`), the daemon's command line as its arguments "$@".
Outcome RunScript(const std::string &script, const std::string &dir, bool own_mounts) {
  std::vector<std::string> argv;
  if (own_mounts) argv = {"unshare", "-m"};
  argv.insert(argv.end(), {"sh", "-c", script, "sh"});
  for (const auto &w : qortest::DaemonCommand()) argv.push_back(w);
  RunOptions options;
  options.cwd = dir;
  options.env = {{"TZ", "UTC"}};
  options.timeout_seconds = 60;
  Listener listener;
  std::vector<Arrival> arrivals;
  Outcome o;
  o.result = qortest::RunReceiving(argv, options, &listener, &arrivals);
  for (const auto &a : arrivals) o.sent.push_back(a.datagram);
  return o;
}

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
// fragment of one of these on a line of its own; anything else is bad.
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
  std::istringstream in(text);
  std::vector<std::string> lines;
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  if (!text.empty() && text.back() != '\n') out.bad.push_back("no line end at the end");
  for (size_t i = 0; i < lines.size(); i++) {
    const std::string &line = lines[i];
    if (record_lines.count(line)) {
      const std::string command = line.substr(0, line.rfind(" ("));
      if (i + 1 < lines.size() && lines[i + 1] == Ctime(command)) {
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

// Every record at most once, in the order sent.
void ExpectInSentOrder(const std::vector<std::string> &records,
                       const std::vector<std::string> &sent) {
  size_t at = 0;
  for (const auto &r : records) {
    while (at < sent.size() && sent[at] != r) at++;
    ASSERT_LT(at, sent.size()) << "logged but not sent, twice, or out of order: " << r;
    at++;
  }
}

// Entries with names long enough that a record fills a good part of a
// tmpfs page; all of them stay ON.
std::string LongNamedSchedule(int entries) {
  std::string text;
  for (int i = 0; i < entries; i++) text += std::string(200, 'a' + i) + " 1 0000 0000\n";
  return text;
}

TEST(LogFaultTest, FullDiskCutsNoRecordIntoAnotherAndSaysSoOncePerOutage) {
  REQUIRE_PRIVATE_NETNS();
  ASSERT_NE(qortest::LibFaketime(), "") << "libfaketime is not installed";
  TempDir dir;
  ASSERT_EQ(system(("mkdir " + dir.File("disk")).c_str()), 0);
  WriteFile(dir.File("t.txt"), LongNamedSchedule(8));
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
  const Outcome o = RunScript(script, dir.path(), true);
  ASSERT_TRUE(o.result.exited && o.result.status == 0) << o.result.err;

  // The sends went on at the policy's seconds: 8 every 5 simulated seconds.
  ASSERT_GE(o.sent.size(), 80u);
  for (size_t i = 0; i + 8 <= o.sent.size(); i += 8)
    for (size_t k = i; k < i + 8; k++)
      EXPECT_EQ(CommandStamp(o.sent[k]), CommandStamp(o.sent[0]) + 5 * static_cast<time_t>(i / 8));

  const LogLines log = Classify(ReadFile(dir.File("log.txt")), o.sent);
  printf("full disk: %zu sent, %zu whole records, %d fragments, %zu bad lines\n", o.sent.size(),
         log.records.size(), log.fragments, log.bad.size());
  // Said once when each outage began and once when it ended.
  const std::string began =
      " *** ERROR: Unable to write logfile (qortimerlog.txt): No space left on device";
  const std::string ended = " *** WARNING: Writing logfile (qortimerlog.txt) again, ";
  std::istringstream err(o.result.err);
  std::vector<std::string> said;
  for (std::string line; std::getline(err, line);) said.push_back(line);
  ASSERT_EQ(said.size(), 4u) << o.result.err;
  long lost = 0;
  for (size_t i = 0; i < said.size(); i += 2) {
    EXPECT_EQ(said[i], began);
    ASSERT_EQ(said[i + 1].compare(0, ended.size(), ended), 0) << said[i + 1];
    size_t digits = 0;
    lost += std::stol(said[i + 1].substr(ended.size()), &digits);
    EXPECT_EQ(said[i + 1].substr(ended.size() + digits), " records lost");
  }
  EXPECT_EQ(log.bad, std::vector<std::string>{});
  ExpectInSentOrder(log.records, o.sent);
  // Every command has a whole record, or was counted as lost.
  EXPECT_EQ(static_cast<long>(log.records.size()) + lost, static_cast<long>(o.sent.size()));
  EXPECT_GT(lost, 0);
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

// A rotated log, plain or compressed; "" when there is none.
std::string RotatedFile(const std::string &path) {
  struct stat st;
  if (stat(path.c_str(), &st) == 0) return ReadFile(path);
  if (stat((path + ".gz").c_str(), &st) != 0) return "";
  FILE *gunzip = popen(("gzip -dc '" + path + ".gz'").c_str(), "r");
  if (gunzip == nullptr) return "";
  std::string text;
  char buf[4096];
  for (size_t n; (n = fread(buf, 1, sizeof buf, gunzip)) > 0;) text.append(buf, n);
  EXPECT_EQ(pclose(gunzip), 0) << path << ".gz";
  return text;
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
      "sleep 2; kill -KILL $pid\n";
  const Outcome o = RunScript(script, dir.path(), false);
  ASSERT_TRUE(o.result.exited && o.result.status == 0) << o.result.err;
  EXPECT_EQ(o.result.err, "");

  std::string all = ReadFile(dir.File(kQorLogFile));
  int rotated = 0;
  for (int i = 1;; i++) {
    const std::string text = RotatedFile(dir.File(kQorLogFile) + "." + std::to_string(i));
    if (text.empty()) break;
    rotated++;
    all = text + all;  // older files hold earlier records
  }
  EXPECT_GE(rotated, 10);
  const LogLines log = Classify(all, o.sent);
  printf("rotation: %d rotated files, %zu sent, %zu whole records, %zu bad lines\n", rotated,
         o.sent.size(), log.records.size(), log.bad.size());
  EXPECT_EQ(log.bad, std::vector<std::string>{});
  EXPECT_EQ(log.fragments, 0);
  ExpectInSentOrder(log.records, o.sent);
  EXPECT_EQ(log.records.size(), o.sent.size());
}

TEST(LogFaultTest, RemovedLogIsCreatedAgainWithinAMinuteWithEveryLaterRecord) {
  REQUIRE_PRIVATE_NETNS();
  ASSERT_NE(qortest::LibFaketime(), "") << "libfaketime is not installed";
  TempDir dir;
  WriteFile(dir.File("t.txt"), "lamp 1 0800 0900\nfan 2 0000 0000\n");
  // Removed at about 07:59:40; the minute turns 2 s later.
  const std::string script =
      UnderFaketime("FAKETIME='@2026-12-09 07:59:30 x10'") + " t.txt & pid=$!\n" +
      "sleep 1; rm qortimerlog.txt; sleep 4; kill -KILL $pid\n";
  const Outcome o = RunScript(script, dir.path(), false);
  ASSERT_TRUE(o.result.exited && o.result.status == 0) << o.result.err;
  EXPECT_EQ(o.result.err, "");

  std::vector<std::string> later;
  const time_t minute = 1796803200;  // 08:00:00, the first pass after the removal's minute
  for (const auto &d : o.sent)
    if (CommandStamp(d) >= minute) later.push_back(d);
  ASSERT_GE(later.size(), 4u);
  const LogLines log = Classify(ReadFile(dir.File(kQorLogFile)), o.sent);
  EXPECT_EQ(log.bad, std::vector<std::string>{});
  EXPECT_EQ(log.records, later);
}

}  // namespace
