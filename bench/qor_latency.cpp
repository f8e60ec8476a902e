// qor_latency: how late each command reaches a receiver, measured from the
// start of the calendar second its time stamp names to the kernel's receive
// time stamp (SO_TIMESTAMPNS), so that the receiver's own scheduling adds
// nothing. It polls its socket without sleeping: a receiver asleep on the
// same machine would have to be woken by each burst's first send, charging
// the daemon for a wake-up that a receiver elsewhere on the network never
// costs it. Receives on a UDP port for a given time, never sends, and prints
//   n=N p50_us=P p99_us=Q max_us=M
// (nearest-rank percentiles), or exits 1 if nothing valid arrived. The
// datagrams that carry the first time stamp received are left out: the
// daemon's first pass runs at start-up, anywhere in its second.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>
#include <vector>

namespace {

[[noreturn]] void Fail(const char *what) {
  fprintf(stderr, "qor_latency: %s: %s\n", what, strerror(errno));
  exit(1);
}

// The calendar stamp: the 8 hexadecimal digits after the last blank.
bool TimeStamp(const std::string &d, uint32_t *stamp) {
  const size_t blank = d.rfind(' ');
  if (blank == std::string::npos || d.size() < blank + 9) return false;
  char *end = nullptr;
  const std::string hex = d.substr(blank + 1, 8);
  *stamp = static_cast<uint32_t>(strtoul(hex.c_str(), &end, 16));
  return *end == '\0';
}

// The stamp holds the low 32 bits of the sender's time: take the second
// with those bits nearest the time of arrival.
int64_t StampSecond(uint32_t stamp, int64_t arrival_s) {
  const int64_t base = arrival_s - static_cast<int64_t>(static_cast<uint32_t>(arrival_s));
  int64_t s = base + stamp;
  if (s - arrival_s > INT64_C(1) << 31) s -= INT64_C(1) << 32;
  if (arrival_s - s > INT64_C(1) << 31) s += INT64_C(1) << 32;
  return s;
}

double Percentile(std::vector<double> v, double p) {
  std::sort(v.begin(), v.end());
  size_t rank = static_cast<size_t>(std::ceil(p / 100.0 * static_cast<double>(v.size())));
  rank = std::max<size_t>(rank, 1);
  return v[rank - 1];
}

}  // namespace

int main(int argc, char **argv) {
  if (argc != 3) {
    fprintf(stderr, "usage: qor_latency PORT SECONDS\n");
    return 2;
  }
  const int port = atoi(argv[1]);
  const double seconds = atof(argv[2]);

  const int fd = socket(AF_INET, SOCK_DGRAM, 0);
  if (fd < 0) Fail("socket");
  const int on = 1;
  if (setsockopt(fd, SOL_SOCKET, SO_TIMESTAMPNS, &on, sizeof on) < 0) Fail("SO_TIMESTAMPNS");
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(static_cast<uint16_t>(port));
  a.sin_addr.s_addr = htonl(INADDR_ANY);
  if (bind(fd, reinterpret_cast<sockaddr *>(&a), sizeof a) < 0) Fail("bind");
  fprintf(stderr, "qor_latency: listening on port %d for %g s\n", port, seconds);

  timespec start;
  clock_gettime(CLOCK_MONOTONIC, &start);
  std::vector<double> late_us;
  bool have_first = false;
  uint32_t first_stamp = 0;
  for (;;) {
    timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    const double left = seconds - (static_cast<double>(now.tv_sec - start.tv_sec) +
                                   static_cast<double>(now.tv_nsec - start.tv_nsec) / 1e9);
    if (left <= 0) break;

    char data[4096];
    alignas(cmsghdr) char control[256];
    iovec iov{data, sizeof data - 1};
    msghdr m{};
    m.msg_iov = &iov;
    m.msg_iovlen = 1;
    m.msg_control = control;
    m.msg_controllen = sizeof control;
    const ssize_t n = recvmsg(fd, &m, MSG_DONTWAIT);
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)) continue;
    if (n < 0) Fail("recvmsg");
    const timespec *arrival = nullptr;
    for (cmsghdr *c = CMSG_FIRSTHDR(&m); c != nullptr; c = CMSG_NXTHDR(&m, c))
      if (c->cmsg_level == SOL_SOCKET && c->cmsg_type == SCM_TIMESTAMPNS)
        arrival = reinterpret_cast<const timespec *>(CMSG_DATA(c));
    uint32_t stamp;
    const std::string d(data, static_cast<size_t>(n));
    if (arrival == nullptr || !TimeStamp(d, &stamp)) {
      fprintf(stderr, "qor_latency: skipped a datagram without stamp or arrival time\n");
      continue;
    }
    if (!have_first) {
      have_first = true;
      first_stamp = stamp;
    }
    if (stamp == first_stamp) continue;
    const int64_t second = StampSecond(stamp, arrival->tv_sec);
    const double us = static_cast<double>(arrival->tv_sec - second) * 1e6 +
                      static_cast<double>(arrival->tv_nsec) / 1e3;
    late_us.push_back(us);
    printf("%lld.%09ld %.1f\n", static_cast<long long>(arrival->tv_sec), arrival->tv_nsec, us);
  }
  if (late_us.empty()) {
    fprintf(stderr, "qor_latency: nothing received\n");
    return 1;
  }
  printf("n=%zu p50_us=%.0f p99_us=%.0f max_us=%.0f\n", late_us.size(),
         Percentile(late_us, 50), Percentile(late_us, 99), Percentile(late_us, 100));
  return 0;
}
