// Transport tests on real sockets inside the private test network, and the
// reading of a destination (qor_wire.h) that start-up hands the transport.
#include "qor_socket.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstddef>
#include <cstring>
#include <string>
#include <vector>

#include "qor_notify.h"
#include "qor_watchdog.h"
#include "qor_wire.h"
#include "test_util.h"

namespace {

using qortest::Listener;

class SocketTest : public ::testing::Test {
 protected:
  void SetUp() override {
    REQUIRE_PRIVATE_NETNS();
    qor_init_socket();
  }
  void TearDown() override { qor_socket_close(); }
};

TEST_F(SocketTest, ListenerOnPort1962ReceivesExactlyTheBytesSent) {
  Listener listener;
  const std::string text = "qorctrl command QORTIMER-lamp-1-ON 5f5e1000-0000a2c8-abcd";
  EXPECT_EQ(qor_socket_sendbuf(text.c_str()), static_cast<int>(text.size()));
  std::string got;
  ASSERT_TRUE(listener.Receive(&got, 2));
  EXPECT_EQ(got, text);  // no NUL, no line end
}

// A destination as QORTIMER_DESTINATION gives it; "" in `address` means
// it is refused. (The start-up table runs the daemon on four more refusals.)
struct DestinationCase {
  const char *text;
  const char *address;
  int port;
};

const DestinationCase kDestinationCases[] = {
    {"192.168.0.255", "192.168.0.255", 1962}, {"10.1.2.255:1962", "10.1.2.255", 1962},
    {"127.0.0.1:1", "127.0.0.1", 1},         {"0.0.0.0:65535", "0.0.0.0", 65535},
    {"10.0.0.7:00080", "10.0.0.7", 80},      {"", "", 0},
    {"1.2.3.4:", "", 0},                     {"1.2.3.4:65536", "", 0},
    {"1.2.3.4:99999999999999999999", "", 0}, {"1.2.3.4:+5", "", 0},
    {"1.2.3.4:5x", "", 0},                   {"1.2.3", "", 0},
    {"010.1.1.1", "", 0},                    {"1.2.3.4 ", "", 0},
    {"1.2.3.4:5:6", "", 0},                  {"0x7f.0.0.1", "", 0},
};

class DestinationTest : public ::testing::TestWithParam<DestinationCase> {};

TEST_P(DestinationTest, IsReadOrRefused) {
  const DestinationCase &c = GetParam();
  sockaddr_in to;
  memset(&to, 0xa5, sizeof to);
  const sockaddr_in untouched = to;
  const bool ok = qor_parse_destination(c.text, &to);
  ASSERT_EQ(ok, c.address[0] != '\0') << c.text;
  if (!ok) {
    EXPECT_EQ(memcmp(&to, &untouched, sizeof to), 0);
    return;
  }
  char ip[INET_ADDRSTRLEN];
  EXPECT_EQ(to.sin_family, AF_INET);
  EXPECT_STREQ(inet_ntop(AF_INET, &to.sin_addr, ip, sizeof ip), c.address);
  EXPECT_EQ(ntohs(to.sin_port), c.port);
  EXPECT_EQ(memcmp(to.sin_zero, "\0\0\0\0\0\0\0\0", sizeof to.sin_zero), 0);
}

INSTANTIATE_TEST_SUITE_P(Texts, DestinationTest, ::testing::ValuesIn(kDestinationCases));

TEST_F(SocketTest, NothingWaitingGivesZeroAtOnceAndPrintsNothing) {
  char buf[2048];
  testing::internal::CaptureStderr();
  EXPECT_EQ(qor_socket_getbuf(buf), 0);
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
}

// Learns the daemon socket's address from a broadcast it sends, then sends
// `payload` to it from `from`.
static void SendToDaemon(Listener &listener, const Listener &from, const std::string &payload) {
  ASSERT_EQ(qor_socket_sendbuf("hello"), 5);
  std::string got, ip;
  int port = 0;
  ASSERT_TRUE(listener.Receive(&got, 2, &ip, &port));
  sockaddr_in to{};
  to.sin_family = AF_INET;
  to.sin_port = htons(static_cast<uint16_t>(port));
  ASSERT_EQ(inet_pton(AF_INET, ip.c_str(), &to.sin_addr), 1);
  ASSERT_EQ(sendto(from.fd(), payload.data(), payload.size(), 0,
                   reinterpret_cast<sockaddr *>(&to), sizeof to),
            static_cast<ssize_t>(payload.size()));
  usleep(50 * 1000);  // delivery on one host is immediate; this is margin
}

TEST_F(SocketTest, LongDatagramArrivesCutTo2047Bytes) {
  Listener listener;
  const std::string big(3000, 'x');
  ASSERT_NO_FATAL_FAILURE(SendToDaemon(listener, listener, big));
  char buf[2048];
  memset(buf, 'z', sizeof buf);
  EXPECT_EQ(qor_socket_getbuf(buf), 2047);
  EXPECT_EQ(std::string(buf), big.substr(0, 2047));
}

TEST_F(SocketTest, EmptyDatagramGivesMinusOneAndItsMessage) {
  Listener listener;
  ASSERT_NO_FATAL_FAILURE(SendToDaemon(listener, listener, ""));
  char buf[2048];
  testing::internal::CaptureStderr();
  EXPECT_EQ(qor_socket_getbuf(buf), -1);
  EXPECT_EQ(testing::internal::GetCapturedStderr(),
            " *** ERROR: Remote Host closed connection\n");
}

TEST_F(SocketTest, AfterADatagramArrivesTheNextSendGoesToItsSender) {
  Listener listener;
  Listener peer(4711);
  ASSERT_NO_FATAL_FAILURE(SendToDaemon(listener, peer, "ping"));
  char buf[2048];
  ASSERT_EQ(qor_socket_getbuf(buf), 4);
  EXPECT_STREQ(buf, "ping");

  ASSERT_EQ(qor_socket_sendbuf("reply"), 5);
  std::string got;
  ASSERT_TRUE(peer.Receive(&got, 2));
  EXPECT_EQ(got, "reply");
  EXPECT_FALSE(listener.Receive(&got, 0.2)) << "a broadcast went out instead: " << got;
}

TEST_F(SocketTest, SendOnAClosedSocketIsReportedAndReturnsMinusOne) {
  testing::internal::CaptureStderr();  // opens a file: before the close
  ASSERT_EQ(qor_socket_close(), 0);
  EXPECT_EQ(qor_socket_sendbuf("x"), -1);
  EXPECT_EQ(testing::internal::GetCapturedStderr(),
            " *** ERROR sendto: Bad file descriptor\n");
  qor_init_socket();  // TearDown closes it again
}

// The service manager's socket as $NOTIFY_SOCKET names it, "DIR" standing
// for a scratch directory where a socket is bound (as "notify"); `said` is
// the error stream. The message arrives only when enabled and nothing is said.
// `full`: the receiver's queue is full, as at a busy service manager.
struct NotifyCase {
  const char *label;
  const char *name;  // nullptr: unset
  bool enabled;
  const char *said;
  bool full = false;
};

const NotifyCase kNotifyCases[] = {
    {"Unset", nullptr, false, ""},
    {"Path", "DIR/notify", true, ""},
    {"AbstractName", "@DIR/notify", true, ""},
    {"RelativePath", "notify", false,
     " *** WARNING: Unable to notify the service manager (NOTIFY_SOCKET: Invalid argument)\n"},
    {"GoneSocket", "DIR/gone", true,
     " *** WARNING: Unable to notify the service manager (sendto: No such file or directory)\n"},
    {"FullQueueLosesTheMessageAtOnce", "DIR/notify", true,
     " *** WARNING: Unable to notify the service manager (sendto: Resource temporarily"
     " unavailable)\n",
     true},
};

// A local datagram socket, bound to `name` when one is given (an abstract
// name with '@' for its leading NUL), closed when it goes out of scope.
struct LocalSocket {
  int fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  sockaddr_un address{};
  socklen_t length = 0;
  bool bound = false;
  LocalSocket() = default;
  explicit LocalSocket(const std::string &name) {
    address.sun_family = AF_UNIX;
    memcpy(address.sun_path, name.data(), name.size());
    if (name[0] == '@') address.sun_path[0] = '\0';
    length = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + name.size() +
                                    (name[0] == '@' ? 0 : 1));
    bound = fd >= 0 && bind(fd, reinterpret_cast<sockaddr *>(&address), length) == 0;
  }
  ~LocalSocket() {
    if (fd >= 0) close(fd);
  }
};

class NotifyTest : public ::testing::TestWithParam<NotifyCase> {};

TEST_P(NotifyTest, SendsOneDatagramToTheNamedSocketOrNothing) {
  const NotifyCase &c = GetParam();
  qortest::TempDir dir;
  std::string name = c.name ? c.name : "";
  if (const size_t at = name.find("DIR"); at != std::string::npos) name.replace(at, 3, dir.path());
  // The receiving end, bound where the name points (an abstract name
  // without its '@').
  const LocalSocket receiver(name.empty() || name[0] != '@' ? dir.File("notify") : name);
  ASSERT_TRUE(receiver.bound) << strerror(errno);
  const int fd = receiver.fd;

  if (c.full) {
    const LocalSocket filler;
    ASSERT_GE(filler.fd, 0);
    while (sendto(filler.fd, "x", 1, MSG_DONTWAIT,
                  reinterpret_cast<const sockaddr *>(&receiver.address), receiver.length) == 1) {
    }
    ASSERT_EQ(errno, EAGAIN) << strerror(errno);
  }

  if (c.name)
    setenv(kQorNotifySocketVariable, name.c_str(), 1);
  else
    unsetenv(kQorNotifySocketVariable);
  testing::internal::CaptureStderr();
  const bool opened = qor_notify_open();
  alarm(10);  // a send that waits for the full queue ends the test here
  const bool sent = qor_notify("READY=1\nSTATUS=2 pairs, 1 ON");
  qor_notify("STATUS=again");  // a failure is said once
  alarm(0);
  EXPECT_EQ(testing::internal::GetCapturedStderr(), c.said);
  EXPECT_EQ(opened, qor_notify_enabled());
  unsetenv(kQorNotifySocketVariable);

  const bool arrives = c.enabled && *c.said == '\0';
  EXPECT_EQ(opened, c.enabled);
  EXPECT_EQ(sent, arrives);
  std::vector<std::string> received;
  char buf[128];
  for (ssize_t n; (n = recv(fd, buf, sizeof buf, MSG_DONTWAIT)) > 0;)
    if (n > 1) received.emplace_back(buf, static_cast<size_t>(n));  // the filler's are 1 byte
  const std::vector<std::string> both = {"READY=1\nSTATUS=2 pairs, 1 ON", "STATUS=again"};
  EXPECT_EQ(received, arrives ? both : std::vector<std::string>());
}

INSTANTIATE_TEST_SUITE_P(Names, NotifyTest, ::testing::ValuesIn(kNotifyCases),
                         [](const auto &info) { return std::string(info.param.label); });

// The watchdog's environment: which values make this process (pid 42) ping,
// and how often (a quarter of WATCHDOG_USEC).
TEST(WatchdogTest, PingsAQuarterOfTheTimeApartOnlyForThisProcess) {
  const struct {
    const char *usec, *pid;
    int64_t every;  // ns
  } kCases[] = {
      {"20000000", nullptr, 5000000000}, {"20000000", "42", 5000000000}, {"20000000", "43", 0},
      {"4000000", "42", 1000000000},     {nullptr, "42", 0},             {"0", nullptr, 0},
      {"-1", nullptr, 0},                {"20s", nullptr, 0},             {"", nullptr, 0},
      {"20000000", "42x", 0},            {"99999999999999999999999", nullptr, 0},
  };
  for (const auto &c : kCases)
    EXPECT_EQ(qor_watchdog_interval(c.usec, c.pid, 42), c.every)
        << (c.usec ? c.usec : "unset") << ", pid " << (c.pid ? c.pid : "unset");
}

// Kicks every 100 ms of simulated time for 10 s with WATCHDOG_USEC=2 s: a
// WATCHDOG=1 datagram every 500 ms, none in between.
TEST(WatchdogTest, KicksSendAPingWhenOneIsDue) {
  qortest::TempDir dir;
  const std::string path = dir.File("notify");
  const LocalSocket receiver(path);
  ASSERT_TRUE(receiver.bound) << strerror(errno);
  const int fd = receiver.fd;
  setenv(kQorNotifySocketVariable, path.c_str(), 1);
  setenv(kQorWatchdogUsecVariable, "2000000", 1);
  unsetenv(kQorWatchdogPidVariable);
  EXPECT_TRUE(qor_notify_open());
  qor_watchdog_start();
  EXPECT_TRUE(qor_watchdog_enabled());
  std::vector<int64_t> pinged;  // ms
  char buf[32];
  for (int64_t ms = 0; ms <= 10000; ms += 100) {
    qor_watchdog_kick_at(ms * 1000000);
    for (ssize_t n; (n = recv(fd, buf, sizeof buf, MSG_DONTWAIT)) > 0; pinged.push_back(ms))
      EXPECT_EQ(std::string(buf, static_cast<size_t>(n)), "WATCHDOG=1");
  }
  unsetenv(kQorNotifySocketVariable);
  unsetenv(kQorWatchdogUsecVariable);
  qor_notify_open();  // closes the socket: notifications off again
  qor_watchdog_start();
  EXPECT_FALSE(qor_watchdog_enabled());
  ASSERT_EQ(pinged.size(), 21u);
  for (size_t i = 0; i < pinged.size(); i++) EXPECT_EQ(pinged[i], static_cast<int64_t>(i) * 500);
}

TEST(SocketDeathTest, NullBuffersEndTheProcess) {
  EXPECT_EXIT(qor_socket_getbuf(nullptr), testing::ExitedWithCode(1),
              "^ \\*\\*\\*ERROR: NULL pointer in qor_socket_getbuf\n$");
  EXPECT_EXIT(qor_socket_sendbuf(nullptr), testing::ExitedWithCode(1),
              "NULL pointer in qor_socket_sendbuf");
}

}  // namespace
