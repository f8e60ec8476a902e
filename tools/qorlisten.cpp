// qorlisten: prints every datagram that reaches a UDP port, one line each,
// with its verdict; with --expect, holds the commands to a timer file, and
// with --check ends as a monitoring plugin does, its figures also written
// for Prometheus with --metrics; -H keeps to one sender. It only receives; its
// socket never sends, and the build checks that it imports no call that
// could. The timer file is read with the daemon's own reader, built with
// no_transport.cpp in place of the transport.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>
#include <vector>

#include "qorlisten.h"
#include "qorlisten_expect.h"
#include "qortimer.h"

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

bool check_mode = false;        // --check: every failure is UNKNOWN, on the standard output
bool reading_schedule = false;  // the daemon's reader may end the process

[[noreturn]] void Unknown(const std::string &why) {
  printf("%s\n", qorlisten::PluginLine(qorlisten::kCheckUnknown, why).c_str());
  fflush(stdout);
  _exit(qorlisten::kCheckUnknown);
}

[[noreturn]] void Fail(const char *what) {
  if (check_mode) Unknown(std::string(what) + ": " + strerror(errno));
  fprintf(stderr, "qorlisten: %s: %s\n", what, strerror(errno));
  exit(1);
}

qor_context schedule;  // what the daemon's reader keeps of the timer file

// The daemon's reader ends the process with status 1 on a file it cannot
// read, after its message; a check turns that into UNKNOWN.
void ScheduleUnreadable() {
  if (reading_schedule) Unknown(std::string("cannot read the timer file ") + schedule.infile);
}

// Reads the timer file as the daemon does, or ends the process: status 1
// after the daemon's messages, or UNKNOWN in a check.
void ReadSchedule(const qorlisten::Options &o) {
  // Cut to 2047 characters, as the daemon cuts its path.
  snprintf(schedule.infile, sizeof schedule.infile, "%s", o.expect.c_str());
  if (o.check) atexit(ScheduleUnreadable);
  reading_schedule = true;
  qor_open_timer_file(&schedule);
  const bool bad = qor_read_timers(&schedule);
  reading_schedule = false;
  if (bad && o.check)
    Unknown(std::string("bad timer file ") + schedule.infile + "; qorplan " + schedule.infile +
            " lists its bad lines");
  if (bad) exit(1);
}

// Makes the board's zone the process's, or says once that this host's
// stands in for it.
void SetZone(const qorlisten::Options &o) {
  std::string error;
  if (!o.zone.empty() && !qorlisten::UseZone(o.zone, &error)) {
    if (check_mode) Unknown(error);
    fprintf(stderr, "qorlisten: %s\n", error.c_str());
    exit(1);
  }
  if (o.zone.empty() && !check_mode) {
    const char *tz = getenv("TZ");
    fprintf(stderr, "qorlisten: reading the schedule in this host's time zone (%s); "
                    "--zone ZONE names the board's\n",
            tz != nullptr && *tz != '\0' ? tz : "/etc/localtime");
  }
}

double Seconds(const timespec &t) {
  return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) / 1e9;
}

timespec Now() {
  timespec now{};
  clock_gettime(CLOCK_REALTIME, &now);
  return now;
}

// "YYYY-MM-DD HH:MM:SS" of local time, as the lines begin.
std::string LocalText(const timespec &t) {
  tm local{};
  char text[64] = "?";
  if (localtime_r(&t.tv_sec, &local) != nullptr)
    strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S", &local);
  return text;
}

// Moves the watch to `now`, printing what became of the pairs.
void AdvanceTo(qorlisten::Watch *w, const timespec &now) {
  for (const std::string &event : qorlisten::Advance(w, Seconds(now)))
    if (!check_mode) printf("%s %s\n", LocalText(now).c_str(), event.c_str());
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

// Replaces `path` whole: writes a new file beside it, readable by all (a
// collector runs as its own user), then renames it over the old, so that
// a reader sees the old file or the new, never part of one. A failure is
// the check's UNKNOWN.
void WriteWhole(const std::string &path, const std::string &text) {
  std::string temporary = path + ".XXXXXX";  // not *.prom: collectors skip it
  const int fd = mkstemp(temporary.data());
  if (fd < 0) Fail(("cannot write " + path).c_str());
  bool good = fchmod(fd, 0644) == 0;
  for (size_t done = 0; good && done < text.size();) {
    const ssize_t n = write(fd, text.data() + done, text.size() - done);
    if (n < 0 && errno == EINTR) continue;
    good = n > 0;
    if (good) done += static_cast<size_t>(n);
  }
  good = close(fd) == 0 && good;
  good = good && rename(temporary.c_str(), path.c_str()) == 0;
  if (!good) {
    const int error = errno;
    unlink(temporary.c_str());
    errno = error;
    Fail(("cannot write " + path).c_str());
  }
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
    case qorlisten::ParseResult::kVersion:
      fputs(qorlisten::Version().c_str(), stdout);
      return 0;
    case qorlisten::ParseResult::kError:
      for (int i = 1; i < argc; i++)
        if (strcmp(argv[i], "--check") == 0) Unknown(error);
      fprintf(stderr, "qorlisten: %s\n%s", error.c_str(), qorlisten::Synopsis().c_str());
      return 2;
    case qorlisten::ParseResult::kRun:
      break;
  }
  setvbuf(stdout, nullptr, _IOLBF, 0);  // one line at a time, even into a pipe
  check_mode = options.check;
  const bool watching = !options.expect.empty();
  if (watching) {
    SetZone(options);
    ReadSchedule(options);
  }
  CatchStopSignals();
  const int fd = OpenSocket(options);
  const std::string where = options.address + ":" + std::to_string(options.port);
  if (!check_mode) fprintf(stderr, "qorlisten: listening on %s\n", where.c_str());
  qorlisten::Watch watch =
      qorlisten::StartWatch(schedule.entries, Seconds(Now()), options.limits);

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
    // The watch moves on at least this often, so silence and late changes
    // are said within a second.
    constexpr int kWatchTick_ms = 500;
    if (watching && (wait_ms < 0 || wait_ms > kWatchTick_ms)) wait_ms = kWatchTick_ms;
    pollfd p{fd, POLLIN, 0};
    const int ready = poll(&p, 1, wait_ms);
    if (ready < 0 && errno == EINTR) continue;
    if (ready < 0) Fail("poll");
    if (watching) AdvanceTo(&watch, Now());
    if (ready == 0) continue;

    sockaddr_in from{};
    socklen_t from_length = sizeof from;
    const ssize_t n = recvfrom(fd, buffer.data(), buffer.size(), 0,
                               reinterpret_cast<sockaddr *>(&from), &from_length);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) Fail("recvfrom");
    const timespec now = Now();
    char ip[INET_ADDRSTRLEN] = "?";
    inet_ntop(AF_INET, &from.sin_addr, ip, sizeof ip);
    const std::string peer = std::string(ip) + ":" + std::to_string(ntohs(from.sin_port));
    const std::string datagram(buffer.data(), static_cast<size_t>(n));

    std::string line = qorlisten::FormatLine(datagram, now, peer);
    if (watching) AdvanceTo(&watch, now);
    const qorlisten::Hearing heard = qorlisten::Hear(&watch, datagram, ip, Seconds(now), watching);
    if (!heard.verdict.empty()) line += " " + heard.verdict;
    if (!check_mode) printf("%s\n", line.c_str());
    if (heard.kind == qorlisten::Kind::kOtherHost) continue;
    received++;
    if (heard.kind != qorlisten::Kind::kBad) verified++;
  }
  close(fd);
  if (watching) AdvanceTo(&watch, Now());
  if (check_mode) {
    const qorlisten::CheckResult result =
        qorlisten::CheckVerdict(watch, watch.now - watch.started, where);
    if (!options.metrics.empty())
      WriteWhole(options.metrics, qorlisten::Metrics(watch, result.status));
    printf("%s\n", result.line.c_str());
    return result.status;
  }
  fprintf(stderr, "qorlisten: %ld datagrams, %ld verified commands\n", received, verified);
  if (watching) fprintf(stderr, "%s\n", qorlisten::Summary(watch.tally).c_str());
  // Silence is a failure of its own: a check that heard nothing passed nothing.
  if (received == 0) {
    fprintf(stderr, "qorlisten: nothing received on %s:%d\n", options.address.c_str(),
            options.port);
    return 4;
  }
  return verified == received ? 0 : 3;
}
