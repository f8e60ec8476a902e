// Helpers shared by the test suites: temporary files, running the real
// binary, the network-namespace guard and a UDP listener on port 1962.
#ifndef QORTIMER_TESTS_TEST_UTIL_H_
#define QORTIMER_TESTS_TEST_UTIL_H_

#include <gtest/gtest.h>

#include <ctime>
#include <string>
#include <utility>
#include <vector>

#include "netns_guard.h"
#include "qor_wire.h"

namespace qortest {

// A fresh directory under $TMPDIR (or /tmp), removed with its files when
// the object goes.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir &) = delete;
  TempDir &operator=(const TempDir &) = delete;
  const std::string &path() const { return path_; }
  std::string File(const std::string &name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};

void WriteFile(const std::string &path, const std::string &content);
std::string ReadFile(const std::string &path);

#define REQUIRE_PRIVATE_NETNS()                                            \
  do {                                                                     \
    std::string qor_netns_why;                                             \
    ASSERT_TRUE(::qortest::InPrivateNetns(&qor_netns_why))                 \
        << "refusing to send outside the private test network namespace: " \
        << qor_netns_why << " (run the tests through scripts/netns-run)";  \
  } while (0)

struct RunResult {
  bool exited = false;    // ended by exit(); otherwise by a signal
  int status = -1;        // exit status, or the signal number
  bool timed_out = false; // killed by RunBinary after its deadline
  std::string out;
  std::string err;
};

struct RunOptions {
  std::string cwd;                                  // empty: inherit
  std::vector<std::pair<std::string, std::string>> env;  // added or replaced
  double timeout_seconds = 10;  // then SIGKILL by PID
  std::string stdin_data;       // fed through a file
};

// Runs `argv` (argv[0] is the executable) and waits for it, or for the
// deadline, after which the process is killed by its PID.
RunResult RunBinary(const std::vector<std::string> &argv, const RunOptions &options);

// A datagram and the real time it arrived.
struct Arrival {
  std::string datagram;
  timespec when;
};

struct ScriptRun {
  RunResult result;
  std::vector<Arrival> arrivals;  // in the order received
  std::vector<std::string> Datagrams() const;
};

// Runs `script` under sh in `dir` (in a private mount namespace when
// `own_mounts`) with the daemon's command line as its arguments "$@", and
// TZ=UTC and `env` in its environment, receiving on the command port as
// datagrams come: a socket's buffer would overflow with a long run's
// traffic. Fails the test unless the script ends with status 0.
ScriptRun RunScript(const std::string &script, const std::string &dir,
                    const std::vector<std::pair<std::string, std::string>> &env = {},
                    bool own_mounts = false);

// The path of libfaketime.so.1, or "" when it is not installed.
std::string LibFaketime();

// A shell command that runs the script's arguments "$@" (the daemon) under
// libfaketime with `settings`, leaving the script itself on the real clock.
std::string UnderFaketime(const std::string &settings);

// The command that starts the built daemon: its path, or the binary named by
// $QOR_TEST_DAEMON, behind the words of $QOR_TEST_EMULATOR when that is set
// (for instance "qemu-arm -L /usr/arm-linux-gnueabihf" for a board build).
std::vector<std::string> DaemonCommand();

// A log or echo record: the command line, then the ctime line.
struct Record {
  std::string command;  // without " (sent length)"
  std::string head;     // the whole first line
  std::string when;     // the ctime text, line end included
};
std::vector<Record> ParseRecords(const std::string &text);

// The calendar stamp of a command, and its target and state ("lamp-1-ON"),
// as the listener reads them; a datagram that is not a command fails the test.
time_t CommandStamp(const std::string &command);
std::string TargetAndState(const std::string &command);

// "HH:MM:SS" in UTC.
std::string Hms(time_t t);

// "HH:MM:SS what" for every `step` seconds from `from` through `to`.
std::vector<std::string> Series(time_t from, time_t to, time_t step, const std::string &what);

// A UDP socket bound to the command port on every address of the namespace.
class Listener {
 public:
  explicit Listener(int port = kQorPort);
  ~Listener();
  Listener(const Listener &) = delete;
  Listener &operator=(const Listener &) = delete;
  int fd() const { return fd_; }
  // Next datagram within `timeout_seconds`; false when none came.
  bool Receive(std::string *datagram, double timeout_seconds,
               std::string *peer_ip = nullptr, int *peer_port = nullptr);

 private:
  int fd_ = -1;
};

}  // namespace qortest

#endif  // QORTIMER_TESTS_TEST_UTIL_H_
