// Following the timer file in simulated time: edits of each kind saved
// while passes run, what is taken and when, what is said, and the sends
// that follow; and the status line composed from the schedule.
#include "qor_follow.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "qor_socket.h"
#include "qor_status.h"
#include "test_util.h"

namespace {

using qortest::ReadFile;
using qortest::TempDir;

constexpr time_t kStart = 1796804430;  // 2026-12-09 08:00:30 UTC
constexpr int kSeconds = 16;

// Two pairs ON all day; the same with a third, OFF all day; then a bad file,
// and one changing everything: lamp switches OFF, fan is new, pump is gone.
const char kTwo[] = "lamp 1 0000 0000\npump 3 0000 0000\n";
const char kThree[] = "lamp 1 0000 0000\npump 3 0000 0000\nfan 2 0700 0800\n";
const char kBad[] = "lamp 1 0000 0000\nfan 2 0800\nfan 2 2500 0900\n";
const char kOther[] = "lamp 1 0800 0801\nfan 2 0000 0000\n";
// kThree cut inside its last line, where "0700 08" reads as a good interval,
// ON now; and cut at its last line end.
const char kHalf[] = "lamp 1 0000 0000\npump 3 0000 0000\nfan 2 0700 08";
const char kUnended[] = "lamp 1 0000 0000\npump 3 0000 0000\nfan 2 0700 0800";

enum class Edit { kRename, kInPlace, kRemove, kReload };

struct Step {
  int at;  // second of the run
  Edit how;
  const char *text = "";
};

struct FollowCase {
  const char *name;
  bool follow;
  std::vector<Step> steps;
  int taken_at;            // second from which the edited schedule runs; -1 never
  std::string after;       // its pairs and states, "device-channel-STATE ..."
  std::string err;         // the error stream, DIR standing for the directory
};

const std::string kAddedFan =
    " *** WARNING: Pair (fan 2) added, OFF\n"
    " *** WARNING: Took timer file (DIR/t.txt): 3 pairs, 1 added, 0 switched, 0 removed\n";
const std::string kRefused =
    " *** WARNING reading (DIR/t.txt) line (fan 2 0800)\n"
    " *** WARNING reading (DIR/t.txt) line (fan 2 2500 0900)\n"
    " *** WARNING: Timer file (DIR/t.txt) refused, 2 bad lines; the schedule stays as it was\n";
const char kThreeAfter[] = "lamp-1-ON pump-3-ON fan-2-OFF";

const FollowCase kFollowCases[] = {
    {"SavedByRenameIsTakenOnceSettled", true, {{4, Edit::kRename, kThree}}, 6, kThreeAfter,
     kAddedFan},
    {"RewrittenInPlaceIsTakenOnceSettled", true, {{4, Edit::kInPlace, kOther}}, 6,
     "lamp-1-OFF fan-2-ON",
     " *** WARNING: Pair (lamp 1) switched, OFF\n"
     " *** WARNING: Pair (fan 2) added, ON\n"
     " *** WARNING: Pair (pump 3) removed\n"
     " *** WARNING: Took timer file (DIR/t.txt): 2 pairs, 1 added, 1 switched, 1 removed\n"},
    {"HalfWrittenLineIsNotTaken", true,
     {{4, Edit::kInPlace, kHalf}, {7, Edit::kInPlace, kThree}}, 9, kThreeAfter, kAddedFan},
    {"TruncatedFileIsNotTakenAsEmpty", true,
     {{4, Edit::kInPlace, ""}, {8, Edit::kInPlace, kThree}}, 10, kThreeAfter, kAddedFan},
    {"FileWithoutALastLineEndIsTakenOnceItStands", true, {{4, Edit::kInPlace, kUnended}}, 9,
     kThreeAfter, kAddedFan},
    {"BadEditIsRefusedOnceAndTheNextSaveTaken", true,
     {{3, Edit::kRename, kBad}, {9, Edit::kRename, kThree}}, 11, kThreeAfter,
     kRefused + kAddedFan},
    {"RemovedFileIsSaidOnceAndItsReturnTaken", true,
     {{3, Edit::kRemove}, {9, Edit::kRename, kThree}}, 11, kThreeAfter,
     " *** WARNING: Unable to read timer file (DIR/t.txt): No such file or directory;"
     " the schedule stays as it was\n" + kAddedFan},
    {"ReloadTakesTheFileAtOnceAndRefusesABadOne", false,
     {{4, Edit::kRename, kThree}, {4, Edit::kReload}, {8, Edit::kInPlace, kBad},
      {8, Edit::kReload}},
     4, kThreeAfter, kAddedFan + kRefused},
    {"WithoutFollowingAnEditWaitsForAReload", false, {{4, Edit::kRename, kThree}}, -1, "", ""},
};

void PrintTo(const FollowCase &c, std::ostream *os) { *os << c.name; }

// The sends the documented policy gives: the running schedule's pairs with
// their states, the edited one's from `taken_at`; a pair is sent when new,
// when its state changes, and 5 s after its last send.
std::vector<std::string> ModelSends(const FollowCase &c) {
  struct Sent {
    std::string state;
    time_t at;
  };
  std::map<std::string, Sent> last;
  std::vector<std::string> sends;
  for (int t = 0; t < kSeconds; t++) {
    std::istringstream pairs(t < c.taken_at || c.taken_at < 0 ? "lamp-1-ON pump-3-ON" : c.after);
    for (std::string word; pairs >> word;) {
      const std::string pair = word.substr(0, word.rfind('-'));
      const std::string state = word.substr(word.rfind('-') + 1);
      const auto found = last.find(pair);
      if (found != last.end() && found->second.state == state && t - found->second.at < 5)
        continue;
      last[pair] = {state, t};
      sends.push_back(qortest::Hms(kStart + t) + " " + word);
    }
  }
  return sends;
}

int stat_calls = 0;
int CountingStat(const char *path, struct stat *st) {
  stat_calls++;
  return stat(path, st);
}

class FollowTest : public ::testing::TestWithParam<FollowCase> {
 protected:
  void SetUp() override {
    REQUIRE_PRIVATE_NETNS();
    setenv("TZ", "UTC", 1);
    tzset();
    memset(&qor_, 0, sizeof qor_);
    qor_.logfile = fopen(dir_.File(kQorLogFile).c_str(), "a");
    ASSERT_NE(qor_.logfile, nullptr);
    qor_init_socket();
    socket_open_ = true;
  }
  void TearDown() override {
    if (socket_open_) qor_socket_close();
    if (qor_.logfile) fclose(qor_.logfile);
    if (qor_.timer_stream) fclose(qor_.timer_stream);
    qor_free_entries(qor_.entries);
  }

  // Saves `text` as the timer file, stamped with a time of its own so that
  // each version differs from the last however coarse the file system's clock.
  void Save(const std::string &text, Edit how) {
    const std::string path = dir_.File("t.txt");
    const std::string temp = how == Edit::kRename ? path + ".new" : path;
    const int fd = open(temp.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(write(fd, text.data(), text.size()), static_cast<ssize_t>(text.size()));
    const timespec stamp[2] = {{kStart, 0}, {kStart, ++versions_}};
    ASSERT_EQ(futimens(fd, stamp), 0);
    close(fd);
    if (how == Edit::kRename) {
      ASSERT_EQ(rename(temp.c_str(), path.c_str()), 0);
    }
  }

  // "HH:MM:SS device-channel-STATE" for every logged command.
  std::vector<std::string> Sends() {
    fflush(qor_.logfile);
    std::vector<std::string> sends;
    for (const auto &rec : qortest::ParseRecords(ReadFile(dir_.File(kQorLogFile))))
      sends.push_back(qortest::Hms(qortest::CommandStamp(rec.command)) + " " +
                      qortest::TargetAndState(rec.command));
    return sends;
  }

  TempDir dir_;
  bool socket_open_ = false;
  long versions_ = 0;
  static qor_context qor_;
};

qor_context FollowTest::qor_;

TEST_P(FollowTest, TakesWhatSettledKeepsCadencesAndSaysWhatChanged) {
  const FollowCase &c = GetParam();
  Save(kTwo, Edit::kInPlace);
  snprintf(qor_.infile, sizeof qor_.infile, "%s", dir_.File("t.txt").c_str());
  qor_.follow = c.follow;
  qor_open_timer_file(&qor_);
  qor_read_file(&qor_);
  qor_follow_state follow;
  qor_follow_start(&follow, &qor_);
  stat_calls = 0;
  std::vector<int> taken;
  testing::internal::CaptureStderr();
  for (int t = 0; t < kSeconds; t++) {
    bool reload = false;
    for (const Step &s : c.steps) {
      if (s.at != t) continue;
      if (s.how == Edit::kReload) {
        reload = true;
      } else if (s.how == Edit::kRemove) {
        ASSERT_EQ(unlink(qor_.infile), 0);
      } else {
        Save(s.text, s.how);
      }
    }
    // Three passes a second, as the loop runs them: the file is looked at
    // once, in the first.
    for (int k = 0; k < 3; k++) {
      qor_pass(&qor_, 0, kStart + t);
      const int before = stat_calls;
      if (qor_follow_check(&follow, &qor_, CountingStat, reload && k == 0) == kQorFollowTaken) {
        taken.push_back(t);
        qor_pass(&qor_, 0, kStart + t);
      }
      if (k > 0) {
        EXPECT_EQ(stat_calls, before) << "second " << t;
      } else {
        EXPECT_LE(stat_calls - before, 2) << "second " << t;
      }
    }
  }
  std::string err = testing::internal::GetCapturedStderr();
  for (size_t at; (at = err.find(dir_.path())) != std::string::npos;)
    err.replace(at, dir_.path().size(), "DIR");
  EXPECT_EQ(err, c.err);
  EXPECT_EQ(taken.empty() ? -1 : taken[0], c.taken_at);
  EXPECT_EQ(Sends(), ModelSends(c));
  if (!c.follow && c.taken_at < 0) {
    EXPECT_EQ(stat_calls, 0);
  }
}

INSTANTIATE_TEST_SUITE_P(Edits, FollowTest, ::testing::ValuesIn(kFollowCases),
                         [](const auto &info) { return std::string(info.param.name); });

// ------------------------------------------------------------ status line

struct StatusCase {
  const char *name;
  const char *timers;
  int hour, minute;
  bool idle;
  qor_follow_state follow;
  const char *status;
};

qor_follow_state Refused(long lines, int at) {
  qor_follow_state f{};
  f.refused_lines = lines;
  f.refused_minute = at;
  return f;
}

qor_follow_state Unreadable(int error, int at) {
  qor_follow_state f = Refused(3, 1200);  // an unreadable file says that instead
  f.trouble = error;
  f.trouble_minute = at;
  return f;
}

const StatusCase kStatusCases[] = {
    {"NextChangeOfTheDay", "porch lamp 1800 2300\nfan 1 0800 1300\n", 12, 0, false, {},
     "STATUS=2 pairs, 1 ON; next: 13:00 fan 1 OFF"},
    {"SeveralAtTheSameMinute", "a 1 0800 0900\nb 2 1000 1100\nc 3 0700 0900\nd 4 0600 0900\n", 8,
     30, true, {}, "STATUS=4 pairs, 3 ON; next: 09:00 a 1 OFF and 2 more; idle mode"},
    {"PastMidnight", "heater x 2200 0600\npump 1 2400 0300\n", 23, 30, false, {},
     "STATUS=2 pairs, 1 ON; next: 00:00 pump 1 ON"},
    {"NothingEverChanges", "on 1 0000 0000\non 1 2359 0001\noff 1 0800 0801\n", 12, 0, false,
     {}, "STATUS=2 pairs, 1 ON; no change due"},
    {"NoPairs", "", 9, 0, true, {}, "STATUS=0 pairs, 0 ON; idle mode"},
    {"RefusedEdit", "lamp 1 0800 0900\n", 14, 5, false, Refused(1, 1402),
     "STATUS=EDIT REFUSED at 14:02, 1 bad line: see the journal; 1 pair, 0 ON;"
     " next: 08:01 lamp 1 ON"},
    {"UnreadableFile", "lamp 1 0800 0900\n", 8, 30, false, Unreadable(ENOENT, 829),
     "STATUS=TIMER FILE UNREADABLE since 08:29 (No such file or directory); 1 pair, 1 ON;"
     " next: 09:00 lamp 1 OFF"},
};

void PrintTo(const StatusCase &c, std::ostream *os) { *os << c.name; }

class StatusTest : public ::testing::TestWithParam<StatusCase> {};

TEST_P(StatusTest, NamesThePairsTheNextChangeAndTroubleWithTheFile) {
  const StatusCase &c = GetParam();
  static qor_context qor;
  memset(&qor, 0, sizeof qor);
  std::string timers = c.timers;
  qor.timer_stream = fmemopen(&timers[0], timers.size() + 1, "r");
  ASSERT_NE(qor.timer_stream, nullptr);
  qor_read_file(&qor);
  fclose(qor.timer_stream);
  // The states a pass at that minute leaves.
  for (qor_entry *e = qor.entries; e != nullptr; e = e->next)
    e->state = qor_is_on(c.hour, c.minute, e->timers);
  qor.hour = c.hour;
  qor.minute = c.minute;
  qor.idle = c.idle;
  char status[kQorStatusSize];
  qor_status_compose(&qor, &c.follow, status);
  EXPECT_STREQ(status, c.status);
  qor_free_entries(qor.entries);
}

INSTANTIATE_TEST_SUITE_P(Schedules, StatusTest, ::testing::ValuesIn(kStatusCases),
                         [](const auto &info) { return std::string(info.param.name); });

}  // namespace
