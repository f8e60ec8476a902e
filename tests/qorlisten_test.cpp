// The listener: taking datagrams apart, verdicts, output lines and options
// without sockets; then the real program on a real socket.
#include "qorlisten.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "qorhash.h"
#include "test_util.h"

namespace {

using qorlisten::Command;
using qorlisten::Options;
using qorlisten::ParseResult;

// The command as the daemon sends it: text plus its hash.
std::string Hashed(const std::string &text) {
  std::vector<char> buf(text.begin(), text.end());
  buf.resize(text.size() + 5, '\0');
  EXPECT_EQ(qorhash_append(buf.data(), static_cast<int>(buf.size())), 0);
  return buf.data();
}

std::string CommandFor(const std::string &target, const std::string &stamps = "5f5e1000-0000a2c8-") {
  return Hashed("qorctrl command " + target + " " + stamps);
}

// Local times in these tests are UTC; the binary runs no other test that
// reads the zone.
class ListenerText : public ::testing::Test {
 protected:
  void SetUp() override {
    setenv("TZ", "UTC", 1);
    tzset();
  }
};

// ------------------------------------------------------------------ parsing

TEST(ListenerParse, DaemonCommandYieldsEveryField) {
  const std::string d = CommandFor("QORTIMER-lamp-1-ON");
  const Command c = qorlisten::ParseCommand(d);
  ASSERT_TRUE(c.ok) << c.problem;
  EXPECT_EQ(c.tag, "QORTIMER");
  ASSERT_EQ(c.pairs.size(), 1u);
  EXPECT_EQ(c.pairs[0].device, "lamp");
  EXPECT_EQ(c.pairs[0].channel, "1");
  EXPECT_EQ(c.state, "ON");
  EXPECT_EQ(c.time_stamp, 0x5f5e1000u);
  EXPECT_EQ(c.clock_stamp, 0x0000a2c8u);
  EXPECT_EQ(c.hash, d.substr(d.size() - 4));
}

struct RejectCase {
  const char *name;
  std::string datagram;
  const char *problem;  // a part of the reason given
};
void PrintTo(const RejectCase &k, std::ostream *os) { *os << k.name; }

class ListenerRejects : public ::testing::TestWithParam<RejectCase> {};

TEST_P(ListenerRejects, DatagramOutsideTheLayoutIsNotACommand) {
  const Command c = qorlisten::ParseCommand(GetParam().datagram);
  EXPECT_FALSE(c.ok);
  EXPECT_NE(c.problem.find(GetParam().problem), std::string::npos) << c.problem;
}

INSTANTIATE_TEST_SUITE_P(
    Layout, ListenerRejects,
    ::testing::Values(
        RejectCase{"Junk", "\x01\x7f junk junk", "does not begin"},
        RejectCase{"OtherFirstWord", "qorctl command QORTIMER-lamp-1-ON 5f5e1000-0000a2c8-abcd",
                   "does not begin"},
        RejectCase{"NulByte", std::string("qorctrl command QORTIMER-lamp-1-ON\0 5f5e1000", 44),
                   "NUL"},
        RejectCase{"NoStamps", "qorctrl command QORTIMER-lamp-1-ON", "no stamps"},
        RejectCase{"ClockStampMissing", "qorctrl command QORTIMER-lamp-1-ON 5f5e1000-abcd",
                   "stamps"},
        RejectCase{"TextAfterHash", "qorctrl command QORTIMER-lamp-1-ON 5f5e1000-0000a2c8-abcd x",
                   "stamps"},
        RejectCase{"StateUnknown", "qorctrl command QORTIMER-lamp-1-DIM 5f5e1000-0000a2c8-abcd",
                   "neither ON nor OFF"},
        RejectCase{"NoChannel", "qorctrl command QORTIMER-lamp-ON 5f5e1000-0000a2c8-abcd",
                   "no device-channel"},
        RejectCase{"NoTag", "qorctrl command -lamp-1-ON 5f5e1000-0000a2c8-abcd", "no sender tag"},
        RejectCase{"DeviceTooLong",
                   "qorctrl command QORTIMER-" + std::string(256, 'd') +
                       "-1-ON 5f5e1000-0000a2c8-abcd",
                   "no device-channel"}),
    [](const auto &info) { return std::string(info.param.name); });

TEST(ListenerParse, LineEndAfterTheHashIsAllowed) {
  const Command c = qorlisten::ParseCommand(CommandFor("QORTIMER-lamp-1-OFF") + "\r\n");
  ASSERT_TRUE(c.ok) << c.problem;
  EXPECT_EQ(c.state, "OFF");
}

struct SplitCase {
  const char *name;
  std::string names;  // between the tag and the state
  std::vector<std::pair<std::string, std::string>> pairs;
};
void PrintTo(const SplitCase &k, std::ostream *os) { *os << k.name; }

class ListenerSplits : public ::testing::TestWithParam<SplitCase> {};

TEST_P(ListenerSplits, NamesHoldingDashesGiveEverySplitThatFits) {
  const Command c = qorlisten::ParseCommand(CommandFor("QORTIMER-" + GetParam().names + "-ON"));
  ASSERT_TRUE(c.ok) << c.problem;
  EXPECT_EQ(c.names, GetParam().names);
  std::vector<std::pair<std::string, std::string>> got;
  for (const auto &p : c.pairs) got.emplace_back(p.device, p.channel);
  EXPECT_EQ(got, GetParam().pairs);
}

const std::string kLongDevice(255, 'd');

INSTANTIATE_TEST_SUITE_P(
    Names, ListenerSplits,
    ::testing::Values(
        SplitCase{"Plain", "lamp-1", {{"lamp", "1"}}},
        SplitCase{"DashInDevice", "hall-lamp-1", {{"hall", "lamp-1"}, {"hall-lamp", "1"}}},
        SplitCase{"DoubleDash", "a--b", {{"a", "-b"}, {"a-", "b"}}},
        SplitCase{"LeadingDash", "-a-b", {{"-a", "b"}}},
        // A device of the longest length leaves only one place to split.
        SplitCase{"LengthLimitResolves", kLongDevice + "-x-y", {{kLongDevice, "x-y"}}}),
    [](const auto &info) { return std::string(info.param.name); });

// ----------------------------------------------------------------- verdicts

struct VerdictCase {
  const char *name;
  std::string datagram;
  int code;
  const char *verdict;  // the beginning of the verdict text
};
void PrintTo(const VerdictCase &k, std::ostream *os) { *os << k.name; }

class ListenerVerdicts : public ::testing::TestWithParam<VerdictCase> {};

TEST_P(ListenerVerdicts, HashVerdictFollowsQorhashTest) {
  const std::string before = GetParam().datagram;
  const int code = qorlisten::VerifyHash(GetParam().datagram);
  EXPECT_EQ(code, GetParam().code);
  EXPECT_EQ(qorlisten::VerdictText(code).rfind(GetParam().verdict, 0), 0u)
      << qorlisten::VerdictText(code);
  EXPECT_EQ(GetParam().datagram, before);  // the caller's text is not cut
}

// The state changed after hashing: the hash no longer matches.
std::string Tampered() {
  std::string d = CommandFor("QORTIMER-lamp-1-OFF");
  return d.replace(d.find("-OFF "), 5, "-ON ");
}

INSTANTIATE_TEST_SUITE_P(
    Hash, ListenerVerdicts,
    ::testing::Values(
        VerdictCase{"Genuine", CommandFor("QORTIMER-lamp-1-ON"), 0, "verified"},
        VerdictCase{"StateTampered", Tampered(), 5, "MISMATCH"},
        VerdictCase{"StampTampered",
                    [] {
                      std::string d = CommandFor("QORTIMER-lamp-1-ON");
                      d[d.find("5f5e1000")] = '6';
                      return d;
                    }(),
                    5, "MISMATCH"},
        VerdictCase{"UpperCaseHash",
                    [] {
                      std::string d = CommandFor("QORTIMER-lamp-1-ON");
                      for (size_t i = d.size() - 4; i < d.size(); i++)
                        d[i] = static_cast<char>(toupper(static_cast<unsigned char>(d[i])));
                      return d;
                    }(),
                    5, "MISMATCH"},
        VerdictCase{"JunkWithoutHexTail", "hello", 3, "NO VALID HASH"},
        VerdictCase{"ShortJunk", "abcd", 2, "NO VALID HASH"},
        VerdictCase{"BinaryJunk", std::string("\x01\x02\x03zz-x12z", 10), 4, "NO VALID HASH"},
        VerdictCase{"NulHidesATail", CommandFor("QORTIMER-lamp-1-ON") + std::string(1, '\0') + "x",
                    -1, "NO VALID HASH"}),
    [](const auto &info) { return std::string(info.param.name); });

TEST(ListenerVerdict, OnlyAWellFormedCommandThatVerifiesCounts) {
  EXPECT_TRUE(qorlisten::IsVerifiedCommand(CommandFor("QORTIMER-lamp-1-ON")));
  EXPECT_FALSE(qorlisten::IsVerifiedCommand(Tampered()));
  // The hash is right but the text is not a command.
  EXPECT_FALSE(qorlisten::IsVerifiedCommand(Hashed("hello world ")));
  EXPECT_EQ(qorlisten::VerifyHash(Hashed("hello world ")), 0);
}

// --------------------------------------------------------------- the line

TEST_F(ListenerText, StampsDecodeToLocalTimeAndProcessorSeconds) {
  EXPECT_EQ(qorlisten::TimeStampText(0x5f5e1000), "2020-09-13T12:26:40");
  EXPECT_EQ(qorlisten::TimeStampText(0), "1970-01-01T00:00:00");
  EXPECT_EQ(qorlisten::ClockStampText(0x0000a2c8), "0.041672s");
  EXPECT_EQ(qorlisten::ClockStampText(0xffffffff), "4294.967295s");
  setenv("TZ", "EST5", 1);
  tzset();
  EXPECT_EQ(qorlisten::TimeStampText(0x5f5e1000), "2020-09-13T07:26:40");
}

TEST_F(ListenerText, CommandLineCarriesReceiptTimeFieldsAndVerdict) {
  const std::string d = CommandFor("QORTIMER-lamp-1-ON");
  const timespec at{1600000003, 250000000};
  EXPECT_EQ(qorlisten::FormatLine(d, at, "192.168.0.1:40000"),
            "2020-09-13 12:26:43.250 192.168.0.1:40000 device=lamp channel=1 ON "
            "time=2020-09-13T12:26:40 clock=0.041672s hash=" +
                d.substr(d.size() - 4) + " verified");
}

TEST_F(ListenerText, AmbiguousNamesShowEveryReading) {
  const std::string line = qorlisten::FormatLine(CommandFor("QORTIMER-hall-lamp-1-OFF"),
                                                 timespec{0, 0}, "p");
  EXPECT_NE(line.find("device-channel=hall-lamp-1 (ambiguous: hall|lamp-1 or hall-lamp|1) OFF"),
            std::string::npos)
      << line;
}

TEST_F(ListenerText, TamperedAndJunkLinesSaySo) {
  const std::string tampered = qorlisten::FormatLine(Tampered(), timespec{0, 0}, "p");
  EXPECT_NE(tampered.find("device=lamp channel=1 ON "), std::string::npos) << tampered;
  EXPECT_EQ(tampered.substr(tampered.size() - 9), " MISMATCH");

  const std::string junk =
      qorlisten::FormatLine(std::string("\x01junk\"\\", 7), timespec{0, 0}, "p");
  EXPECT_NE(junk.find("not a command (does not begin with \"qorctrl command \"): "
                      "\"\\x01junk\\\"\\\\\" NO VALID HASH"),
            std::string::npos)
      << junk;
}

TEST(ListenerQuote, LongDatagramIsCutAndItsLengthGiven) {
  EXPECT_EQ(qorlisten::QuoteBytes(std::string(100, 'x'), 3), "\"xxx\"... (100 bytes)");
}

// -------------------------------------------------------------- options

struct OptionCase {
  const char *name;
  std::vector<std::string> args;
  ParseResult result;
  std::string address;  // for kRun: what the options hold
  int port;
  long count;
  double seconds;
  const char *error;  // for kError: a part of the message
};
void PrintTo(const OptionCase &k, std::ostream *os) { *os << k.name; }

class ListenerOptions : public ::testing::TestWithParam<OptionCase> {};

TEST_P(ListenerOptions, CommandLineIsReadOrRefusedWithAReason) {
  const OptionCase &k = GetParam();
  Options o;
  o.port = -7;  // must stay untouched on failure
  std::string error;
  ASSERT_EQ(qorlisten::ParseOptions(k.args, &o, &error), k.result) << error;
  if (k.result == ParseResult::kRun) {
    EXPECT_EQ(o.address, k.address);
    EXPECT_EQ(o.port, k.port);
    EXPECT_EQ(o.count, k.count);
    EXPECT_DOUBLE_EQ(o.seconds, k.seconds);
  } else if (k.result == ParseResult::kError) {
    EXPECT_NE(error.find(k.error), std::string::npos) << error;
    EXPECT_EQ(o.port, -7);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Args, ListenerOptions,
    ::testing::Values(
        OptionCase{"Defaults", {}, ParseResult::kRun, "0.0.0.0", 1962, 0, 0, ""},
        OptionCase{"All", {"-a", "192.168.0.255", "-p", "2000", "-n", "3", "-t", "1.5"},
                   ParseResult::kRun, "192.168.0.255", 2000, 3, 1.5, ""},
        OptionCase{"Attached", {"-p2000", "-n3", "-t.5"}, ParseResult::kRun, "0.0.0.0", 2000, 3,
                   0.5, ""},
        OptionCase{"Help", {"-p", "2000", "-h"}, ParseResult::kHelp, "", 0, 0, 0, ""},
        OptionCase{"Unknown", {"-x"}, ParseResult::kError, "", 0, 0, 0, "unknown option \"-x\""},
        OptionCase{"LongUnknown", {"--port", "1"}, ParseResult::kError, "", 0, 0, 0,
                   "unknown option"},
        OptionCase{"Stray", {"1962"}, ParseResult::kError, "", 0, 0, 0, "unexpected argument"},
        OptionCase{"MissingValue", {"-n"}, ParseResult::kError, "", 0, 0, 0, "-n needs a value"},
        OptionCase{"PortZero", {"-p", "0"}, ParseResult::kError, "", 0, 0, 0, "port from 1"},
        OptionCase{"PortNotANumber", {"-p", "12ab"}, ParseResult::kError, "", 0, 0, 0, "port"},
        OptionCase{"CountZero", {"-n", "0"}, ParseResult::kError, "", 0, 0, 0, "count"},
        OptionCase{"SecondsZero", {"-t", "0"}, ParseResult::kError, "", 0, 0, 0, "seconds"},
        OptionCase{"SecondsInfinite", {"-t", "inf"}, ParseResult::kError, "", 0, 0, 0, "seconds"},
        OptionCase{"BadAddress", {"-a", "192.168.0"}, ParseResult::kError, "", 0, 0, 0, "IPv4"},
        OptionCase{"ExpectWithoutFile", {"--expect"}, ParseResult::kError, "", 0, 0, 0,
                   "--expect needs a value"},
        OptionCase{"CheckWithoutSeconds", {"--expect", "t.txt", "--check"}, ParseResult::kError,
                   "", 0, 0, 0, "--check needs -t"},
        OptionCase{"Version", {"-V"}, ParseResult::kVersion, "", 0, 0, 0, ""},
        OptionCase{"SenderNotAnAddress", {"-H", "board"}, ParseResult::kError, "", 0, 0, 0,
                   "-H wants a dotted IPv4"},
        OptionCase{"RangeBackwards", {"--expect", "t.txt", "-w", "5:1"}, ParseResult::kError, "",
                   0, 0, 0, "-w wants a range"},
        OptionCase{"ThresholdWithoutFile", {"-c", "10"}, ParseResult::kError, "", 0, 0, 0,
                   "-w and -c need --expect"},
        OptionCase{"MetricsWithoutCheck", {"--expect", "t.txt", "--metrics", "m.prom"},
                   ParseResult::kError, "", 0, 0, 0, "--metrics needs --check"}),
    [](const auto &info) { return std::string(info.param.name); });

// The plugins' ranges: 10 is 0..10, 10: no end, ~:10 no start, @ inside.
TEST(ListenerRange, ValueAlertsOutsideItsRangeOrInsideWithAt) {
  const auto alerts = [](const char *text, double v) {
    qorlisten::Range r;
    EXPECT_TRUE(qorlisten::ParseRange(text, &r)) << text;
    return qorlisten::Alerts(r, v);
  };
  EXPECT_TRUE(alerts("10", 10.1) && alerts("10", -0.1) && !alerts("10", 10));
  EXPECT_TRUE(alerts("10:", 9.9) && !alerts("10:", 1e9));
  EXPECT_TRUE(alerts("~:10", 11) && !alerts("~:10", -1e9));
  EXPECT_TRUE(alerts("@10:20", 15) && !alerts("@10:20", 20.5) && !alerts("-5:-1", -3));
  qorlisten::Range r;
  EXPECT_FALSE(qorlisten::ParseRange("1:x", &r) || qorlisten::ParseRange("@", &r));
}

// ----------------------------------------------------- the real program

TEST(ListenerProgram, HelpAndBadOptionsNeedNoNetwork) {
  qortest::RunOptions options;
  const auto help = qortest::RunBinary({QORLISTEN_BINARY, "-h"}, options);
  EXPECT_TRUE(help.exited);
  EXPECT_EQ(help.status, 0);
  EXPECT_EQ(help.out.rfind("usage: qorlisten", 0), 0u) << help.out;
  EXPECT_EQ(qortest::RunBinary({QORLISTEN_BINARY, "-V"}, options).out, "qorlisten 1.3.0\n");

  const auto bad = qortest::RunBinary({QORLISTEN_BINARY, "-t", "soon"}, options);
  EXPECT_TRUE(bad.exited);
  EXPECT_EQ(bad.status, 2);
  EXPECT_EQ(bad.out, "");
  EXPECT_NE(bad.err.find("qorlisten: option -t wants"), std::string::npos) << bad.err;
}

TEST(ListenerProgram, RunThatHearsNothingSaysSoAndEndsWithStatus4) {
  REQUIRE_PRIVATE_NETNS();  // where nothing can arrive
  const auto run = qortest::RunBinary({QORLISTEN_BINARY, "-t", "1"}, qortest::RunOptions{});
  EXPECT_TRUE(run.exited);
  EXPECT_EQ(run.status, 4);
  EXPECT_EQ(run.out, "");
  EXPECT_EQ(run.err, "qorlisten: listening on 0.0.0.0:1962\n"
                     "qorlisten: 0 datagrams, 0 verified commands\n"
                     "qorlisten: nothing received on 0.0.0.0:1962\n");
}

// True once some socket holds UDP `port` without SO_REUSEADDR sharing
// open to us: then the listener is bound and will see what we send.
bool PortTaken(int port) {
  const int fd = socket(AF_INET, SOCK_DGRAM, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(static_cast<uint16_t>(port));
  const bool taken = bind(fd, reinterpret_cast<sockaddr *>(&a), sizeof a) != 0 &&
                     errno == EADDRINUSE;
  close(fd);
  return taken;
}

TEST(ListenerProgram, PrintsEachBroadcastWithItsVerdictAndFailsOnBadOnes) {
  REQUIRE_PRIVATE_NETNS();
  qortest::RunResult run;
  std::thread listener([&run] {
    qortest::RunOptions options;
    options.timeout_seconds = 20;
    run = qortest::RunBinary({QORLISTEN_BINARY, "-n", "3", "-t", "15"}, options);
  });
  const auto give_up = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (!PortTaken(kQorPort) && std::chrono::steady_clock::now() < give_up)
    std::this_thread::sleep_for(std::chrono::milliseconds(10));

  const int fd = socket(AF_INET, SOCK_DGRAM, 0);
  const int on = 1;
  ASSERT_EQ(setsockopt(fd, SOL_SOCKET, SO_BROADCAST, &on, sizeof on), 0);
  sockaddr_in to{};
  to.sin_family = AF_INET;
  to.sin_port = htons(kQorPort);
  inet_pton(AF_INET, kQorBroadcastAddress, &to.sin_addr);
  for (const std::string &d : {CommandFor("QORTIMER-lamp-1-ON"), Tampered(), std::string("junk")})
    EXPECT_EQ(sendto(fd, d.data(), d.size(), 0, reinterpret_cast<sockaddr *>(&to), sizeof to),
              static_cast<ssize_t>(d.size()));
  close(fd);
  listener.join();

  EXPECT_FALSE(run.timed_out);
  EXPECT_TRUE(run.exited);
  EXPECT_EQ(run.status, 3);  // two of the three were bad
  std::istringstream out(run.out);
  std::vector<std::string> lines;
  for (std::string l; std::getline(out, l);) lines.push_back(l);
  ASSERT_EQ(lines.size(), 3u) << run.out;
  EXPECT_NE(lines[0].find(" 192.168.0.1:"), std::string::npos) << lines[0];
  EXPECT_NE(lines[0].find("device=lamp channel=1 ON"), std::string::npos) << lines[0];
  EXPECT_EQ(lines[0].substr(lines[0].size() - 9), " verified");
  EXPECT_EQ(lines[1].substr(lines[1].size() - 9), " MISMATCH");
  EXPECT_NE(lines[2].find("not a command"), std::string::npos) << lines[2];
  EXPECT_NE(run.err.find("3 datagrams, 1 verified commands"), std::string::npos) << run.err;
}

}  // namespace
