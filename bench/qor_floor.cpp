// qor_floor: the floor under the daemon's latency. It sends the burst the
// daemon sends, one command per TARGET ("device-channel-STATE") to port 1962
// of 192.168.0.255, at every 5th turn of the calendar second for SECONDS,
// and does nothing else: each burst is built and hashed before its second,
// the program sleeps to 2 ms before the turn and polls the clock to it, then
// only sends. What bench/qor_latency measures for it is what sending alone
// costs on this machine; scripts/latency.sh sets the daemon beside it.
//
// It refuses to run outside the private test network (scripts/netns-run).
#include <netinet/in.h>
#include <sys/prctl.h>
#include <sys/socket.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>
#include <vector>

#include "netns_guard.h"
#include "qor_wire.h"
#include "qorhash.h"

namespace {

constexpr int kRepeat = 5;             // seconds between bursts, as the daemon's repeats
constexpr long kWakeEarlyNs = 2000000;  // sleep to this long before the turn

[[noreturn]] void Fail(const char *what) {
  fprintf(stderr, "qor_floor: %s: %s\n", what, strerror(errno));
  exit(1);
}

std::string Hex8(uint32_t value) {
  char text[kQorStampDigits + 1];
  snprintf(text, sizeof text, "%08x", static_cast<unsigned>(value));
  return text;
}

}  // namespace

int main(int argc, char **argv) {
  if (argc < 3) {
    fprintf(stderr, "usage: qor_floor SECONDS TARGET...\n");
    return 2;
  }
  std::string why;
  if (!qortest::InPrivateNetns(&why)) {
    fprintf(stderr, "qor_floor: refusing to send outside the private test network (netns-run): %s\n",
            why.c_str());
    return 2;
  }
  const double seconds = atof(argv[1]);
  const std::vector<std::string> targets(argv + 2, argv + argc);

  const int fd = socket(AF_INET, SOCK_DGRAM, 0);
  if (fd < 0) Fail("socket");
  const int on = 1;
  if (setsockopt(fd, SOL_SOCKET, SO_BROADCAST, &on, sizeof on) < 0) Fail("SO_BROADCAST");
  sockaddr_in to;
  if (!qor_parse_destination(kQorBroadcastAddress, &to)) Fail("the built-in destination");
  prctl(PR_SET_TIMERSLACK, 1UL, 0UL, 0UL, 0UL);

  timespec now;
  clock_gettime(CLOCK_REALTIME, &now);
  const time_t end = now.tv_sec + static_cast<time_t>(seconds);
  for (time_t turn = now.tv_sec + 1; turn < end; turn += kRepeat) {
    std::vector<std::string> burst;
    for (const std::string &target : targets) {
      char command[kQorMaxCommand + 1];
      snprintf(command, sizeof command, "%s%s%s%c%s%c%s%c%s%c", kQorCommandWord, kQorCommandVerb,
               kQorSenderTag, kQorSeparator, target.c_str(), kQorStampsBlank,
               Hex8(static_cast<uint32_t>(turn)).c_str(), kQorSeparator,
               Hex8(static_cast<uint32_t>(clock())).c_str(), kQorSeparator);
      if (qorhash_append(command, sizeof command) != 0) {
        fprintf(stderr, "qor_floor: target too long: %s\n", target.c_str());
        return 2;
      }
      burst.push_back(command);
    }
    const timespec wake{turn - 1, 1000000000L - kWakeEarlyNs};
    while (clock_nanosleep(CLOCK_REALTIME, TIMER_ABSTIME, &wake, nullptr) == EINTR) {
    }
    do clock_gettime(CLOCK_REALTIME, &now);
    while (now.tv_sec < turn);
    for (const std::string &c : burst)
      if (sendto(fd, c.data(), c.size(), 0, reinterpret_cast<const sockaddr *>(&to), sizeof to) < 0)
        Fail("sendto");
  }
  return 0;
}
