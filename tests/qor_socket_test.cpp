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

#include "qor_notify.h"
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
struct NotifyCase {
  const char *label;
  const char *name;  // nullptr: unset
  bool enabled;
  const char *said;
};

const NotifyCase kNotifyCases[] = {
    {"Unset", nullptr, false, ""},
    {"Path", "DIR/notify", true, ""},
    {"AbstractName", "@DIR/notify", true, ""},
    {"RelativePath", "notify", false,
     " *** WARNING: Unable to notify the service manager (NOTIFY_SOCKET: Invalid argument)\n"},
    {"GoneSocket", "DIR/gone", true,
     " *** WARNING: Unable to notify the service manager (sendto: No such file or directory)\n"},
};

class NotifyTest : public ::testing::TestWithParam<NotifyCase> {};

TEST_P(NotifyTest, SendsOneDatagramToTheNamedSocketOrNothing) {
  const NotifyCase &c = GetParam();
  qortest::TempDir dir;
  std::string name = c.name ? c.name : "";
  if (const size_t at = name.find("DIR"); at != std::string::npos) name.replace(at, 3, dir.path());
  // The receiving end, bound where the name points (an abstract name
  // without its '@').
  struct Socket {
    int fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    ~Socket() {
      if (fd >= 0) close(fd);
    }
  } receiver;
  const int fd = receiver.fd;
  ASSERT_GE(fd, 0);
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  const std::string bound = name.empty() || name[0] != '@' ? dir.File("notify") : name;
  memcpy(address.sun_path, bound.data(), bound.size());
  if (bound[0] == '@') address.sun_path[0] = '\0';
  const auto length = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + bound.size() +
                                             (bound[0] == '@' ? 0 : 1));
  ASSERT_EQ(bind(fd, reinterpret_cast<sockaddr *>(&address), length), 0) << strerror(errno);

  if (c.name)
    setenv(kQorNotifySocketVariable, name.c_str(), 1);
  else
    unsetenv(kQorNotifySocketVariable);
  testing::internal::CaptureStderr();
  const bool opened = qor_notify_open();
  qor_notify("READY=1\nSTATUS=2 pairs, 1 ON");
  qor_notify("STATUS=again");  // a failure is said once
  EXPECT_EQ(testing::internal::GetCapturedStderr(), c.said);
  EXPECT_EQ(opened, qor_notify_enabled());
  unsetenv(kQorNotifySocketVariable);

  char buf[128];
  const ssize_t n = recv(fd, buf, sizeof buf, MSG_DONTWAIT);
  if (c.enabled && *c.said == '\0') {
    EXPECT_TRUE(opened);
    ASSERT_GT(n, 0);
    EXPECT_EQ(std::string(buf, static_cast<size_t>(n)), "READY=1\nSTATUS=2 pairs, 1 ON");
  } else {
    EXPECT_EQ(opened, c.enabled);
    EXPECT_EQ(n, -1) << "received " << std::string(buf, static_cast<size_t>(std::max<ssize_t>(n, 0)));
  }
}

INSTANTIATE_TEST_SUITE_P(Names, NotifyTest, ::testing::ValuesIn(kNotifyCases),
                         [](const auto &info) { return std::string(info.param.label); });

TEST(SocketDeathTest, NullBuffersEndTheProcess) {
  EXPECT_EXIT(qor_socket_getbuf(nullptr), testing::ExitedWithCode(1),
              "^ \\*\\*\\*ERROR: NULL pointer in qor_socket_getbuf\n$");
  EXPECT_EXIT(qor_socket_sendbuf(nullptr), testing::ExitedWithCode(1),
              "NULL pointer in qor_socket_sendbuf");
}

}  // namespace
