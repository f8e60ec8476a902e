// Tests of the daemon module: start-up and the command line (through the
// real binary), the timer file reader, schedule evaluation, the command
// datagram with its log record, and the polling pass in simulated time,
// with the timer file followed between passes and the status line.
#include "qortimer.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fstream>
#include <map>
#include <memory>
#include <ostream>
#include <sstream>
#include <string>
#include <vector>

#include "qor_follow.h"
#include "qor_idle.h"
#include "qor_socket.h"
#include "qor_status.h"
#include "qorhash.h"
#include "qorlisten.h"
#include "test_util.h"

namespace {

using qortest::ReadFile;
using qortest::RunBinary;
using qortest::RunOptions;
using qortest::RunResult;
using qortest::TempDir;
using qortest::WriteFile;

// ------------------------------------------------------------- start-up

// One run of the real binary: the timer files it finds in its working
// directory, its arguments, and what it must print and return. Runs that
// pass start-up and reading go on polling until the deadline kills them.
struct StartupCase {
  const char *name;
  std::vector<std::string> args;
  std::vector<std::pair<std::string, std::string>> files;
  std::string out;        // exact standard output
  std::string err;        // exact error stream
  int status;             // exit status, or -1: still running at the deadline
  bool log_expected;      // whether qortimerlog.txt exists afterwards
  std::vector<std::pair<std::string, std::string>> env = {};  // besides TZ=UTC
  std::string log_begins = "";  // what the log must begin with, when given
};

const char kDestinationRefused[] =
    " *** ERROR: QORTIMER_DESTINATION must be ADDRESS[:PORT], a dotted IPv4 address and a port"
    " from 1 to 65535, not (%s)\n";

std::string Refused(const char *format, const char *value) {
  char text[512];
  snprintf(text, sizeof text, format, value);
  return text;
}

const char kGood[] = "lamp 1 1800 2300\nlamp 1 0600 0700\n";
const char kBad[] = "lamp 1 0800\n";

const StartupCase kStartupCases[] = {
    {"NoArguments", {}, {}, "", " *** ERROR: Syntax qortimer.exe TIMER_FILE (argc=1)\n", 1, false},
    {"OptionButNoPath", {"-v"}, {}, "", " *** SYNTAX ERROR: qortimer.exe filename [-d] [-v]\n", 1, false},
    {"BareDashIsUnknown", {"-"}, {}, "Unknown option (-)\n",
     " *** SYNTAX ERROR: qortimer.exe filename [-d] [-v]\n", 1, false},
    {"LaterEmptyPathClearsIt", {"a.txt", ""}, {{"a.txt", kGood}}, "",
     " *** SYNTAX ERROR: qortimer.exe filename [-d] [-v]\n", 1, false},
    {"MissingFileLeavesNoLog", {"missing.txt"}, {}, "",
     " *** ERROR: Unable to open file (missing.txt)\n", 1, false},
    {"UnknownOptionThenBadFile", {"-x", "bad.txt"}, {{"bad.txt", kBad}}, "Unknown option (-x)\n",
     " *** ERROR reading (bad.txt) line (lamp 1 0800\n)\n", 1, true},
    {"LastPathWins", {"a.txt", "b.txt"}, {{"a.txt", kGood}, {"b.txt", kBad}}, "",
     " *** ERROR reading (b.txt) line (lamp 1 0800\n)\n", 1, true},
    {"EmptyThenPathUsesPath", {"", "b.txt"}, {{"b.txt", kBad}}, "",
     " *** ERROR reading (b.txt) line (lamp 1 0800\n)\n", 1, true},
    {"DebugLineComesBeforeTheListing", {"-Dx", "-verbose", "b.txt"},
     {{"b.txt", "lamp 1 1800 2300\nlamp\nlamp 1 0600 0700\n"}},
     "qor->debug = (1) qor->verbose = (1) qor->infile = (b.txt)\n"
     "lamp 1 06:00 07:00\nlamp 1 18:00 23:00\nlamp  25:00 25:00\n",
     " *** ERROR reading (b.txt) line (lamp\n)\n", 1, true},
    {"DebugAloneDoesNotList", {"-d", "b.txt"}, {{"b.txt", "lamp 1 0800\n"}},
     "qor->debug = (1) qor->verbose = (0) qor->infile = (b.txt)\n",
     " *** ERROR reading (b.txt) line (lamp 1 0800\n)\n", 1, true},
    {"GoodFileRunsOnAndListsFirst", {"-V", "a.txt"}, {{"a.txt", kGood}},
     "lamp 1 06:00 07:00\nlamp 1 18:00 23:00\n", "", -1, true},
    {"UnknownOptionNoticeIsNotLostWhenKilled", {"a.txt", "-q"}, {{"a.txt", kGood}},
     "Unknown option (-q)\n", "", -1, true},
    // Opt-in settings: refused before anything is opened or sent.
    {"IdleOtherThan0Or1IsRefused", {"a.txt"}, {{"a.txt", kGood}}, "",
     " *** ERROR: QORTIMER_IDLE must be 0 or 1, not (yes)\n", 1, false, {{"QORTIMER_IDLE", "yes"}}},
    {"IdleEmptyIsRefused", {"a.txt"}, {{"a.txt", kGood}}, "",
     " *** ERROR: QORTIMER_IDLE must be 0 or 1, not ()\n", 1, false, {{"QORTIMER_IDLE", ""}}},
    {"IdleZeroIsTheBusyLoop", {"-v", "a.txt"}, {{"a.txt", kGood}},
     "lamp 1 06:00 07:00\nlamp 1 18:00 23:00\n", "", -1, true, {{"QORTIMER_IDLE", "0"}}},
    {"FollowOtherThan0Or1IsRefused", {"a.txt"}, {{"a.txt", kGood}}, "",
     " *** ERROR: QORTIMER_FOLLOW must be 0 or 1, not (on)\n", 1, false, {{"QORTIMER_FOLLOW", "on"}}},
    {"DestinationAddressOutOfRange", {"a.txt"}, {{"a.txt", kGood}}, "",
     Refused(kDestinationRefused, "300.1.1.1"), 1, false, {{"QORTIMER_DESTINATION", "300.1.1.1"}}},
    {"DestinationPortZero", {"a.txt"}, {{"a.txt", kGood}}, "",
     Refused(kDestinationRefused, "192.168.0.255:0"), 1, false,
     {{"QORTIMER_DESTINATION", "192.168.0.255:0"}}},
    {"DestinationWithoutAddress", {"a.txt"}, {{"a.txt", kGood}}, "",
     Refused(kDestinationRefused, ":1962"), 1, false, {{"QORTIMER_DESTINATION", ":1962"}}},
    {"DestinationNotAnAddress", {"a.txt"}, {{"a.txt", kGood}}, "",
     Refused(kDestinationRefused, "x"), 1, false, {{"QORTIMER_DESTINATION", "x"}}},
    {"ClockWaitNotWholeSeconds", {"a.txt"}, {{"a.txt", kGood}}, "",
     " *** ERROR: QORTIMER_CLOCK_WAIT must be a whole number of seconds from 0 to 86400, not (5m)\n",
     1, false, {{"QORTIMER_CLOCK_WAIT", "5m"}}},
    {"RealtimeAbove99IsRefused", {"a.txt"}, {{"a.txt", kGood}}, "",
     " *** ERROR: QORTIMER_REALTIME must be a real-time priority from 1 to 99, or 0 for none,"
     " not (100)\n",
     1, false, {{"QORTIMER_IDLE", "1"}, {"QORTIMER_REALTIME", "100"}}},
    {"RealtimeInBusyModeIsRefused", {"a.txt"}, {{"a.txt", kGood}}, "",
     " *** ERROR: Busy mode would starve the board under real-time scheduling (SCHED_FIFO);"
     " set QORTIMER_IDLE=1\n",
     1, false, {{"QORTIMER_REALTIME", "10"}}},
    {"RealtimeZeroLeavesBusyModeAsItIs", {"a.txt"}, {{"a.txt", kGood}}, "", "", -1, true,
     {{"QORTIMER_REALTIME", "0"}}, "qorctrl command QORTIMER-lamp-1-"},
    {"LogSyncOtherThan0Or1IsRefused", {"a.txt"}, {{"a.txt", kGood}}, "",
     " *** ERROR: QORTIMER_LOG_SYNC must be 0 or 1, not (yes)\n", 1, false,
     {{"QORTIMER_LOG_SYNC", "yes"}}},
    {"NoClockWaitAndLogSyncRunAsUsual", {"a.txt"}, {{"a.txt", kGood}}, "", "", -1, true,
     {{"QORTIMER_CLOCK_WAIT", "0"}, {"QORTIMER_LOG_SYNC", "1"}}, "qorctrl command QORTIMER-lamp-1-"},
    // A log cut by a crash or a power cut: the next record on a line of its own.
    {"LogEndingInACutRecord", {"a.txt"}, {{"a.txt", kGood}, {kQorLogFile, "Wed\nqorctrl com"}}, "",
     " *** WARNING: Logfile (qortimerlog.txt) ends mid-record at byte 15;"
     " the next record starts on a new line\n",
     -1, true, {}, "Wed\nqorctrl com\nqorctrl command QORTIMER-lamp-1-"},
    {"LogEndingInNulBytes", {"a.txt"},
     {{"a.txt", kGood}, {kQorLogFile, "qorctrl com" + std::string(600, '\0')}}, "",
     " *** WARNING: Logfile (qortimerlog.txt) ends mid-record at byte 611, after 600 NUL bytes;"
     " the next record starts on a new line\n",
     -1, true, {}, "qorctrl com" + std::string(600, '\0') + "\nqorctrl command QORTIMER-lamp-1-"},
    {"LogEndingInAWholeLineIsAppendedTo", {"a.txt"}, {{"a.txt", kGood}, {kQorLogFile, "Wed\n"}},
     "", "", -1, true, {}, "Wed\nqorctrl command QORTIMER-lamp-1-"},
};

void PrintTo(const StartupCase &c, std::ostream *os) { *os << c.name; }

class StartupTest : public ::testing::TestWithParam<StartupCase> {};

TEST_P(StartupTest, PrintsExactlyAndEndsAsDocumented) {
  REQUIRE_PRIVATE_NETNS();
  const StartupCase &c = GetParam();
  TempDir dir;
  for (const auto &f : c.files) WriteFile(dir.File(f.first), f.second);
  std::vector<std::string> argv = qortest::DaemonCommand();
  argv.insert(argv.end(), c.args.begin(), c.args.end());
  RunOptions options;
  options.cwd = dir.path();
  options.env = {{"TZ", "UTC"}};
  options.env.insert(options.env.end(), c.env.begin(), c.env.end());
  options.timeout_seconds = c.status == -1 ? 1.5 : 10;
  qortest::Listener listener;
  const RunResult r = RunBinary(argv, options);
  std::string datagram;
  if (!c.log_expected) {
    EXPECT_FALSE(listener.Receive(&datagram, 0.1)) << "sent " << datagram;
  }

  if (c.status == -1) {
    EXPECT_TRUE(r.timed_out) << "ended with " << r.status << ": " << r.err;
    // Polling has begun: the verbose echo may follow what start-up printed.
    EXPECT_EQ(r.out.substr(0, c.out.size()), c.out);
  } else {
    EXPECT_FALSE(r.timed_out);
    EXPECT_TRUE(r.exited);
    EXPECT_EQ(r.status, c.status);
    EXPECT_EQ(r.out, c.out);
  }
  EXPECT_EQ(r.err, c.err);
  struct stat st;
  EXPECT_EQ(stat(dir.File(kQorLogFile).c_str(), &st) == 0, c.log_expected);
  if (!c.log_begins.empty()) {
    EXPECT_EQ(ReadFile(dir.File(kQorLogFile)).substr(0, c.log_begins.size()), c.log_begins);
  }
}

INSTANTIATE_TEST_SUITE_P(CommandLine, StartupTest, ::testing::ValuesIn(kStartupCases),
                         [](const auto &info) { return std::string(info.param.name); });

TEST(StartupBinaryTest, DirectoryAsTimerFileIsAReadErrorNotAnEmptySchedule) {
  REQUIRE_PRIVATE_NETNS();
  TempDir dir;
  ASSERT_EQ(mkdir(dir.File("timers.d").c_str(), 0700), 0);
  RunOptions options;
  options.cwd = dir.path();
  std::vector<std::string> argv = qortest::DaemonCommand();
  argv.push_back("timers.d");
  const RunResult r = RunBinary(argv, options);
  EXPECT_FALSE(r.timed_out);
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err, " *** ERROR: Unable to read file (timers.d)\n");
}

// Busy mode would keep a core busy at a priority that no ordinary work can
// pre-empt; idle mode runs.
TEST(StartupBinaryTest, BusyModeIsRefusedUnderARealTimeClass) {
  REQUIRE_PRIVATE_NETNS();
  if (RunBinary({"chrt", "-f", "1", "true"}, RunOptions{}).status != 0)
    GTEST_SKIP() << "chrt -f 1 is not allowed here";
  TempDir dir;
  WriteFile(dir.File("a.txt"), kGood);
  std::vector<std::string> argv = {"chrt", "-f", "1"};
  for (const std::string &word : qortest::DaemonCommand()) argv.push_back(word);
  argv.push_back("a.txt");
  RunOptions options;
  options.cwd = dir.path();
  options.timeout_seconds = 1.5;
  for (const char *idle : {"0", "1"}) {
    options.env = {{"QORTIMER_IDLE", idle}};
    const RunResult r = RunBinary(argv, options);
    SCOPED_TRACE(idle);
    if (idle[0] == '0') {
      EXPECT_EQ(r.status, 1);
      EXPECT_EQ(r.err, " *** ERROR: Busy mode would starve the board under real-time scheduling"
                       " (SCHED_FIFO); set QORTIMER_IDLE=1\n");
      EXPECT_FALSE(std::ifstream(dir.File(kQorLogFile)).good()) << "opened the log";
    } else {
      EXPECT_TRUE(r.timed_out) << r.err;
    }
  }
}

TEST(StartupBinaryTest, PathLongerThan2047CharactersIsCut) {
  REQUIRE_PRIVATE_NETNS();
  const std::string path(3000, 'p');
  std::vector<std::string> argv = qortest::DaemonCommand();
  argv.push_back(path);
  const RunResult r = RunBinary(argv, RunOptions{});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err, " *** ERROR: Unable to open file (" + path.substr(0, 2047) + ")\n");
}

TEST(StartupBinaryTest, LogThatCannotBeOpenedOnlyCostsAWarning) {
  REQUIRE_PRIVATE_NETNS();
  TempDir dir;
  // A directory in the log's place: opening fails even for root.
  ASSERT_EQ(mkdir(dir.File(kQorLogFile).c_str(), 0700), 0);
  WriteFile(dir.File("t.txt"), "lamp 1 0800 0900\n");
  RunOptions options;
  options.cwd = dir.path();
  options.timeout_seconds = 1.5;
  std::vector<std::string> argv = qortest::DaemonCommand();
  argv.insert(argv.end(), {"-v", "t.txt"});
  const RunResult r = RunBinary(argv, options);
  EXPECT_TRUE(r.timed_out);
  EXPECT_EQ(r.err, " *** WARNING: Unable to open logfile (qortimerlog.txt)\n");
  // Still sending and echoing: the first command's record is on the output.
  EXPECT_NE(r.out.find("qorctrl command QORTIMER-lamp-1-"), std::string::npos) << r.out;
}

// --------------------------------------------------------------- reader

// Reads `content` as a timer file in-process; the caller checks the result.
struct ReadResult {
  std::string out, err;
  qor_entry *entries = nullptr;
};

// Reads `content` with the real reader; a bad file ends the process.
qor_entry *ReadRaw(const std::string &content, bool verbose) {
  TempDir dir;
  const std::string path = dir.File("t.txt");
  WriteFile(path, content);
  static qor_context qor;  // large; the entries outlive the call on purpose
  memset(&qor, 0, sizeof qor);
  snprintf(qor.infile, sizeof qor.infile, "t.txt");
  qor.verbose = verbose;
  qor.timer_stream = fopen(path.c_str(), "r");
  EXPECT_NE(qor.timer_stream, nullptr);
  qor_read_file(&qor);
  fclose(qor.timer_stream);
  return qor.entries;
}

// Reads a good file, capturing what the reader prints.
ReadResult ReadTimers(const std::string &content, bool verbose = false) {
  ReadResult r;
  testing::internal::CaptureStdout();
  testing::internal::CaptureStderr();
  r.entries = ReadRaw(content, verbose);
  fflush(stdout);
  r.out = testing::internal::GetCapturedStdout();
  r.err = testing::internal::GetCapturedStderr();
  return r;
}

// A regular expression matching exactly `text`, for death tests.
std::string Exactly(const std::string &text) {
  std::string re = "^";
  for (const char c : text) {
    if (strchr(".[]{}()\\*+?^$|", c) != nullptr) re += '\\';
    re += c;
  }
  return re + "$";
}

std::string ErrorFor(const std::string &line) {
  return " *** ERROR reading (t.txt) line (" + line + ")\n";
}

// One timer line: how often it is reported and the interval it yields.
struct LineCase {
  const char *line;
  int reports;  // 0 good, 1 or 2 messages for a bad line
  const char *device;
  const char *channel;
  int on_hour, on_minute, off_hour, off_minute;
};

const LineCase kLineCases[] = {
    {"lamp 1 0800 0900\n", 0, "lamp", "1", 8, 0, 9, 0},
    {"lamp 1 730 2400\n", 0, "lamp", "1", 7, 30, 24, 0},
    {"lamp 1 2400 0600\n", 0, "lamp", "1", 24, 0, 6, 0},
    {"lamp 1 +0800 0900\n", 0, "lamp", "1", 8, 0, 9, 0},
    {"lamp 1 -0 0900\n", 0, "lamp", "1", 0, 0, 9, 0},
    {"lamp 1 -4294967295 0900\n", 0, "lamp", "1", 0, 1, 9, 0},  // negated mod 2^32: 1
    {"lamp\t1\t0800\t0900 anything after is ignored\r\n", 0, "lamp", "1", 8, 0, 9, 0},
    {"  # lamp 1 0800 0900\n", 0, "#", "lamp", 0, 1, 8, 0},  // '#' counts in column 1 only
    {"lamp 1 0800\n", 1, "lamp", "1", 8, 0, 25, 0},
    {"lamp\n", 1, "lamp", "", 25, 0, 25, 0},
    {"lamp 1 08:00 09:00\n", 1, "lamp", "1", 0, 8, 25, 0},
    {"lamp 1 2401 0900\n", 1, "lamp", "1", 24, 1, 9, 0},
    {"lamp 1 0860 0900\n", 1, "lamp", "1", 8, 60, 9, 0},
    {"lamp 1 0800 0999\n", 1, "lamp", "1", 8, 0, 9, 99},
    {"lamp 1 2470 0900\n", 2, "lamp", "1", 24, 70, 9, 0},
    {"lamp 1 -5 0900\n", 2, "lamp", "1", 42949672, 91, 9, 0},          // 4294967291
    {"lamp 1 4294967295 0900\n", 2, "lamp", "1", 42949672, 95, 9, 0},
    {"lamp 1 4294967296 0900\n", 2, "lamp", "1", 42949672, 95, 9, 0},  // saturates, not 0
    {"lamp 1 99999999999999999999999 0900\n", 2, "lamp", "1", 42949672, 95, 9, 0},
    {"lamp 1 -4294967296 0900\n", 2, "lamp", "1", 42949672, 95, 9, 0},
};

void PrintTo(const LineCase &c, std::ostream *os) {
  *os << testing::PrintToString(std::string(c.line));
}

class ReaderLineTest : public ::testing::TestWithParam<LineCase> {};

TEST_P(ReaderLineTest, ChecksAndStoresTheLine) {
  const LineCase &c = GetParam();
  if (c.reports == 0) {
    const ReadResult r = ReadTimers(c.line);
    EXPECT_EQ(r.err, "");
    ASSERT_NE(r.entries, nullptr);
    const qor_entry *e = r.entries;
    EXPECT_STREQ(e->device, c.device);
    EXPECT_STREQ(e->channel, c.channel);
    EXPECT_EQ(e->state, -1);
    EXPECT_EQ(e->last_change, 0);
    EXPECT_EQ(e->last_sent, 0);
    ASSERT_NE(e->timers, nullptr);
    EXPECT_EQ(e->timers->on_hour, c.on_hour);
    EXPECT_EQ(e->timers->on_minute, c.on_minute);
    EXPECT_EQ(e->timers->off_hour, c.off_hour);
    EXPECT_EQ(e->timers->off_minute, c.off_minute);
    EXPECT_EQ(e->timers->next, nullptr);
    EXPECT_EQ(e->next, nullptr);
  } else {
    // A bad line is reported (twice when it fails both tests), still stored
    // and listed, and then reading ends the process.
    std::string err;
    for (int i = 0; i < c.reports; i++) err += ErrorFor(c.line);
    EXPECT_EXIT(ReadRaw(c.line, true), testing::ExitedWithCode(1), Exactly(err));

    char listing[1024];
    snprintf(listing, sizeof listing, "%s %s %02d:%02d %02d:%02d\n", c.device, c.channel,
             c.on_hour, c.on_minute, c.off_hour, c.off_minute);
    REQUIRE_PRIVATE_NETNS();  // the binary opens its socket before reading
    TempDir dir;
    WriteFile(dir.File("t.txt"), c.line);
    RunOptions options;
    options.cwd = dir.path();
    std::vector<std::string> argv = qortest::DaemonCommand();
    argv.insert(argv.end(), {"-v", "t.txt"});
    const RunResult r = RunBinary(argv, options);
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, err);
    EXPECT_EQ(r.out, listing);
  }
}

INSTANTIATE_TEST_SUITE_P(TimerLines, ReaderLineTest, ::testing::ValuesIn(kLineCases));

TEST(ReaderTest, CommentsAndBlankLinesGiveAnEmptyScheduleAndNoOutput) {
  const ReadResult r = ReadTimers("# a comment\n! another\n\n  \t \r\n\f\v\n", true);
  EXPECT_EQ(r.entries, nullptr);
  EXPECT_EQ(r.out, "");
  EXPECT_EQ(r.err, "");
  EXPECT_EQ(ReadTimers("").entries, nullptr);
}

TEST(ReaderTest, GroupsIntervalsByPairInOrderOfFirstAppearance) {
  const ReadResult r =
      ReadTimers("lamp 1 0800 0900\nlamp 2 0800 0900\nlamp 1 1800 2300\nLamp 1 0100 0200\n");
  std::vector<std::string> seen;
  for (const qor_entry *e = r.entries; e; e = e->next) {
    int n = 0;
    for (const qor_timer *t = e->timers; t; t = t->next) n++;
    seen.push_back(std::string(e->device) + "/" + e->channel + "x" + std::to_string(n));
  }
  EXPECT_EQ(seen, (std::vector<std::string>{"lamp/1x2", "lamp/2x1", "Lamp/1x1"}));
}

TEST(ReaderTest, ListsEachEntrysIntervalsSortedStablyByStart) {
  const ReadResult r = ReadTimers(
      "lamp 1 1800 2300\nfan a 0900 1000\nlamp 1 0600 0700\nlamp 1 0600 0630\n"
      "lamp 1 0559 2400\n",
      true);
  EXPECT_EQ(r.out,
            "lamp 1 05:59 24:00\nlamp 1 06:00 07:00\nlamp 1 06:00 06:30\n"
            "lamp 1 18:00 23:00\nfan a 09:00 10:00\n");
}

TEST(ReaderTest, ReadsAtMost2046CharactersAtATime) {
  // A comment of 3000 characters: its tail of 954 is a line of its own,
  // here a bad one (a device name and nothing else).
  const std::string tail(954, 't');
  const std::string comment = "#" + std::string(2045, 'c') + tail + "\n";
  EXPECT_EXIT(ReadRaw(comment, false), testing::ExitedWithCode(1),
              Exactly(ErrorFor(tail + "\n")));
  // Tails that are blank, or are comments themselves, are skipped.
  const ReadResult r = ReadTimers("#" + std::string(2045, 'c') + "   \n" + "!" +
                                  std::string(2045, 'c') + "#more\n" + "lamp 1 0800 0900\n");
  EXPECT_EQ(r.err, "");
  ASSERT_NE(r.entries, nullptr);
  EXPECT_STREQ(r.entries->device, "lamp");
  EXPECT_EQ(r.entries->next, nullptr);
}

TEST(ReaderTest, CutsNamesTo255CharactersBeforeMatching) {
  const std::string a = std::string(255, 'd') + "AAAA";
  const std::string b = std::string(255, 'd') + "BBBBBBBBBBBBBBBBBBBBBBBBBBBBBBBBBBBBBBBBBBBBBB";
  const ReadResult r = ReadTimers(a + " ch 0800 0900\n" + b + " ch 1000 1100\n");
  ASSERT_NE(r.entries, nullptr);
  EXPECT_EQ(std::string(r.entries->device), std::string(255, 'd'));
  EXPECT_EQ(r.entries->next, nullptr) << "both lines feed one entry";
  ASSERT_NE(r.entries->timers, nullptr);
  EXPECT_NE(r.entries->timers->next, nullptr);
}

TEST(SortTest, KeyDoesNotOverflowForTheHoursOfABadLine) {
  // 42949672 * 100 + 95 does not fit in 32 bits; as a narrow key it would
  // wrap negative and sort first.
  qor_timer big{42949672, 95, 0, 0, nullptr};
  qor_timer small{0, 0, 0, 0, &big};
  qor_timer mid{23, 59, 0, 0, &small};
  const qor_timer *sorted = qor_sort_qor_timer(&mid);
  ASSERT_EQ(sorted, &small);
  ASSERT_EQ(sorted->next, &mid);
  ASSERT_EQ(sorted->next->next, &big);
  EXPECT_EQ(big.next, nullptr);
  EXPECT_EQ(qor_sort_qor_timer(nullptr), nullptr);
}

TEST(SortTest, IsStableAndComplete) {
  // Random lists checked against a stable sort of the same keys.
  srand(7);
  for (int round = 0; round < 200; round++) {
    const int n = rand() % 40;
    std::vector<qor_timer> nodes(static_cast<size_t>(n));
    for (int i = 0; i < n; i++) {
      nodes[i] = {rand() % 4, rand() % 3 * 30, i, 0, i + 1 < n ? &nodes[i + 1] : nullptr};
    }
    std::vector<const qor_timer *> expected;
    for (const auto &t : nodes) expected.push_back(&t);
    std::stable_sort(expected.begin(), expected.end(), [](auto *x, auto *y) {
      return x->on_hour * 100 + x->on_minute < y->on_hour * 100 + y->on_minute;
    });
    std::vector<const qor_timer *> got;
    for (const qor_timer *t = qor_sort_qor_timer(n ? &nodes[0] : nullptr); t; t = t->next)
      got.push_back(t);
    ASSERT_EQ(got, expected) << "round " << round;
  }
}

// ---------------------------------------------------------- evaluation

// The minutes at which a list of intervals is ON, written out by hand as
// inclusive ranges of HH:MM, checked at every minute of the day.
struct DayCase {
  const char *name;
  std::vector<qor_timer> intervals;
  std::vector<std::pair<int, int>> on_ranges;  // HHMM .. HHMM, inclusive
};

const DayCase kDayCases[] = {
    {"WithinADay", {{8, 0, 9, 0, nullptr}}, {{801, 859}}},
    {"PastMidnight", {{22, 0, 6, 0, nullptr}}, {{2201, 2359}, {0, 559}}},
    {"EqualEndsAllButThatMinute", {{12, 0, 12, 0, nullptr}}, {{0, 1159}, {1201, 2359}}},
    {"EndAt2400", {{20, 0, 24, 0, nullptr}}, {{2001, 2359}}},
    {"StartAt2400", {{24, 0, 6, 0, nullptr}}, {{0, 559}}},
    {"MidnightToMidnight", {{0, 0, 0, 0, nullptr}}, {{1, 2359}}},
    {"WholeDay", {{0, 0, 24, 0, nullptr}}, {{1, 2359}}},
    {"OneMinuteWide", {{7, 29, 7, 31, nullptr}}, {{730, 730}}},
    {"Overlapping", {{8, 0, 9, 0, nullptr}, {8, 30, 10, 0, nullptr}}, {{801, 959}}},
    {"Disjoint", {{18, 0, 23, 0, nullptr}, {6, 0, 7, 0, nullptr}}, {{601, 659}, {1801, 2259}}},
    {"Empty", {}, {}},
};

void PrintTo(const DayCase &c, std::ostream *os) { *os << c.name; }

class EvaluationTest : public ::testing::TestWithParam<DayCase> {};

TEST_P(EvaluationTest, MatchesTheOnMinutesAtEveryMinuteOfTheDay) {
  DayCase c = GetParam();
  for (size_t i = 0; i + 1 < c.intervals.size(); i++) c.intervals[i].next = &c.intervals[i + 1];
  const qor_timer *head = c.intervals.empty() ? nullptr : &c.intervals[0];
  for (int hour = 0; hour < 24; hour++) {
    for (int minute = 0; minute < 60; minute++) {
      const int hhmm = hour * 100 + minute;
      int expected = 0;
      for (const auto &r : c.on_ranges) expected |= r.first <= hhmm && hhmm <= r.second;
      ASSERT_EQ(qor_is_on(hour, minute, head), expected) << "at " << hhmm;
      if (c.intervals.size() == 1) {
        ASSERT_EQ(qor_in_range(hour, minute, head), expected);
      }
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Intervals, EvaluationTest, ::testing::ValuesIn(kDayCases),
                         [](const auto &info) { return std::string(info.param.name); });

// ------------------------------------------------------ golden commands

// Complete commands pinned byte for byte, hashes included. The listener must
// verify each and take it apart, and the builder, given the parts, must write
// it again exactly.
class GoldenCommand : public ::testing::TestWithParam<std::string> {};

TEST_P(GoldenCommand, ListenerVerifiesItAndTheBuilderWritesItAgain) {
  const std::string &golden = GetParam();
  const qorlisten::Command c = qorlisten::ParseCommand(golden);
  ASSERT_TRUE(qorlisten::IsVerifiedCommand(golden)) << c.problem;
  EXPECT_LE(golden.size(), static_cast<size_t>(kQorMaxCommand));
  static qor_context qor;
  qor_entry entry{};
  snprintf(entry.device, sizeof entry.device, "%s", c.pairs[0].device.c_str());
  snprintf(entry.channel, sizeof entry.channel, "%s", c.pairs[0].channel.c_str());
  snprintf(qor.time_hex, sizeof qor.time_hex, "%08x", c.time_stamp);
  snprintf(qor.clock_hex, sizeof qor.clock_hex, "%08x", c.clock_stamp);
  EXPECT_EQ(qor_build_command(&entry, entry.channel, c.state.c_str(), &qor),
            static_cast<int>(golden.size()));
  EXPECT_EQ(qor.command, golden);
}

INSTANTIATE_TEST_SUITE_P(
    Datagrams, GoldenCommand,
    ::testing::Values(
        "qorctrl command QORTIMER-lamp-1-ON 5f5e1000-0000a2c8-01a9",
        "qorctrl command QORTIMER-porch-lamp-OFF 6b190a9e-00003a4d-08b6",
        // The longest command, 563 bytes.
        "qorctrl command QORTIMER-" + std::string(255, 'd') + "-" + std::string(255, 'c') +
            "-OFF 00000000-ffffffff-ccdc",
        // Bytes above 127 hash as unsigned, whatever the signedness of char.
        "qorctrl command QORTIMER-h\xc3\xa4ll-lamp-2-ON ffffffff-00000000-833b"));

// ------------------------------------------------ command, log and pass

// A context with an open socket, a log file and captured standard output,
// in which commands and passes can be run in simulated time.
class DaemonTest : public ::testing::Test {
 protected:
  void SetUp() override {
    REQUIRE_PRIVATE_NETNS();
    setenv("TZ", "UTC", 1);
    tzset();
    memset(&qor_, 0, sizeof qor_);
    log_path_ = dir_.File(kQorLogFile);
    qor_.logfile = fopen(log_path_.c_str(), "a");
    ASSERT_NE(qor_.logfile, nullptr);
    qor_init_socket();
    socket_open_ = true;
  }
  void TearDown() override {
    if (socket_open_) qor_socket_close();
    if (qor_.logfile) fclose(qor_.logfile);
  }

  void Schedule(const std::string &timers) {
    const std::string path = dir_.File("t.txt");
    WriteFile(path, timers);
    snprintf(qor_.infile, sizeof qor_.infile, "t.txt");
    qor_.timer_stream = fopen(path.c_str(), "r");
    ASSERT_NE(qor_.timer_stream, nullptr);
    qor_read_file(&qor_);
    fclose(qor_.timer_stream);
  }

  std::vector<qortest::Record> LogRecords() { return qortest::ParseRecords(ReadFile(log_path_)); }

  // "HH:MM:SS device-channel-STATE" for every logged command, from its
  // time stamp; the command's hash must verify.
  std::vector<std::string> Sends() {
    std::vector<std::string> sends;
    for (const auto &rec : LogRecords()) {
      std::string copy = rec.command;
      EXPECT_EQ(qorhash_test(&copy[0]), 0) << rec.command;
      sends.push_back(qortest::Hms(qortest::CommandStamp(rec.command)) + " " +
                      qortest::TargetAndState(rec.command));
    }
    return sends;
  }

  TempDir dir_;
  std::string log_path_;
  bool socket_open_ = false;
  static qor_context qor_;
};

qor_context DaemonTest::qor_;

// 2026-12-09 00:00:00 UTC and a helper for times of that day.
constexpr time_t kDay = 1796774400;
constexpr time_t At(int hour, int minute, int second) {
  return kDay + hour * 3600 + minute * 60 + second;
}

class CommandTest : public DaemonTest {};

TEST_F(CommandTest, DatagramLogAndEchoFollowTheRecordFormat) {
  qortest::Listener listener;
  qor_entry lamp{};
  snprintf(lamp.device, sizeof lamp.device, "lamp");
  snprintf(lamp.channel, sizeof lamp.channel, "1");
  snprintf(qor_.time_hex, sizeof qor_.time_hex, "5f5e1000");
  snprintf(qor_.clock_hex, sizeof qor_.clock_hex, "0000a2c8");
  qor_.now = 0x5f5e1000;

  struct Mode {
    int verbose, debug;
  };
  for (const Mode m : {Mode{0, 0}, Mode{1, 0}, Mode{0, 1}, Mode{1, 1}}) {
    SCOPED_TRACE("verbose " + std::to_string(m.verbose) + " debug " + std::to_string(m.debug));
    qor_.verbose = m.verbose;
    qor_.debug = m.debug;
    testing::internal::CaptureStdout();
    EXPECT_EQ(qor_send_command(&lamp, lamp.channel, "ON", &qor_), 0);
    const std::string out = testing::internal::GetCapturedStdout();

    std::string datagram;
    ASSERT_TRUE(listener.Receive(&datagram, 2));
    EXPECT_EQ(datagram.rfind("qorctrl command QORTIMER-lamp-1-ON 5f5e1000-0000a2c8-", 0), 0u);
    ASSERT_EQ(datagram.size(), 57u);
    EXPECT_EQ(datagram, qor_.command);
    std::string copy = datagram;
    EXPECT_EQ(qorhash_test(&copy[0]), 0);

    char ctime_text[64];
    ASSERT_NE(ctime_r(&qor_.now, ctime_text), nullptr);
    const std::string record = datagram + " (57 57)\n" + ctime_text;
    EXPECT_EQ(record.substr(datagram.size() + 9), "Sun Sep 13 12:26:40 2020\n");
    const std::string log = ReadFile(log_path_);  // flushed already
    ASSERT_GE(log.size(), record.size());
    EXPECT_EQ(log.substr(log.size() - record.size()), record);
    const std::string echo = m.debug ? datagram + " (buflen=57)\n" + record
                                     : m.verbose ? record : "";
    EXPECT_EQ(out, echo);
  }
}

TEST_F(CommandTest, LongestCommandGoesOutWhole) {
  qortest::Listener listener;
  qor_entry e{};
  memset(e.device, 'd', 255);
  memset(e.channel, 'c', 255);
  snprintf(qor_.time_hex, sizeof qor_.time_hex, "00000000");
  snprintf(qor_.clock_hex, sizeof qor_.clock_hex, "ffffffff");
  qor_send_command(&e, e.channel, "OFF", &qor_);
  std::string datagram;
  ASSERT_TRUE(listener.Receive(&datagram, 2));
  EXPECT_EQ(datagram.size(), 563u);
  EXPECT_EQ(datagram.substr(0, 25), "qorctrl command QORTIMER-");
  EXPECT_EQ(datagram.substr(25, 255), std::string(255, 'd'));
  EXPECT_EQ(datagram.substr(281, 255), std::string(255, 'c'));
  EXPECT_EQ(qorhash_test(&datagram[0]), 0);
}

TEST_F(CommandTest, FailedSendIsLoggedWithMinusOneAndTheDaemonGoesOn) {
  qor_entry e{};
  snprintf(e.device, sizeof e.device, "lamp");
  snprintf(e.channel, sizeof e.channel, "1");
  qor_.now = At(7, 0, 0);
  testing::internal::CaptureStderr();  // opens a file: before the close
  ASSERT_EQ(qor_socket_close(), 0);
  socket_open_ = false;
  EXPECT_EQ(qor_send_command(&e, e.channel, "OFF", &qor_), 0);
  EXPECT_EQ(testing::internal::GetCapturedStderr(), " *** ERROR sendto: Bad file descriptor\n");
  const auto records = LogRecords();
  ASSERT_EQ(records.size(), 1u);
  EXPECT_NE(records[0].head.find(" (-1 "), std::string::npos) << records[0].head;
}

TEST_F(CommandTest, TimeWithoutACalendarTextIsLoggedWithAPlaceholder) {
  qor_entry e{};
  snprintf(e.device, sizeof e.device, "lamp");
  snprintf(e.channel, sizeof e.channel, "1");
  qor_.now = static_cast<time_t>(1) << 60;  // far beyond any year ctime can write
  qor_.verbose = 1;
  testing::internal::CaptureStdout();
  qor_send_command(&e, e.channel, "ON", &qor_);
  const std::string out = testing::internal::GetCapturedStdout();
  const auto records = LogRecords();
  ASSERT_EQ(records.size(), 1u);
  EXPECT_EQ(records[0].when, "?\n");
  EXPECT_EQ(out, records[0].head + "\n?\n");
}

TEST_F(CommandTest, WithoutALogFileCommandsAreStillSentAndEchoed) {
  qortest::Listener listener;
  fclose(qor_.logfile);
  qor_.logfile = nullptr;
  qor_.verbose = 1;
  qor_.now = At(7, 0, 0);
  qor_entry e{};
  snprintf(e.device, sizeof e.device, "lamp");
  snprintf(e.channel, sizeof e.channel, "1");
  testing::internal::CaptureStdout();
  qor_send_command(&e, e.channel, "OFF", &qor_);
  const std::string out = testing::internal::GetCapturedStdout();
  std::string datagram;
  ASSERT_TRUE(listener.Receive(&datagram, 2));
  EXPECT_EQ(out.substr(0, datagram.size() + 1), datagram + " ");
}

class PassTest : public DaemonTest {
 protected:
  // Runs passes at each of `times`, several per second as the loop does.
  void RunAt(const std::vector<time_t> &times) {
    for (const time_t t : times)
      for (int i = 0; i < 3; i++) qor_pass(&qor_, static_cast<clock_t>(t - kDay) * 1000, t);
  }
  static std::vector<time_t> EverySecond(time_t from, time_t to) {
    std::vector<time_t> times;
    for (time_t t = from; t <= to; t++) times.push_back(t);
    return times;
  }
};

TEST_F(PassTest, FirstPassSendsEveryEntryInFileOrderWithSharedStamps) {
  Schedule("lamp 1 0800 0900\nfan 2 0600 1000\nempty 3 0000 0000\n");
  qor_pass(&qor_, static_cast<clock_t>(0x1234abcd), At(7, 0, 0));
  EXPECT_EQ(Sends(), (std::vector<std::string>{"07:00:00 lamp-1-OFF", "07:00:00 fan-2-ON",
                                               "07:00:00 empty-3-ON"}));
  for (const auto &rec : LogRecords())
    EXPECT_NE(rec.head.find(" 6b18fc70-1234abcd-"), std::string::npos) << rec.head;
  EXPECT_EQ(qor_.hour, 7);
  EXPECT_EQ(qor_.minute, 0);
}

TEST_F(PassTest, RepeatsEvery5SecondsFor300SecondsThenEvery300) {
  Schedule("lamp 1 0800 0900\n");
  RunAt(EverySecond(At(7, 0, 0), At(7, 21, 0)));
  std::vector<std::string> expected = qortest::Series(At(7, 0, 0), At(7, 5, 0), 5, "lamp-1-OFF");
  for (const char *t : {"07:10:00", "07:15:00", "07:20:00"})
    expected.push_back(std::string(t) + " lamp-1-OFF");
  EXPECT_EQ(Sends(), expected);
}

TEST_F(PassTest, ThresholdsAreInclusiveAtTheirExactBoundaries) {
  Schedule("lamp 1 0800 0900\n");
  const time_t t = At(7, 0, 0);
  // since change / since last send at each pass, and whether it sends:
  RunAt({t,            // first pass: sends
         t + 4,        // 4 s: no
         t + 5,        // exactly 5 s: sends
         t + 9,        // no
         t + 300,      // 300 s since the change is still the short cadence: sends
         t + 304,      // 304 / 4: no
         t + 305,      // 305 / 5: past settling, 300 s needed: no
         t + 599,      // no
         t + 600,      // exactly 300 s since the last send: sends
         t + 899, t + 900});
  EXPECT_EQ(Sends(), (std::vector<std::string>{"07:00:00 lamp-1-OFF", "07:00:05 lamp-1-OFF",
                                               "07:05:00 lamp-1-OFF", "07:10:00 lamp-1-OFF",
                                               "07:15:00 lamp-1-OFF"}));
}

TEST_F(PassTest, ChangeAtAMinuteBoundaryGoesOutAtOnceAndRestartsTheCadence) {
  Schedule("lamp 1 0800 0900\n");
  RunAt(EverySecond(At(7, 59, 58), At(8, 1, 11)));
  std::vector<std::string> expected =
      qortest::Series(At(7, 59, 58), At(8, 0, 58), 5, "lamp-1-OFF");
  // 08:01:00 is the first ON minute: sent at once, 2 s after the last OFF.
  for (const auto &s : qortest::Series(At(8, 1, 0), At(8, 1, 10), 5, "lamp-1-ON"))
    expected.push_back(s);
  EXPECT_EQ(Sends(), expected);
}

TEST_F(PassTest, BackwardStepSuppressesRepeatsButNotChanges) {
  Schedule("lamp 1 1100 1300\n");
  const time_t t = At(12, 0, 0);
  RunAt({t, t + 5, t + 7});                 // ON at t, repeat at t + 5
  RunAt(EverySecond(t - 100, t + 9));       // back 107 s, same state: silent
  RunAt({t + 10});                          // 5 s after the last send again
  RunAt({At(10, 59, 0), At(10, 59, 1)});    // back into OFF: a change, sent once
  EXPECT_EQ(Sends(), (std::vector<std::string>{"12:00:00 lamp-1-ON", "12:00:05 lamp-1-ON",
                                               "12:00:10 lamp-1-ON", "10:59:00 lamp-1-OFF"}));
}

TEST_F(PassTest, EmptyScheduleSendsNothing) {
  Schedule("# nothing to switch\n");
  RunAt(EverySecond(At(7, 0, 0), At(7, 10, 0)));
  EXPECT_EQ(ReadFile(log_path_), "");
  EXPECT_EQ(qor_.hour, 7);
  EXPECT_EQ(qor_.minute, 10);
}

TEST_F(PassTest, EachEntryKeepsItsOwnCadence) {
  Schedule("lamp 1 0800 0900\nfan 2 0700 0800\n");
  RunAt(EverySecond(At(7, 59, 59), At(8, 0, 6)));
  // fan turns OFF at 08:00 (the end minute is OFF) and restarts its cadence.
  EXPECT_EQ(Sends(),
            (std::vector<std::string>{"07:59:59 lamp-1-OFF", "07:59:59 fan-2-ON",
                                      "08:00:00 fan-2-OFF", "08:00:04 lamp-1-OFF",
                                      "08:00:05 fan-2-OFF"}));
}

// ----------------------------------------- following the timer file

constexpr time_t kEdited = At(8, 0, 30);  // the first pass of an edit's run
constexpr int kEditSeconds = 16;

// Two pairs ON all day; the same with a third, OFF all day; a bad file (its
// last line failing both tests of a line, said once all the same); one
// that changes everything (lamp switches OFF, fan is new, pump is gone); and
// the third cut inside its last line, where "0700 08" is a good interval, ON
// now, and at that line's end.
const char kTwo[] = "lamp 1 0000 0000\npump 3 0000 0000\n";
const char kThree[] = "lamp 1 0000 0000\npump 3 0000 0000\nfan 2 0700 0800\n";
const char kBadEdit[] = "lamp 1 0000 0000\nfan 2 0800\nfan 2 2470 0900\n";
const char kOther[] = "lamp 1 0800 0801\nfan 2 0000 0000\n";
const char kHalf[] = "lamp 1 0000 0000\npump 3 0000 0000\nfan 2 0700 08";
const char kUnended[] = "lamp 1 0000 0000\npump 3 0000 0000\nfan 2 0700 0800";

enum class Edit { kRename, kInPlace, kRemove, kRelink, kReload };

struct Step {
  int at;  // second of the run
  Edit how;
  const char *text = "";
};

// A run of passes with edits: from which second the edited schedule runs
// (-1: never), its pairs and states, the error stream (DIR for the
// directory) and what the status line shows of the file at the end. Every
// pair is sent when new, when its state changes, and 5 s after its last
// send, whichever schedule runs. `linked`: the name is a symbolic link to
// the file, which kRemove removes and kRelink puts back.
struct FollowCase {
  const char *name;
  bool follow;
  std::vector<Step> steps;
  int taken_at;
  std::string after;
  std::string err;
  qor_follow_phase shown = kQorVersionTaken;
  bool linked = false;
};

const std::string kAddedFan =
    " *** WARNING: Pair (fan 2) added, OFF\n"
    " *** WARNING: Took timer file (DIR/t.txt): 3 pairs, 1 added, 0 switched, 0 removed\n";
const std::string kRefused =
    " *** WARNING reading (DIR/t.txt) line (fan 2 0800)\n"
    " *** WARNING reading (DIR/t.txt) line (fan 2 2470 0900)\n"
    " *** WARNING: Timer file (DIR/t.txt) refused, 2 bad lines; the schedule stays as it was\n";
const char kThreeAfter[] = "lamp-1-ON pump-3-ON fan-2-OFF";
std::string Cut(const char *how) {
  return std::string(" *** WARNING: Timer file (DIR/t.txt) ") + how +
         ", a save cut short or in progress; the schedule stays as it was\n";
}

const FollowCase kFollowCases[] = {
    {"SavedByRenameIsTakenOnceSettled", true, {{4, Edit::kRename, kThree}}, 6, kThreeAfter,
     kAddedFan},
    {"RewrittenInPlaceIsTakenOnceSettled", true, {{4, Edit::kInPlace, kOther}}, 6,
     "lamp-1-OFF fan-2-ON",
     " *** WARNING: Pair (lamp 1) switched, OFF\n *** WARNING: Pair (fan 2) added, ON\n"
     " *** WARNING: Pair (pump 3) removed, last sent ON\n"
     " *** WARNING: Took timer file (DIR/t.txt): 2 pairs, 1 added, 1 switched, 1 removed\n"},
    {"TruncatedFileOrHalfWrittenLineIsNamedOnceAndNotTaken", true,
     {{4, Edit::kInPlace, ""}, {7, Edit::kInPlace, kHalf}, {10, Edit::kInPlace, kThree}}, 12,
     kThreeAfter, Cut("is empty") + Cut("ends mid-line") + kAddedFan},
    {"FileWithoutALastLineEndIsNeverTaken", true, {{4, Edit::kInPlace, kUnended}}, -1, "",
     Cut("ends mid-line"), kQorVersionWaiting},
    {"BadEditIsRefusedOnceAndTheNextSaveTaken", true,
     {{3, Edit::kRename, kBadEdit}, {9, Edit::kRename, kThree}}, 11, kThreeAfter,
     kRefused + kAddedFan},
    {"RemovedFileIsSaidOnceAndItsReturnTaken", true,
     {{3, Edit::kRemove}, {9, Edit::kRename, kThree}}, 11, kThreeAfter,
     " *** WARNING: Unable to read timer file (DIR/t.txt): No such file or directory;"
     " the schedule stays as it was\n" + kAddedFan},
    {"FileGoneAndBackUnchangedEndsItsTrouble", true, {{3, Edit::kRemove}, {8, Edit::kRelink}}, 10,
     "lamp-1-ON pump-3-ON",
     " *** WARNING: Unable to read timer file (DIR/t.txt): No such file or directory;"
     " the schedule stays as it was\n"
     " *** WARNING: Took timer file (DIR/t.txt): 2 pairs, 0 added, 0 switched, 0 removed\n",
     kQorVersionTaken, true},
    {"ReloadTakesTheFileAtOnceAndRefusesABadOne", false,
     {{4, Edit::kRename, kThree}, {4, Edit::kReload}, {8, Edit::kInPlace, kBadEdit},
      {8, Edit::kReload}},
     4, kThreeAfter, kAddedFan + kRefused, kQorVersionRefused},
    {"ReloadDoesNotTakeAHalfSavedFile", false, {{4, Edit::kInPlace, kHalf}, {4, Edit::kReload}},
     -1, "", Cut("ends mid-line"), kQorVersionWaiting},
    {"WithoutFollowingAnEditWaitsForAReload", false, {{4, Edit::kRename, kThree}}, -1, "", ""},
};

void PrintTo(const FollowCase &c, std::ostream *os) { *os << c.name; }

std::vector<std::string> ModelSends(const FollowCase &c) {
  std::map<std::string, std::pair<std::string, int>> last;  // pair: what it last sent, when
  std::vector<std::string> sends;
  for (int t = 0; t < kEditSeconds; t++) {
    std::istringstream pairs(t < c.taken_at || c.taken_at < 0 ? "lamp-1-ON pump-3-ON" : c.after);
    for (std::string word; pairs >> word;) {
      auto &[sent, at] = last[word.substr(0, word.rfind('-'))];
      if (sent == word && t - at < 5) continue;
      sent = word;
      at = t;
      sends.push_back(qortest::Hms(kEdited + t) + " " + word);
    }
  }
  return sends;
}

int stat_calls = 0;
int CountingStat(const char *path, struct stat *st) {
  stat_calls++;
  return stat(path, st);
}

class FollowTest : public DaemonTest, public ::testing::WithParamInterface<FollowCase> {
 protected:
  // Saves the timer file with a time of its own, so that each version
  // differs from the last however coarse the file system's clock.
  void Save(const std::string &text, Edit how) {
    const std::string path = dir_.File("t.txt");
    const std::string temp = how == Edit::kRename ? path + ".new" : path;
    WriteFile(temp, text);
    const timespec stamp[2] = {{kEdited, 0}, {kEdited, ++versions_}};
    ASSERT_EQ(utimensat(AT_FDCWD, temp.c_str(), stamp, 0), 0) << temp;
    ASSERT_EQ(how == Edit::kRename ? rename(temp.c_str(), path.c_str()) : 0, 0);
  }
  long versions_ = 0;
};

TEST_P(FollowTest, TakesWhatSettledKeepsCadencesAndSaysWhatChanged) {
  const FollowCase &c = GetParam();
  Schedule(kTwo);
  Save(kTwo, Edit::kInPlace);
  if (c.linked) {
    ASSERT_EQ(rename(dir_.File("t.txt").c_str(), dir_.File("t.real").c_str()), 0);
    ASSERT_EQ(symlink("t.real", dir_.File("t.txt").c_str()), 0);
  }
  snprintf(qor_.infile, sizeof qor_.infile, "%s", dir_.File("t.txt").c_str());
  qor_.follow = c.follow;
  qor_follow_state follow;
  qor_.timer_stream = fopen(qor_.infile, "r");
  qor_follow_start(&follow, &qor_);  // the version read at start-up
  fclose(qor_.timer_stream);
  stat_calls = 0;
  std::vector<int> taken;
  testing::internal::CaptureStderr();
  for (int t = 0; t < kEditSeconds; t++) {
    bool reload = false;
    for (const Step &s : c.steps) {
      if (s.at != t) continue;
      reload = reload || s.how == Edit::kReload;
      if (s.how == Edit::kRemove) unlink(qor_.infile);
      if (s.how == Edit::kRelink) symlink("t.real", qor_.infile);
      if (s.how == Edit::kRename || s.how == Edit::kInPlace) Save(s.text, s.how);
    }
    // Three passes a second, as the loop runs them: only the first looks
    // at the file, with one stat() (and one more when it reads the file).
    for (int k = 0; k < 3; k++) {
      qor_pass(&qor_, 0, kEdited + t);
      const int before = stat_calls;
      const qor_follow_phase shown = qor_follow_shown(&follow);
      const qor_follow_outcome outcome =
          qor_follow_check(&follow, &qor_, CountingStat, reload && k == 0);
      if (outcome == kQorFollowTaken) {
        taken.push_back(t);
        qor_pass(&qor_, 0, kEdited + t);
      }
      EXPECT_LE(stat_calls - before, k == 0 ? 2 : 0) << "second " << t;
      // What the status line shows changes only with an outcome that recomposes it.
      EXPECT_TRUE(outcome != kQorFollowNothing || qor_follow_shown(&follow) == shown) << t;
    }
    // Trouble with the name is no longer shown once it shows a file again.
    EXPECT_FALSE(c.linked && t >= 8 && qor_follow_shown(&follow) == kQorVersionUnreadable) << t;
  }
  std::string err = testing::internal::GetCapturedStderr();
  for (size_t at; (at = err.find(dir_.path())) != std::string::npos;)
    err.replace(at, dir_.path().size(), "DIR");
  EXPECT_EQ(err, c.err);
  EXPECT_EQ(taken.empty() ? -1 : taken[0], c.taken_at);
  EXPECT_EQ(Sends(), ModelSends(c));
  EXPECT_TRUE(c.follow || c.taken_at >= 0 || c.steps.back().how == Edit::kReload ||
              stat_calls == 0) << stat_calls << " stat() calls";
  EXPECT_EQ(qor_follow_shown(&follow), c.shown);
  qor_free_entries(qor_.entries);
}

INSTANTIATE_TEST_SUITE_P(Edits, FollowTest, ::testing::ValuesIn(kFollowCases),
                         [](const auto &info) { return std::string(info.param.name); });

// Each move of a version's life by qor_follow_move(): the phase it moves
// from (settling: the phase it left, the version seen, its age in seconds,
// whether a reload's), the event with its look and detail (error, bad lines
// or qor_text_cut), then the phase, the outcome, the phase the status line
// shows, and what is said. A look is an inode number, or minus an error.
struct MoveCase {
  const char *name;
  qor_follow_phase from, left;
  int version, seen, age;
  bool reload;
  qor_follow_event_kind event;
  int look, detail;
  qor_follow_phase to;
  qor_follow_outcome outcome;
  qor_follow_phase shown;
  std::string said = "";
};

constexpr qor_follow_phase kT = kQorVersionTaken, kR = kQorVersionRefused,
                           kW = kQorVersionWaiting, kU = kQorVersionUnreadable,
                           kS = kQorVersionSettling;
const std::string kGone = " *** WARNING: Unable to read timer file (t.txt): No such file or"
                          " directory; the schedule stays as it was\n";

const MoveCase kMoveCases[] = {
    {"UnchangedStays", kT, kT, 1, 0, 0, false, kQorFollowLooked, 1, 0, kT, kQorFollowNothing, kT},
    {"NewOneSettles", kR, kT, 1, 0, 0, false, kQorFollowLooked, 2, 0, kS, kQorFollowNothing, kR},
    {"NotYetSettled", kS, kW, 1, 2, 1, false, kQorFollowLooked, 2, 0, kS, kQorFollowNothing, kW},
    {"SettledIsRead", kS, kT, 1, 2, 2, false, kQorFollowLooked, 2, 0, kS, kQorFollowRead, kT},
    {"ChangedAgainSettlesAnew", kS, kT, 1, 2, 9, false, kQorFollowLooked, 3, 0, kS,
     kQorFollowNothing, kT},
    {"CheckedVersionBackEndsSettling", kS, kR, 1, -ENOENT, 1, false, kQorFollowLooked, 1, 0, kR,
     kQorFollowNothing, kR},
    {"GoneNameSettledIsUnreadable", kS, kT, 1, -ENOENT, 2, false, kQorFollowLooked, -ENOENT, 0,
     kU, kQorFollowUnreadable, kU, kGone},
    {"SameTroubleIsNotSaidAgain", kS, kU, -ENOENT, -ENOENT, 0, false, kQorFollowReadFailed, 0,
     ENOENT, kU, kQorFollowUnreadable, kU},
    {"AFileAgainEndsTheTroubleShown", kU, kT, -ENOENT, 0, 0, false, kQorFollowLooked, 1, 0, kS,
     kQorFollowNothing, kT},
    {"ReloadReadsAtOnce", kT, kT, 1, 0, 0, false, kQorFollowReload, 1, 0, kS, kQorFollowRead, kT},
    {"ReloadSaysTheSameTroubleAgain", kU, kT, -ENOENT, 0, 0, false, kQorFollowReload, -ENOENT, 0,
     kU, kQorFollowUnreadable, kU, kGone},
    {"ChangedWhileReadSettlesAgain", kS, kT, 1, 2, 0, true, kQorFollowChanging, 3, 0, kS,
     kQorFollowNothing, kT},
    {"ReloadsRetryIsReadAtTheNextLook", kS, kT, 1, 3, 1, true, kQorFollowLooked, 3, 0, kS,
     kQorFollowRead, kT},
    {"EmptyWaits", kS, kR, 1, 2, 2, false, kQorFollowReadCut, 2, kQorTextEmpty, kW,
     kQorFollowWaits, kW, " *** WARNING: Timer file (t.txt) is empty, a save cut short or in"
                          " progress; the schedule stays as it was\n"},
    {"BadLinesAreRefused", kS, kT, 1, 2, 2, false, kQorFollowReadBad, 2, 3, kR, kQorFollowRefused,
     kR, " *** WARNING: Timer file (t.txt) refused, 3 bad lines; the schedule stays as it was\n"},
    {"GoodIsTaken", kS, kU, -ENOENT, 2, 2, false, kQorFollowReadGood, 2, 0, kT, kQorFollowTaken,
     kT},
};

void PrintTo(const MoveCase &c, std::ostream *os) { *os << c.name; }

qor_follow_look Look(int version) {
  qor_follow_look look{};
  look.st.st_ino = static_cast<ino_t>(std::max(version, 0));
  look.error = std::max(-version, 0);
  return look;
}

class MoveTest : public ::testing::TestWithParam<MoveCase> {};

TEST_P(MoveTest, MovesOnePhaseAndSaysItOnce) {
  const MoveCase &c = GetParam();
  static qor_context qor;
  snprintf(qor.infile, sizeof qor.infile, "t.txt");
  qor.now = kEdited;
  const int trouble = c.left == kU || c.from == kU ? ENOENT : 0;  // said since 14:02
  qor_follow_state f{c.from, Look(c.version), c.left, Look(c.seen), kEdited - c.age, c.reload,
                     1402, trouble, 0, kQorTextWhole, -1};
  const qor_follow_event ev{c.event, Look(c.look), c.detail, c.detail,
                            static_cast<qor_text_cut>(c.detail)};
  testing::internal::CaptureStderr();
  EXPECT_EQ(qor_follow_move(&f, ev, &qor), c.outcome);
  EXPECT_EQ(testing::internal::GetCapturedStderr(), c.said);
  EXPECT_EQ(f.phase, c.to);
  EXPECT_EQ(qor_follow_shown(&f), c.shown);
}

INSTANTIATE_TEST_SUITE_P(Moves, MoveTest, ::testing::ValuesIn(kMoveCases),
                         [](const auto &info) { return std::string(info.param.name); });

// ----------------------------------------------------------- status line

struct StatusCase {
  const char *name;
  std::string timers;
  int hour, minute;
  bool idle;
  qor_follow_phase shown;  // the timer file's, since 14:02,
  long detail;             // with its bad lines, error or qor_text_cut
  std::string status;
  bool realtime_refused = false;
};

constexpr qor_follow_phase kRuns = kQorVersionTaken;
const std::string kLongName(kQorMaxName - 1, 'd');

const StatusCase kStatusCases[] = {
    {"SeveralAtTheSameMinute", "a 1 0800 0900\nb 2 1000 1100\nc 3 0700 0900\nd 4 0600 0900\n", 8,
     30, true, kRuns, 0, "STATUS=4 pairs, 3 ON; next: 09:00 a 1 OFF and 2 more; idle mode"},
    {"PastMidnight", "heater x 2200 0600\npump 1 2400 0300\n", 23, 30, false, kRuns, 0,
     "STATUS=2 pairs, 1 ON; next: 00:00 pump 1 ON"},
    {"NothingEverChanges", "on 1 0000 0000\non 1 2359 0001\noff 1 0800 0801\n", 12, 0, false,
     kRuns, 0, "STATUS=2 pairs, 1 ON; no change due"},
    {"NoPairs", "", 9, 0, true, kRuns, 0, "STATUS=0 pairs, 0 ON; idle mode"},
    {"RealTimeRefused", "", 9, 0, true, kRuns, 0,
     "STATUS=0 pairs, 0 ON; idle mode; normal class: real-time refused", true},
    {"RefusedEdit", "lamp 1 0800 0900\n", 14, 5, false, kQorVersionRefused, 1,
     "STATUS=EDIT REFUSED at 14:02, 1 bad line: see the journal; 1 pair, 0 ON;"
     " next: 08:01 lamp 1 ON"},
    {"EditCutShort", "lamp 1 0800 0900\n", 14, 5, false, kQorVersionWaiting, kQorTextMidLine,
     "STATUS=EDIT INCOMPLETE at 14:02, file ends mid-line: waiting for a whole save; 1 pair, 0 ON;"
     " next: 08:01 lamp 1 ON"},
    {"UnreadableFile", "lamp 1 0800 0900\n", 8, 30, false, kQorVersionUnreadable, ENOENT,
     "STATUS=TIMER FILE UNREADABLE since 14:02 (No such file or directory); 1 pair, 1 ON;"
     " next: 09:00 lamp 1 OFF"},
    // Names are raw bytes: each that begins no valid UTF-8 sequence shows as '?'.
    {"NamesNotUtf8", "\xff\xc3 \xed\xa0\x80\xc3\xa9 0800 0900\n", 8, 30, false, kRuns, 0,
     "STATUS=1 pair, 1 ON; next: 09:00 ?? ???\xc3\xa9 OFF"},
    {"NameCutMidCharacterByTheReader", kLongName + "\xc3\xa9 1 0800 0900\n", 8, 30,
     false, kRuns, 0, "STATUS=1 pair, 1 ON; next: 09:00 " + kLongName + "? 1 OFF"},
};

void PrintTo(const StatusCase &c, std::ostream *os) { *os << c.name; }

class StatusTest : public DaemonTest, public ::testing::WithParamInterface<StatusCase> {};

TEST_P(StatusTest, NamesThePairsTheNextChangeAndTroubleWithTheFile) {
  const StatusCase &c = GetParam();
  Schedule(c.timers);
  for (qor_entry *e = qor_.entries; e != nullptr; e = e->next)
    e->state = qor_is_on(c.hour, c.minute, e->timers);  // as a pass then leaves it
  qor_.hour = c.hour;
  qor_.minute = c.minute;
  qor_.idle = c.idle;
  qor_.realtime_refused = c.realtime_refused;
  qor_follow_state follow{};
  follow.phase = c.shown;
  follow.minute = 1402;
  follow.bad_lines = c.detail;
  follow.error = static_cast<int>(c.detail);
  follow.cut = static_cast<qor_text_cut>(c.detail);
  char status[kQorStatusSize];
  qor_status_compose(&qor_, &follow, status);
  EXPECT_EQ(status, c.status);
}

INSTANTIATE_TEST_SUITE_P(Schedules, StatusTest, ::testing::ValuesIn(kStatusCases),
                         [](const auto &info) { return std::string(info.param.name); });

// A line cut to its buffer ends before a character that does not fit whole.
TEST(StatusTextTest, IsCutOnlyBetweenCharacters) {
  const char kTwoE[] = "\xc3\xa9\xc3\xa9";  // U+00E9 twice
  char line[8] = "ab";
  EXPECT_FALSE(qor_status_append_text(line, 5, kTwoE));
  EXPECT_STREQ(line, "ab\xc3\xa9");
  EXPECT_FALSE(qor_status_append_text(line, 7, "\xf0\x9f\x98\x80"));  // needs 8 bytes
  EXPECT_STREQ(line, "ab\xc3\xa9");
  EXPECT_TRUE(qor_status_append_text(line, 8, "\xf4\x90"));  // beyond U+10FFFF
  EXPECT_STREQ(line, "ab\xc3\xa9??");
}

// ------------------------------------------------------------ idle mode

// A simulated clock for idle mode's wait: every reading of either clock
// moves time on by 1 us, a sleep by what it asked for plus `late`; the
// calendar clock runs at `real_rate` (0: it stands still).
struct SimClock {
  int64_t mono = 0;       // ns
  int64_t real_base = 0;  // calendar time, ns, at mono 0
  int real_rate = 1;
  int64_t late = 0;
  int sleep_rc = 0;
  int normal_class = 0;  // what leaving a real-time class gives
  std::vector<int64_t> naps;
  int64_t Real() const { return real_base + mono * real_rate; }
};
SimClock sim;

constexpr int64_t kNs = 1000000000;
constexpr int64_t kUs = 1000;

timespec ToTimespec(int64_t ns) { return timespec{static_cast<time_t>(ns / kNs), static_cast<long>(ns % kNs)}; }
int SimRealtime(timespec *t) {
  *t = ToTimespec(sim.Real());
  sim.mono += kUs;
  return 0;
}
int SimMonotonic(timespec *t) {
  *t = ToTimespec(sim.mono);
  sim.mono += kUs;
  return 0;
}
int SimSleep(const timespec *relative) {
  const int64_t nap = static_cast<int64_t>(relative->tv_sec) * kNs + relative->tv_nsec;
  sim.naps.push_back(nap);
  if (sim.sleep_rc == 0) sim.mono += nap + sim.late;
  return sim.sleep_rc;
}
int SimNormalClass() {
  errno = EPERM;
  return sim.normal_class;
}
const qor_idle_clock kSimClock{SimRealtime, SimMonotonic, SimSleep, SimNormalClass};

constexpr time_t kSecondOfPass = 1796774400;

// One or more waits after a pass in kSecondOfPass, each begun `into` ns
// into that second of the simulated clock.
struct IdleCase {
  const char *name;
  int64_t into;           // ns into the second when the wait begins
  time_t second;          // the pass's second, as the wait is told it
  long margin;            // before the first wait
  int64_t late;           // how late each sleep wakes
  int sleep_rc;
  int real_rate;
  int waits;
  std::vector<int64_t> naps;  // the sleeps asked for
  long margin_after;
  int64_t ends;           // calendar ns after the turn at which the last wait returns, within
                          // 5 us; -1: before the turn
  const char *err;
  int64_t warm = -1;      // ns a warm-up takes; -1: none is given
  int normal_class = 0;   // 1: the process runs in a real-time class it can leave
};

void PrintTo(const IdleCase &c, std::ostream *os) { *os << c.name; }

const char kNoSleep[] =
    " *** WARNING: Unable to sleep (clock_nanosleep: Operation not permitted); polling the clock\n";

// Each wait begins with a reading of each clock (2 us), so a wake 30 us
// late is seen as 31 us late: the margin wanted is then 2 * 31 + 20 us.
const IdleCase kIdleCases[] = {
    {"SleepsToTheMarginThenPollsToTheTurn", 300000 * kUs, kSecondOfPass, 100000, 30 * kUs, 0, 1,
     1, {700000 * kUs - 100000}, 99719, 0, ""},
    {"ALateWakeRaisesTheMarginAtOnce", 300000 * kUs, kSecondOfPass, 100000, 300 * kUs, 0, 1, 1,
     {700000 * kUs - 100000}, 622000, 200 * kUs, ""},
    {"TheMarginStaysWithinItsBounds", 300000 * kUs, kSecondOfPass, 100000, 5000 * kUs, 0, 1, 1,
     {700000 * kUs - 100000}, kQorIdleMaxMargin, 4900 * kUs, ""},
    {"NoSleepWhenTheTurnIsNearerThanTheMargin", kNs - 50 * kUs, kSecondOfPass, 100000, 0, 0, 1,
     1, {}, 100000, 0, ""},
    {"AClockSteppedPastTheSecondReturnsAtOnce", 300000 * kUs, kSecondOfPass - 1, 100000, 0, 0,
     1, 1, {}, 100000, -1, ""},
    {"AClockSteppedBackReturnsAtOnce", 300000 * kUs, kSecondOfPass + 3600, 100000, 0, 0, 1, 1,
     {}, 100000, -1, ""},
    {"ARefusedSleepIsSaidOnceAndThePollReachesTheTurn", 999000 * kUs, kSecondOfPass, 100000, 0,
     EPERM, 1, 2, {900 * kUs, 900 * kUs}, 100000, 0, kNoSleep},
    {"ARefusedSleepInARealTimeClassLeavesItBeforeItPolls", 999000 * kUs, kSecondOfPass, 100000,
     0, EPERM, 1, 2, {900 * kUs, 900 * kUs}, 100000, 0,
     " *** WARNING: Unable to sleep (clock_nanosleep: Operation not permitted); polling the clock\n"
     " *** WARNING: Left real-time scheduling to poll the clock\n", -1, 1},
    {"AnInterruptedSleepReturnsAtOnce", 300000 * kUs, kSecondOfPass, 100000, 0, EINTR, 1, 1,
     {700000 * kUs - 100000}, 100000, -1, ""},
    {"AClockThatStandsStillHoldsThePollFor2Ms", 300000 * kUs, kSecondOfPass, 100000, 0, 0, 0, 1,
     {700000 * kUs - 100000}, 98782, -1, ""},
    // The warm-up's 50 us and the reading before it count as lateness.
    {"AWarmUpRunsOnWakingAndTheMarginMakesRoomForIt", 300000 * kUs, kSecondOfPass, 100000,
     30 * kUs, 0, 1, 1, {700000 * kUs - 100000}, 184000, 0, "", 50 * kUs},
    {"NoWarmUpOnceTheSecondHasTurned", 300000 * kUs, kSecondOfPass, 100000, 300 * kUs, 0, 1, 1,
     {700000 * kUs - 100000}, 624000, 201 * kUs, "", 50 * kUs},
};

void SimWarm(void *ns) { sim.mono += *static_cast<const int64_t *>(ns); }

class IdleWaitTest : public ::testing::TestWithParam<IdleCase> {};

TEST_P(IdleWaitTest, WakesBeforeTheTurnAndPollsToItWithinBounds) {
  const IdleCase &c = GetParam();
  qor_idle_state idle{c.margin, false};
  testing::internal::CaptureStderr();
  sim = SimClock{};
  sim.real_rate = c.real_rate;
  sim.late = c.late;
  sim.sleep_rc = c.sleep_rc;
  sim.normal_class = c.normal_class;
  int64_t begun = 0, turn = 0;
  for (int i = 0; i < c.waits; i++) {
    begun = static_cast<int64_t>(kSecondOfPass + i) * kNs + c.into;
    turn = static_cast<int64_t>(kSecondOfPass + i + 1) * kNs;
    sim.real_base = begun - sim.mono * sim.real_rate;
    int64_t warm = c.warm;
    if (c.warm < 0)
      qor_idle_wait(&idle, c.second + i, kSimClock);
    else
      qor_idle_wait(&idle, c.second + i, kSimClock, SimWarm, &warm);
  }
  EXPECT_EQ(testing::internal::GetCapturedStderr(), c.err);
  EXPECT_EQ(sim.naps, c.naps);
  EXPECT_EQ(idle.margin, c.margin_after);
  const int64_t end = sim.Real();
  if (c.ends < 0) {
    EXPECT_LT(end, turn) << "polled on";
    if (c.real_rate == 0) {  // gave up 2 ms after the turn was due
      EXPECT_GE(sim.mono, turn - begun + kQorIdleMaxMargin);
      EXPECT_LE(sim.mono, turn - begun + kQorIdleMaxMargin + 5 * kUs);
    }
  } else {
    EXPECT_GE(end - turn, c.ends);
    EXPECT_LE(end - turn, c.ends + 5 * kUs) << "polled past the turn";
  }
}

INSTANTIATE_TEST_SUITE_P(SimulatedClock, IdleWaitTest, ::testing::ValuesIn(kIdleCases),
                         [](const auto &info) { return std::string(info.param.name); });

// On the real clocks, in a child with an alarm so that a wait that would
// not end fails: the timer slack is at its least, and the wait after a pass
// in this second ends as the next one begins, or, when the clock has been
// stepped away from the pass's second either way, at once.
[[noreturn]] void WaitAndJudge(time_t offset) {
  alarm(3);
  qor_idle_state idle;
  qor_idle_start(&idle);
  if (prctl(PR_GET_TIMERSLACK, 0, 0, 0, 0) != 1) exit(2);
  timespec before;
  timespec after;
  clock_gettime(CLOCK_REALTIME, &before);
  qor_idle_wait(&idle, before.tv_sec + offset, qor_idle_system_clock);
  clock_gettime(CLOCK_REALTIME, &after);
  const double slept = static_cast<double>(after.tv_sec - before.tv_sec) +
                       static_cast<double>(after.tv_nsec - before.tv_nsec) / 1e9;
  fprintf(stderr, "slept %.6f s\n", slept);
  if (offset == 0) exit(after.tv_sec == before.tv_sec + 1 && after.tv_nsec < 200000000 ? 0 : 1);
  exit(slept < 0.05 ? 0 : 1);
}

TEST(IdleSleepTest, NeverSleepsPastTheNextSecond) {
  for (const time_t offset : {0, -3600, 3600})
    EXPECT_EXIT(WaitAndJudge(offset), testing::ExitedWithCode(0), "") << offset;
}

TEST(IdleDeathTest, ARefusedSleepInARealTimeClassItCannotLeaveEndsTheProcess) {
  sim = SimClock{};
  sim.sleep_rc = EPERM;
  sim.normal_class = -1;
  qor_idle_state idle{100000, false};
  EXPECT_EXIT(qor_idle_wait(&idle, 0, kSimClock), testing::ExitedWithCode(1),
              "Unable to poll the clock under real-time scheduling \\(sched_setscheduler: "
              "Operation not permitted\\)\n$");
}

TEST(PassDeathTest, CalendarFailureEndsTheProcess) {
  static qor_context qor;
  EXPECT_EXIT(qor_pass(&qor, 0, static_cast<time_t>(-1)), testing::ExitedWithCode(1),
              "^ \\*\\*\\* ERRROR: host cannot return current calendar time\n$");
}

TEST(PassDeathTest, LocalTimeFailureEndsTheProcess) {
  static qor_context qor;
  EXPECT_EXIT(qor_pass(&qor, 0, static_cast<time_t>(1) << 62), testing::ExitedWithCode(1),
              "^ \\*\\*\\* ERROR: host cannot convert calendar time to local time\n$");
}

}  // namespace

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
