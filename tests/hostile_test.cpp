// Hostile timer files and command lines against the real binary. Every case
// must end either in its documented error text with exit status 1, or in a
// daemon that finished start-up (read its whole timer file and sent a
// command for each pair) and is still running; never in a crash or a hang.
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "test_util.h"

namespace {

using qortest::DaemonCommand;
using qortest::Listener;
using qortest::ReadFile;
using qortest::TempDir;
using qortest::WriteFile;
using Clock = std::chrono::steady_clock;

// How long start-up may take (100 000 lines under a sanitizer or an
// emulator), and how long a started daemon must then keep running.
constexpr double kStartupSeconds = 60;
constexpr double kGraceSeconds = 0.3;

enum class Source {
  kFile,       // a regular file holding `content`
  kDirectory,  // a directory in place of the timer file
  kPipe,       // /dev/fd/N of a pipe that a writer thread fills with `content`
  kLongPath,   // a regular file whose path is `path_length` characters long
};

struct HostileCase {
  std::string name;
  Source source = Source::kFile;
  std::string content;
  std::vector<std::string> args;  // "$T" stands for the timer path
  size_t path_length = 0;
  bool runs = false;
  std::vector<std::string> pairs;  // running: "device-channel" of each entry
  std::string err;                 // failing: the error stream, "$T" for the path
  bool err_is_prefix = false;      // only its beginning is fixed
  std::string out;                 // failing: the standard output
};

std::ostream &operator<<(std::ostream &os, const HostileCase &c) { return os << c.name; }

HostileCase Runs(std::string name, Source source, std::string content,
                 std::vector<std::string> pairs, std::vector<std::string> args = {"-v", "$T"}) {
  HostileCase c;
  c.name = std::move(name);
  c.source = source;
  c.content = std::move(content);
  c.args = std::move(args);
  c.runs = true;
  c.pairs = std::move(pairs);
  return c;
}

HostileCase Fails(std::string name, Source source, std::string content, std::string err,
                  std::vector<std::string> args = {"$T"}) {
  HostileCase c;
  c.name = std::move(name);
  c.source = source;
  c.content = std::move(content);
  c.args = std::move(args);
  c.err = std::move(err);
  return c;
}

std::string BadLine(const std::string &line) {
  return " *** ERROR reading ($T) line (" + line + ")\n";
}

// Bytes from a fixed linear congruential generator: the same junk every run.
std::string Junk(size_t n) {
  std::string s;
  uint32_t x = 12345;
  for (size_t i = 0; i < n; i++) {
    x = x * 1103515245u + 12345u;
    s.push_back(static_cast<char>(x >> 23));
  }
  return s;
}

std::string Replace(std::string s, const std::string &from, const std::string &to) {
  for (size_t at = s.find(from); at != std::string::npos; at = s.find(from, at + to.size()))
    s.replace(at, from.size(), to);
  return s;
}

std::vector<HostileCase> Cases() {
  std::vector<HostileCase> cases;
  const std::string good = "lamp 1 0800 0900\n";

  cases.push_back(Runs("EmptyFile", Source::kFile, "", {}));
  // Its lines are bad in ways that are tedious to foresee; the first of
  // its reports shows that reading went on to the checks.
  HostileCase junk =
      Fails("BinaryJunk", Source::kFile, Junk(8192), " *** ERROR reading ($T) line (");
  junk.err_is_prefix = true;
  cases.push_back(junk);
  cases.push_back(Fails("NulByteCutsTheChannel", Source::kFile,
                        good + std::string("lamp\0 1 0800 0900\n", 18), BadLine("lamp")));
  cases.push_back(Runs("NulBytesAfterTheFields", Source::kFile,
                       std::string("lamp 1 0800 0900\0\0junk\n\0\n", 25), {"lamp-1"}));
  cases.push_back(Runs("CrlfLineEnds", Source::kFile,
                       "# comment\r\nlamp 1 0800 0900\r\n\r\nfan 2 2200 0600\r\n",
                       {"lamp-1", "fan-2"}));
  // 2046 characters are one read; the line end alone follows and is blank.
  std::string line2046 = "lamp 1 0800 0900" + std::string(2046 - 17, ' ') + "x";
  cases.push_back(Runs("LineOf2046Characters", Source::kFile, line2046 + "\n", {"lamp-1"}));
  // One more character and its last one is read as a line of its own.
  std::string line2047 = "lamp 1 0800 0900" + std::string(2046 - 16, ' ') + "x";
  cases.push_back(Fails("LineOf2047Characters", Source::kFile, line2047 + "\n",
                        BadLine("x\n")));
  // A comment of 10 000 characters: 2046 of it are the comment, and the
  // rest comes as lines of 2046, 2046, 2046 and 1816 characters of 'x'.
  std::string tail_errors;
  for (size_t n : {2046, 2046, 2046}) tail_errors += BadLine(std::string(n, 'x'));
  tail_errors += BadLine(std::string(1816, 'x') + "\n");
  cases.push_back(Fails("CommentOf10000Characters", Source::kFile,
                        "#" + std::string(9999, 'x') + "\n", tail_errors));
  std::string many;
  for (int i = 0; i < 100000; i++) {
    const int on = (i * 7) % 1440, off = (i * 13) % 1440;
    many += "lamp 1 " + std::to_string(on / 60 * 100 + on % 60) + " " +
            std::to_string(off / 60 * 100 + off % 60) + "\n";
  }
  cases.push_back(Runs("HundredThousandLinesOfOnePair", Source::kFile, many, {"lamp-1"}, {"$T"}));
  cases.push_back(Runs("NamesWithDashesAndNonAsciiBytes", Source::kFile,
                       "la-mp -c-1- 0800 0900\n\xc3\xa9t\xc3\xa9 \xff\xfe\x01 1000 1100\n",
                       {"la-mp--c-1-", "\xc3\xa9t\xc3\xa9-\xff\xfe\x01"}));
  cases.push_back(Runs("NameOf300CharactersIsCutTo255", Source::kFile,
                       std::string(300, 'd') + " 1 0800 0900\n",
                       {std::string(255, 'd') + "-1"}));
  // Beyond 32 bits the value saturates at 4294967295, whose minute 95 fails
  // the minute test too; a minus negates modulo 2^32.
  const std::string beyond =
      "lamp 1 4294967295 0900\n"
      "lamp 1 4294967296 0900\n"
      "lamp 1 0800 99999999999999999999\n"
      "lamp 1 -5 0900\n"
      "lamp 1 2147483648 0900\n"
      "lamp 1 -2147483648 0900\n"
      "lamp 1 -4294967296 0900\n";
  cases.push_back(Fails("NumbersAtAndBeyond32Bits", Source::kFile, good + beyond,
                        BadLine("lamp 1 4294967295 0900\n") + BadLine("lamp 1 4294967295 0900\n") +
                            BadLine("lamp 1 4294967296 0900\n") +
                            BadLine("lamp 1 4294967296 0900\n") +
                            BadLine("lamp 1 0800 99999999999999999999\n") +
                            BadLine("lamp 1 0800 99999999999999999999\n") +
                            BadLine("lamp 1 -5 0900\n") + BadLine("lamp 1 -5 0900\n") +
                            BadLine("lamp 1 2147483648 0900\n") +
                            BadLine("lamp 1 -2147483648 0900\n") +
                            BadLine("lamp 1 -4294967296 0900\n") +
                            BadLine("lamp 1 -4294967296 0900\n")));
  cases.push_back(Runs("SignedNumbersThatWrapIntoRange", Source::kFile,
                       "lamp 1 +0800 -0\nlamp 2 -4294967295 +2400\n", {"lamp-1", "lamp-2"}));
  cases.push_back(Fails("DirectoryAsTimerFile", Source::kDirectory, "",
                        " *** ERROR: Unable to read file ($T)\n"));
  std::string piped;
  for (int i = 0; i < 4000; i++) piped += "# filler to pass the pipe's buffer " + std::to_string(i) + "\n";
  cases.push_back(Runs("PipeFedByAWriter", Source::kPipe, piped + "pipe lamp 0800 0900\n",
                       {"pipe-lamp"}));
  cases.push_back(Fails("NoArgument", Source::kFile, good,
                        " *** ERROR: Syntax qortimer.exe TIMER_FILE (argc=1)\n", {}));
  cases.push_back(Fails("EmptyArgument", Source::kFile, good,
                        " *** SYNTAX ERROR: qortimer.exe filename [-d] [-v]\n", {""}));
  HostileCase path2047 = Runs("PathOf2047Characters", Source::kLongPath, good, {"lamp-1"});
  path2047.path_length = 2047;
  cases.push_back(path2047);
  // The path is cut to its first 2047 characters, which name nothing.
  HostileCase path2048 = Fails("PathOf2048CharactersIsCut", Source::kLongPath, good,
                               " *** ERROR: Unable to open file ($C)\n");
  path2048.path_length = 2048;
  cases.push_back(path2048);
  cases.push_back(Fails("ArgumentOf100000Characters", Source::kFile, good,
                        " *** ERROR: Unable to open file (" + std::string(2047, 'a') + ")\n",
                        {std::string(100000, 'a')}));
  const std::string long_option = "-x" + std::string(99998, 'o');
  HostileCase option = Fails("OptionOf100000Characters", Source::kFile, good,
                             " *** SYNTAX ERROR: qortimer.exe filename [-d] [-v]\n",
                             {long_option});
  option.out = "Unknown option (" + long_option + ")\n";
  cases.push_back(option);
  return cases;
}

// Makes directories below `base` so that base/.../NAME is exactly `length`
// characters long, and returns that path (the file itself is not created).
std::string LongPath(const std::string &base, size_t length) {
  std::string path = base;
  while (length - path.size() > 1 + 200 + 1 + 20) {
    path += "/" + std::string(200, 'd');
    if (mkdir(path.c_str(), 0700) != 0) ADD_FAILURE() << "mkdir: " << strerror(errno);
  }
  const size_t rest = length - path.size() - 1;
  if (rest > 200) {
    path += "/" + std::string(rest - 101, 'e');
    if (mkdir(path.c_str(), 0700) != 0) ADD_FAILURE() << "mkdir: " << strerror(errno);
  }
  path += "/" + std::string(length - path.size() - 1, 't');
  EXPECT_EQ(path.size(), length);
  return path;
}

// Where the daemon's descriptor of `path` stands, or -1 when it has none.
long long ReadPosition(pid_t pid, const std::string &path) {
  const std::string fds = "/proc/" + std::to_string(pid) + "/fd";
  DIR *dir = opendir(fds.c_str());
  if (dir == nullptr) return -1;
  long long pos = -1;
  while (dirent *d = readdir(dir)) {
    char target[8192];
    const ssize_t n = readlink((fds + "/" + d->d_name).c_str(), target, sizeof target - 1);
    if (n <= 0) continue;
    target[n] = '\0';
    if (path != target) continue;
    const std::string info =
        ReadFile("/proc/" + std::to_string(pid) + "/fdinfo/" + d->d_name);
    if (info.compare(0, 4, "pos:") != 0) continue;
    char *end = nullptr;
    const long long value = strtoll(info.c_str() + 4, &end, 10);
    if (*end == '\n') pos = value;
  }
  closedir(dir);
  return pos;
}

bool Alive(pid_t pid, int *wstatus) { return waitpid(pid, wstatus, WNOHANG) == 0; }

std::string WithExitCode(const char *name) {
  // A sanitizer report must not pass for the documented exit status 1.
  const char *old = getenv(name);
  return std::string(old ? old : "") + ":exitcode=86";
}

class HostileInput : public ::testing::TestWithParam<HostileCase> {};

TEST_P(HostileInput, EndsInItsErrorOrARunningDaemon) {
  REQUIRE_PRIVATE_NETNS();
  const HostileCase &c = GetParam();
  TempDir dir;
  Listener listener;

  std::string timer = dir.File("timers.txt");
  int pipe_fds[2] = {-1, -1};
  if (c.source == Source::kDirectory) {
    timer = dir.File("timers.d");
    ASSERT_EQ(mkdir(timer.c_str(), 0700), 0);
  } else if (c.source == Source::kPipe) {
    ASSERT_EQ(pipe(pipe_fds), 0);
    timer = "/dev/fd/" + std::to_string(pipe_fds[0]);
  } else {
    if (c.source == Source::kLongPath) timer = LongPath(dir.path(), c.path_length);
    WriteFile(timer, c.content);
  }
  const std::string cut = timer.substr(0, 2047);

  std::vector<std::string> argv = DaemonCommand();
  for (const std::string &a : c.args) argv.push_back(Replace(a, "$T", timer));
  const std::string out_path = dir.File("stdout"), err_path = dir.File("stderr");
  const std::string asan = WithExitCode("ASAN_OPTIONS"), ubsan = WithExitCode("UBSAN_OPTIONS");

  const pid_t pid = fork();
  ASSERT_GE(pid, 0) << strerror(errno);
  if (pid == 0) {
    const int out = open(out_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    const int err = open(err_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    if (out < 0 || err < 0 || chdir(dir.path().c_str()) != 0) _exit(127);
    dup2(out, 1);
    dup2(err, 2);
    if (pipe_fds[1] >= 0) close(pipe_fds[1]);
    signal(SIGPIPE, SIG_DFL);
    setenv("ASAN_OPTIONS", asan.c_str(), 1);
    setenv("UBSAN_OPTIONS", ubsan.c_str(), 1);
    std::vector<char *> args;
    for (auto &a : argv) args.push_back(&a[0]);
    args.push_back(nullptr);
    execvp(args[0], args.data());
    _exit(127);
  }
  std::thread writer;
  if (c.source == Source::kPipe) {
    close(pipe_fds[0]);
    writer = std::thread([&c, fd = pipe_fds[1]] {
      signal(SIGPIPE, SIG_IGN);  // a daemon that died shows as EPIPE, not a dead test
      for (size_t done = 0; done < c.content.size();) {
        const ssize_t n = write(fd, c.content.data() + done, c.content.size() - done);
        if (n <= 0) break;
        done += static_cast<size_t>(n);
      }
      close(fd);
    });
  }

  // Wait for the outcome: the process ends, or start-up visibly finishes.
  const auto deadline = Clock::now() + std::chrono::duration<double>(kStartupSeconds);
  std::set<std::string> seen;
  bool read_all = c.source == Source::kPipe;  // a pipe has no position to check
  int wstatus = 0;
  bool alive = true;
  while ((alive = Alive(pid, &wstatus)) && Clock::now() < deadline) {
    if (!read_all) read_all = ReadPosition(pid, timer) == static_cast<long long>(c.content.size());
    if (read_all && seen.size() == c.pairs.size() && c.runs) break;
    std::string datagram;
    if (listener.Receive(&datagram, 0.01)) {
      for (const std::string &p : c.pairs)
        if (datagram.rfind("qorctrl command QORTIMER-" + p + "-O", 0) == 0) seen.insert(p);
    }
  }
  if (alive) {
    if (c.runs && read_all && seen.size() == c.pairs.size()) {
      std::this_thread::sleep_for(std::chrono::duration<double>(kGraceSeconds));
      alive = Alive(pid, &wstatus);
    }
    if (alive) {
      kill(pid, SIGKILL);
      waitpid(pid, &wstatus, 0);
    }
  }
  if (writer.joinable()) writer.join();
  const std::string out = ReadFile(out_path), err = ReadFile(err_path);

  EXPECT_EQ(err.find("Sanitizer"), std::string::npos) << err;
  EXPECT_EQ(err.find("runtime error"), std::string::npos) << err;
  if (c.runs) {
    EXPECT_TRUE(alive) << "ended early: " << (WIFEXITED(wstatus) ? "status " : "signal ")
                       << (WIFEXITED(wstatus) ? WEXITSTATUS(wstatus) : WTERMSIG(wstatus))
                       << "\n" << err.substr(0, 4000);
    EXPECT_TRUE(read_all) << "the timer file was not read to its end";
    EXPECT_EQ(seen.size(), c.pairs.size()) << "not every pair sent its first command";
    EXPECT_EQ(err, "");
  } else {
    ASSERT_FALSE(alive) << "still running after " << kStartupSeconds << " s";
    ASSERT_TRUE(WIFEXITED(wstatus)) << "killed by signal " << WTERMSIG(wstatus) << "\n" << err;
    EXPECT_EQ(WEXITSTATUS(wstatus), 1) << err.substr(0, 4000);
    const std::string want = Replace(Replace(c.err, "$T", timer), "$C", cut);
    if (c.err_is_prefix)
      EXPECT_EQ(err.substr(0, want.size()), want);
    else
      EXPECT_EQ(err, want);
    EXPECT_EQ(out, c.out);
  }
}

INSTANTIATE_TEST_SUITE_P(Cases, HostileInput, ::testing::ValuesIn(Cases()),
                         [](const ::testing::TestParamInfo<HostileCase> &info) {
                           return info.param.name;
                         });

}  // namespace
