// Following the timer file: a new version settles, is read whole and
// checked, then taken or refused.
#include "qor_follow.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <new>
#include <string>
#include <unordered_map>
#include <vector>

static bool same_version(const struct stat &a, const struct stat &b) {
  return a.st_dev == b.st_dev && a.st_ino == b.st_ino && a.st_size == b.st_size &&
         a.st_mtim.tv_sec == b.st_mtim.tv_sec && a.st_mtim.tv_nsec == b.st_mtim.tv_nsec &&
         a.st_ctim.tv_sec == b.st_ctim.tv_sec && a.st_ctim.tv_nsec == b.st_ctim.tv_nsec;
}

// The version the name shows now: 0, or why it cannot be looked at.
static int look_at(qor_follow_stat look, const char *path, struct stat *st) {
  errno = 0;
  if (look(path, st) == 0) return 0;
  *st = {};
  return errno != 0 ? errno : EIO;
}

static int local_minute(const qor_context *qor) { return qor->hour * 100 + qor->minute; }

static qor_follow_outcome unreadable(qor_follow_state *f, const qor_context *qor, int error,
                                     bool at_once) {
  if (error != f->trouble || at_once)
    fprintf(stderr,
            " *** WARNING: Unable to read timer file (%s): %s; the schedule stays as it was\n",
            qor->infile, strerror(error));
  if (error != f->trouble) f->trouble_minute = local_minute(qor);
  f->trouble = error;
  f->pending = false;
  return kQorFollowUnreadable;
}

// Reads the whole file into `text`, with the descriptor's state before and
// after. Returns 0, or why it could not. Only a plain file is read: a pipe
// or a device could hold the loop or never end.
static int read_whole(const char *path, std::string *text, struct stat *before,
                      struct stat *after) {
  const int fd = open(path, O_RDONLY | O_CLOEXEC | O_NONBLOCK);
  if (fd < 0) return errno;
  int error = fstat(fd, before) == 0 ? 0 : errno;
  if (error == 0 && !S_ISREG(before->st_mode)) error = S_ISDIR(before->st_mode) ? EISDIR : EINVAL;
  char block[16384];
  while (error == 0) {
    const ssize_t n = read(fd, block, sizeof block);
    if (n > 0)
      text->append(block, static_cast<size_t>(n));
    else if (n == 0)
      break;
    else if (errno != EINTR)
      error = errno;
  }
  if (error == 0 && fstat(fd, after) != 0) error = errno;
  close(fd);
  return error;
}

static std::string pair_key(const qor_entry *e) {
  std::string key(e->device);
  key.push_back('\0');
  return key.append(e->channel);
}

// What a new schedule changes: for each of its entries the running entry
// of the same pair, or null; and the running entries it no longer has.
struct schedule_match {
  std::vector<qor_entry *> was;
  std::vector<const qor_entry *> gone;
};

static schedule_match match_pairs(const qor_entry *running, const qor_entry *entries) {
  std::unordered_map<std::string, qor_entry *> old;
  for (const qor_entry *e = running; e != nullptr; e = e->next)
    old.emplace(pair_key(e), const_cast<qor_entry *>(e));
  schedule_match m;
  for (const qor_entry *e = entries; e != nullptr; e = e->next) {
    const auto found = old.find(pair_key(e));
    m.was.push_back(found == old.end() ? nullptr : found->second);
    if (found != old.end()) old.erase(found);
  }
  for (const qor_entry *e = running; e != nullptr; e = e->next)
    if (old.count(pair_key(e)) != 0) m.gone.push_back(e);
  return m;
}

// Puts `entries` in place of the running schedule, each pair with the
// sending state it had, and says what that changes.
static void take(qor_context *qor, qor_entry *entries, const schedule_match &m) {
  long pairs = 0, added = 0, switched = 0;
  for (qor_entry *e = entries; e != nullptr; e = e->next, pairs++) {
    const qor_entry *was = m.was[static_cast<size_t>(pairs)];
    const int state = qor_is_on(qor->hour, qor->minute, e->timers);
    const char *word = state ? kQorStateOn : kQorStateOff;
    if (was == nullptr) {
      fprintf(stderr, " *** WARNING: Pair (%s %s) added, %s\n", e->device, e->channel, word);
      added++;
      continue;
    }
    e->state = was->state;
    e->last_change = was->last_change;
    e->last_sent = was->last_sent;
    if (state != was->state) {
      fprintf(stderr, " *** WARNING: Pair (%s %s) switched, %s\n", e->device, e->channel, word);
      switched++;
    }
  }
  for (const qor_entry *e : m.gone)
    fprintf(stderr, " *** WARNING: Pair (%s %s) removed\n", e->device, e->channel);
  fprintf(stderr, " *** WARNING: Took timer file (%s): %ld pairs, %ld added, %ld switched, %zu removed\n",
          qor->infile, pairs, added, switched, m.gone.size());
  qor_free_entries(qor->entries);
  qor->entries = entries;
  qor->evaluated = 0;  // the next pass looks at every entry
}

void qor_follow_start(qor_follow_state *f, const qor_context *qor) {
  *f = qor_follow_state{};
  f->decided = qor->timer_stream != nullptr && fstat(fileno(qor->timer_stream), &f->version) == 0;
}

qor_follow_outcome qor_follow_check(qor_follow_state *f, qor_context *qor,
                                    qor_follow_stat look, bool at_once) {
  const time_t now = qor->now;
  // A reload that found the file being written tries again a second later.
  const bool retry = f->read_again && f->looked_at != now;
  if (!at_once && !retry && (!qor->follow || (f->looked && f->looked_at == now)))
    return kQorFollowNothing;
  at_once = at_once || retry;
  f->read_again = false;
  f->looked = true;
  f->looked_at = now;
  struct stat st;
  const int error = look_at(look, qor->infile, &st);

  if (!at_once) {
    if (error == 0 ? f->decided && same_version(st, f->version) : error == f->trouble) {
      f->pending = false;
      return kQorFollowNothing;
    }
    if (!f->pending || error != f->pending_error || !same_version(st, f->pending_version) ||
        now < f->pending_since) {
      f->pending = true;
      f->pending_version = st;
      f->pending_error = error;
      f->pending_since = now;
      return kQorFollowNothing;
    }
    if (now - f->pending_since < kQorFollowSettle) return kQorFollowNothing;
  }
  if (error != 0) return unreadable(f, qor, error, at_once);

  std::string text;
  qor_entry *entries = nullptr;
  long bad = 0;
  schedule_match m;
  try {
    struct stat before {}, after {}, again {};
    const int read_error = read_whole(qor->infile, &text, &before, &after);
    if (read_error != 0) {
      f->decided = true;  // not read again until it changes
      f->version = st;
      return unreadable(f, qor, read_error, at_once);
    }
    const int again_error = look_at(look, qor->infile, &again);
    if (!same_version(before, after) || again_error != 0 || !same_version(again, st)) {
      // Written while it was read: wait for it to settle again, or for a
      // reload, a second.
      f->read_again = at_once;
      f->pending = true;
      f->pending_version = again;
      f->pending_error = again_error;
      f->pending_since = now;
      return kQorFollowNothing;
    }
    const bool ended = !text.empty() && text.back() == '\n';
    if (!at_once && !ended && now - f->pending_since < kQorFollowSettleUnended)
      return kQorFollowNothing;
    f->pending = false;
    f->decided = true;
    f->version = st;
    if (!text.empty()) {
      FILE *in = fmemopen(&text[0], text.size(), "r");
      if (in == nullptr) return unreadable(f, qor, errno, at_once);
      bad = qor_read_edited(in, qor->infile, &entries);
      fclose(in);
    }
    if (bad == 0) m = match_pairs(qor->entries, entries);
  } catch (const std::bad_alloc &) {
    qor_free_entries(entries);
    return unreadable(f, qor, ENOMEM, at_once);
  }
  if (bad != 0) {
    qor_free_entries(entries);
    if (bad < 0) return unreadable(f, qor, EIO, at_once);
    fprintf(stderr,
            " *** WARNING: Timer file (%s) refused, %ld bad line%s; the schedule stays as it was\n",
            qor->infile, bad, bad == 1 ? "" : "s");
    f->trouble = 0;
    f->refused_lines = bad;
    f->refused_minute = local_minute(qor);
    return kQorFollowRefused;
  }
  take(qor, entries, m);
  f->trouble = 0;
  f->refused_lines = 0;
  return kQorFollowTaken;
}
