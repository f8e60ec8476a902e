// qorlisten: prints every datagram that reaches a UDP port, one line each,
// with its verdict. It only receives; its socket never sends.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "qorlisten.h"

namespace {

volatile sig_atomic_t stop_requested = 0;

void RequestStop(int) { stop_requested = 1; }

// SIGINT and SIGTERM end the wait so that the summary is still printed.
void CatchStopSignals() {
  struct sigaction action {};
  action.sa_handler = RequestStop;
  sigemptyset(&action.sa_mask);
  action.sa_flags = 0;  // no SA_RESTART: poll() returns with EINTR
  sigaction(SIGINT, &action, nullptr);
  sigaction(SIGTERM, &action, nullptr);
}

[[noreturn]] void Fail(const char *what) {
  fprintf(stderr, "qorlisten: %s: %s\n", what, strerror(errno));
  exit(1);
}

int OpenSocket(const qorlisten::Options &o) {
  const int fd = socket(AF_INET, SOCK_DGRAM, 0);
  if (fd < 0) Fail("socket");
  // Lets the listener share the port with a receiver already on this host;
  // both then get every broadcast.
  const int on = 1;
  if (setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on) < 0) Fail("setsockopt");
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(static_cast<uint16_t>(o.port));
  inet_pton(AF_INET, o.address.c_str(), &address.sin_addr);  // checked by ParseOptions
  if (bind(fd, reinterpret_cast<sockaddr *>(&address), sizeof address) < 0) {
    const std::string what = "bind " + o.address + ":" + std::to_string(o.port);
    Fail(what.c_str());
  }
  return fd;
}

}  // namespace

int main(int argc, char **argv) {
  qorlisten::Options options;
  std::string error;
  switch (qorlisten::ParseOptions(std::vector<std::string>(argv + 1, argv + argc), &options,
                                  &error)) {
    case qorlisten::ParseResult::kHelp:
      fputs(qorlisten::Usage().c_str(), stdout);
      return 0;
    case qorlisten::ParseResult::kError:
      fprintf(stderr, "qorlisten: %s\n%s", error.c_str(), qorlisten::Synopsis().c_str());
      return 2;
    case qorlisten::ParseResult::kRun:
      break;
  }
  setvbuf(stdout, nullptr, _IOLBF, 0);  // one line at a time, even into a pipe
  CatchStopSignals();
  const int fd = OpenSocket(options);
  fprintf(stderr, "qorlisten: listening on %s:%d\n", options.address.c_str(), options.port);

  using Clock = std::chrono::steady_clock;
  const auto deadline = Clock::now() + std::chrono::duration_cast<Clock::duration>(
                                           std::chrono::duration<double>(options.seconds));
  long received = 0, verified = 0;
  std::vector<char> buffer(65536);  // the largest UDP payload fits
  while (!stop_requested && (options.count == 0 || received < options.count)) {
    int wait_ms = -1;
    if (options.seconds > 0) {
      const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now());
      if (left.count() <= 0) break;
      wait_ms = static_cast<int>(left.count());
    }
    pollfd p{fd, POLLIN, 0};
    const int ready = poll(&p, 1, wait_ms);
    if (ready < 0 && errno == EINTR) continue;
    if (ready < 0) Fail("poll");
    if (ready == 0) continue;

    sockaddr_in from{};
    socklen_t from_length = sizeof from;
    const ssize_t n = recvfrom(fd, buffer.data(), buffer.size(), 0,
                               reinterpret_cast<sockaddr *>(&from), &from_length);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) Fail("recvfrom");
    timespec now{};
    clock_gettime(CLOCK_REALTIME, &now);
    char ip[INET_ADDRSTRLEN] = "?";
    inet_ntop(AF_INET, &from.sin_addr, ip, sizeof ip);
    const std::string peer = std::string(ip) + ":" + std::to_string(ntohs(from.sin_port));
    const std::string datagram(buffer.data(), static_cast<size_t>(n));

    printf("%s\n", qorlisten::FormatLine(datagram, now, peer).c_str());
    received++;
    if (qorlisten::IsVerifiedCommand(datagram)) verified++;
  }
  close(fd);
  fprintf(stderr, "qorlisten: %ld datagrams, %ld verified commands\n", received, verified);
  // Silence is a failure of its own: a check that heard nothing passed nothing.
  if (received == 0) {
    fprintf(stderr, "qorlisten: nothing received on %s:%d\n", options.address.c_str(),
            options.port);
    return 4;
  }
  return verified == received ? 0 : 3;
}
