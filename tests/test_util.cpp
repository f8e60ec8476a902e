#include "test_util.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <net/if.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <thread>

#include "qorlisten.h"

namespace qortest {

TempDir::TempDir() {
  const char *base = getenv("TMPDIR");
  std::string templ = std::string(base && *base ? base : "/tmp") + "/qortest.XXXXXX";
  std::vector<char> buf(templ.begin(), templ.end());
  buf.push_back('\0');
  if (mkdtemp(buf.data()) == nullptr) {
    ADD_FAILURE() << "mkdtemp: " << strerror(errno);
    return;
  }
  path_ = buf.data();
}

TempDir::~TempDir() {
  if (path_.empty()) return;
  const std::string cmd = "rm -rf '" + path_ + "'";
  if (system(cmd.c_str()) != 0) ADD_FAILURE() << "could not remove " << path_;
}

void WriteFile(const std::string &path, const std::string &content) {
  std::ofstream f(path, std::ios::binary);
  f << content;
  ASSERT_TRUE(f.good()) << "cannot write " << path;
}

std::string ReadFile(const std::string &path) {
  std::ifstream f(path, std::ios::binary);
  std::ostringstream s;
  s << f.rdbuf();
  return s.str();
}

RunResult RunBinary(const std::vector<std::string> &argv, const RunOptions &options) {
  RunResult result;
  TempDir io;
  const std::string in_path = io.File("stdin"), out_path = io.File("stdout"),
                    err_path = io.File("stderr");
  WriteFile(in_path, options.stdin_data);

  const pid_t pid = fork();
  if (pid < 0) {
    ADD_FAILURE() << "fork: " << strerror(errno);
    return result;
  }
  if (pid == 0) {
    const int in = open(in_path.c_str(), O_RDONLY);
    const int out = open(out_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    const int err = open(err_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    if (in < 0 || out < 0 || err < 0) _exit(127);
    dup2(in, 0);
    dup2(out, 1);
    dup2(err, 2);
    if (!options.cwd.empty() && chdir(options.cwd.c_str()) != 0) _exit(127);
    for (const auto &kv : options.env) setenv(kv.first.c_str(), kv.second.c_str(), 1);
    std::vector<char *> args;
    for (const auto &a : argv) args.push_back(const_cast<char *>(a.c_str()));
    args.push_back(nullptr);
    execvp(args[0], args.data());
    _exit(127);
  }

  const auto deadline = std::chrono::steady_clock::now() +
                        std::chrono::duration<double>(options.timeout_seconds);
  int wstatus = 0;
  for (;;) {
    const pid_t r = waitpid(pid, &wstatus, WNOHANG);
    if (r == pid) break;
    if (std::chrono::steady_clock::now() >= deadline) {
      kill(pid, SIGKILL);
      waitpid(pid, &wstatus, 0);
      result.timed_out = true;
      break;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  result.exited = WIFEXITED(wstatus);
  result.status = result.exited ? WEXITSTATUS(wstatus) : WTERMSIG(wstatus);
  result.out = ReadFile(out_path);
  result.err = ReadFile(err_path);
  return result;
}

std::vector<std::string> ScriptRun::Datagrams() const {
  std::vector<std::string> all;
  for (const Arrival &a : arrivals) all.push_back(a.datagram);
  return all;
}

ScriptRun RunScript(const std::string &script, const std::string &dir,
                    const std::vector<std::pair<std::string, std::string>> &env,
                    bool own_mounts) {
  std::vector<std::string> argv;
  if (own_mounts) argv = {"unshare", "-m"};
  argv.insert(argv.end(), {"sh", "-c", script, "sh"});
  for (const auto &w : DaemonCommand()) argv.push_back(w);
  RunOptions options;
  options.cwd = dir;
  options.env = {{"TZ", "UTC"}};
  options.env.insert(options.env.end(), env.begin(), env.end());
  options.timeout_seconds = 60;

  ScriptRun run;
  Listener listener;
  std::atomic<bool> done{false};
  std::thread runner([&] {
    run.result = RunBinary(argv, options);
    done = true;
  });
  std::string d;
  for (bool last = false; !last;) {
    last = done;  // one more round after the end collects what is left
    while (listener.Receive(&d, last ? 0.2 : 0.02)) {
      timespec now;
      clock_gettime(CLOCK_REALTIME, &now);
      run.arrivals.push_back({d, now});
    }
  }
  runner.join();
  EXPECT_TRUE(run.result.exited && run.result.status == 0) << run.result.err;
  return run;
}

std::string LibFaketime() {
  for (const char *p : {"/usr/lib/x86_64-linux-gnu/faketime/libfaketime.so.1",
                        "/usr/lib/aarch64-linux-gnu/faketime/libfaketime.so.1",
                        "/usr/lib/faketime/libfaketime.so.1"}) {
    struct stat st;
    if (stat(p, &st) == 0) return p;
  }
  return "";
}

std::string UnderFaketime(const std::string &settings) {
  return "env LD_PRELOAD='" + LibFaketime() + "' FAKETIME_NO_CACHE=1 " + settings + " \"$@\"";
}

std::vector<std::string> DaemonCommand() {
  std::vector<std::string> words;
  if (const char *emulator = getenv("QOR_TEST_EMULATOR")) {
    std::istringstream in(emulator);
    for (std::string w; in >> w;) words.push_back(w);
  }
  const char *daemon = getenv("QOR_TEST_DAEMON");
  words.push_back(daemon && *daemon ? daemon : QORTIMER_BINARY);
  return words;
}

std::vector<Record> ParseRecords(const std::string &text) {
  std::vector<Record> records;
  std::istringstream in(text);
  for (std::string head, when; std::getline(in, head) && std::getline(in, when);)
    records.push_back({head.substr(0, head.rfind(" (")), head, when + "\n"});
  return records;
}

static qorlisten::Command ParsedCommand(const std::string &command) {
  qorlisten::Command c = qorlisten::ParseCommand(command);
  EXPECT_TRUE(c.ok && c.tag == kQorSenderTag) << c.problem << ": " << command;
  return c;
}

time_t CommandStamp(const std::string &command) {
  return static_cast<time_t>(ParsedCommand(command).time_stamp);
}

std::string TargetAndState(const std::string &command) {
  const qorlisten::Command c = ParsedCommand(command);
  return c.names + kQorSeparator + c.state;
}

std::string Hms(time_t t) {
  tm utc;
  gmtime_r(&t, &utc);
  char buf[16];
  strftime(buf, sizeof buf, "%H:%M:%S", &utc);
  return buf;
}

std::vector<std::string> Series(time_t from, time_t to, time_t step, const std::string &what) {
  std::vector<std::string> series;
  for (time_t t = from; t <= to; t += step) series.push_back(Hms(t) + " " + what);
  return series;
}

Listener::Listener(int port) {
  fd_ = socket(AF_INET, SOCK_DGRAM, 0);
  if (fd_ < 0) {
    ADD_FAILURE() << "socket: " << strerror(errno);
    return;
  }
  const int on = 1;
  setsockopt(fd_, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
  const int room = 8 << 20;  // as much as the system allows, for a burst of a thousand
  setsockopt(fd_, SOL_SOCKET, SO_RCVBUF, &room, sizeof room);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(static_cast<uint16_t>(port));
  a.sin_addr.s_addr = htonl(INADDR_ANY);
  if (bind(fd_, reinterpret_cast<sockaddr *>(&a), sizeof a) != 0)
    ADD_FAILURE() << "bind port " << port << ": " << strerror(errno);
}

Listener::~Listener() {
  if (fd_ >= 0) close(fd_);
}

bool Listener::Receive(std::string *datagram, double timeout_seconds,
                       std::string *peer_ip, int *peer_port) {
  pollfd p{fd_, POLLIN, 0};
  if (poll(&p, 1, static_cast<int>(timeout_seconds * 1000)) <= 0) return false;
  char buf[65536];
  sockaddr_in from{};
  socklen_t len = sizeof from;
  const ssize_t n = recvfrom(fd_, buf, sizeof buf, 0, reinterpret_cast<sockaddr *>(&from), &len);
  if (n < 0) return false;
  datagram->assign(buf, static_cast<size_t>(n));
  if (peer_ip) {
    char ip[INET_ADDRSTRLEN];
    *peer_ip = inet_ntop(AF_INET, &from.sin_addr, ip, sizeof ip);
  }
  if (peer_port) *peer_port = ntohs(from.sin_port);
  return true;
}

}  // namespace qortest
