// Following the timer file: a new version settles, is read whole and
// checked, then taken, refused, left waiting for a whole save, or found
// unreadable.
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

#include "qor_watchdog.h"

static bool same_version(const struct stat &a, const struct stat &b) {
  return a.st_dev == b.st_dev && a.st_ino == b.st_ino && a.st_size == b.st_size &&
         a.st_mtim.tv_sec == b.st_mtim.tv_sec && a.st_mtim.tv_nsec == b.st_mtim.tv_nsec &&
         a.st_ctim.tv_sec == b.st_ctim.tv_sec && a.st_ctim.tv_nsec == b.st_ctim.tv_nsec;
}

static bool same_look(const qor_follow_look &a, const qor_follow_look &b) {
  return a.error == b.error && same_version(a.st, b.st);
}

// What the name shows now.
static qor_follow_look look_at(qor_follow_stat look, const char *path) {
  qor_follow_look seen{};
  errno = 0;
  if (look(path, &seen.st) == 0) return seen;
  seen.st = {};
  seen.error = errno != 0 ? errno : EIO;
  return seen;
}

static int local_minute(const qor_context *qor) { return qor->hour * 100 + qor->minute; }

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
    qor_watchdog_kick();  // a long file on a slow disk is no hung daemon
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
    fprintf(stderr, " *** WARNING: Pair (%s %s) removed, %s%s\n", e->device, e->channel,
            e->state < 0 ? "never sent" : "last sent ",
            e->state < 0 ? "" : e->state ? kQorStateOn : kQorStateOff);
  fprintf(stderr, " *** WARNING: Took timer file (%s): %ld pairs, %ld added, %ld switched, %zu removed\n",
          qor->infile, pairs, added, switched, m.gone.size());
  qor_free_entries(qor->entries);
  qor->entries = entries;
  qor->evaluated = 0;  // the next pass looks at every entry
}

void qor_follow_start(qor_follow_state *f, const qor_context *qor) {
  *f = qor_follow_state{};
  f->looked_at = -1;
  if (qor->timer_stream == nullptr || fstat(fileno(qor->timer_stream), &f->version.st) != 0)
    f->version = qor_follow_look{};  // unknown: whatever the name shows is read
}

qor_follow_phase qor_follow_shown(const qor_follow_state *f) {
  if (f->phase != kQorVersionSettling) return f->phase;
  if (f->left == kQorVersionUnreadable && f->seen.error == 0)
    return kQorVersionTaken;  // a file is there again
  return f->left;
}

// Settles a version seen anew from this second on.
static void settle(qor_follow_state *f, const qor_follow_look &look, time_t now) {
  if (f->phase != kQorVersionSettling) f->left = f->phase;
  f->phase = kQorVersionSettling;
  f->seen = look;
  f->since = now;
}

// The verdict on the version seen, which is checked: the next look compares with it.
static void decide(qor_follow_state *f, qor_follow_phase phase, const qor_context *qor) {
  f->phase = phase;
  f->version = f->seen;
  f->at_once = false;
  if (phase != kQorVersionUnreadable) f->error = 0;
  f->minute = local_minute(qor);
}

qor_follow_outcome qor_follow_move(qor_follow_state *f, const qor_follow_event &ev,
                                   const qor_context *qor) {
  const time_t now = qor->now;
  switch (ev.kind) {
    case kQorFollowReload:
      settle(f, ev.look, now);
      f->at_once = true;
      break;
    case kQorFollowLooked:
      if (same_look(ev.look, f->version)) {
        if (f->phase != kQorVersionSettling) return kQorFollowNothing;
        if (!f->at_once) {  // back to the version checked last
          f->phase = f->left;
          return kQorFollowNothing;
        }
        f->seen = ev.look;
      } else if (f->phase != kQorVersionSettling || !same_look(ev.look, f->seen) ||
                 now < f->since) {
        settle(f, ev.look, now);
        if (!f->at_once) return kQorFollowNothing;
      } else if (!f->at_once && now - f->since < kQorFollowSettle) {
        return kQorFollowNothing;
      }
      break;
    case kQorFollowChanging:
      settle(f, ev.look, now);  // a reload's reads it again at the next look
      return kQorFollowNothing;
    case kQorFollowReadFailed: {
      const bool same = ev.error == f->error, reload = f->at_once;
      const int since = f->minute;
      decide(f, kQorVersionUnreadable, qor);
      f->error = ev.error;
      if (same) f->minute = since;  // the same trouble goes on, said once (and at a reload)
      if (!same || reload)
        fprintf(stderr,
                " *** WARNING: Unable to read timer file (%s): %s; the schedule stays as it was\n",
                qor->infile, strerror(ev.error));
      return kQorFollowUnreadable;
    }
    case kQorFollowReadCut:
      decide(f, kQorVersionWaiting, qor);
      f->cut = ev.cut;
      qor_say_text_cut(qor->infile, ev.cut);
      return kQorFollowWaits;
    case kQorFollowReadBad:
      decide(f, kQorVersionRefused, qor);
      f->bad_lines = ev.bad_lines;
      fprintf(stderr,
              " *** WARNING: Timer file (%s) refused, %ld bad line%s; the schedule stays as it was\n",
              qor->infile, ev.bad_lines, ev.bad_lines == 1 ? "" : "s");
      return kQorFollowRefused;
    case kQorFollowReadGood:
      decide(f, kQorVersionTaken, qor);
      return kQorFollowTaken;
  }
  // The version seen is due: a name that cannot be looked at is unreadable
  // as it is; a file is read.
  if (f->seen.error == 0) return kQorFollowRead;
  qor_follow_event failed{};
  failed.kind = kQorFollowReadFailed;
  failed.error = f->seen.error;
  return qor_follow_move(f, failed, qor);
}

// Reads the version seen whole and checks it: what the follower learns,
// with the new schedule and what it changes when it is good.
static qor_follow_event read_version(const qor_follow_state *f, qor_context *qor,
                                     qor_follow_stat look, qor_entry **entries,
                                     schedule_match *m) {
  qor_follow_event ev{};
  std::string text;
  struct stat before {}, after {};
  ev.kind = kQorFollowReadFailed;
  ev.error = read_whole(qor->infile, &text, &before, &after);
  if (ev.error != 0) return ev;
  ev.look = look_at(look, qor->infile);
  if (!same_version(before, after) || !same_look(ev.look, f->seen)) {
    ev.kind = kQorFollowChanging;  // written while it was read
    return ev;
  }
  ev.cut = qor_text_cut_of(text.data(), text.size());
  if (ev.cut != kQorTextWhole) {
    ev.kind = kQorFollowReadCut;
    return ev;
  }
  FILE *in = fmemopen(&text[0], text.size(), "r");
  if (in == nullptr) {
    ev.error = errno;
    return ev;
  }
  ev.bad_lines = qor_read_edited(in, qor->infile, entries);
  fclose(in);
  if (ev.bad_lines < 0) {
    ev.error = EIO;
  } else if (ev.bad_lines > 0) {
    ev.kind = kQorFollowReadBad;
  } else {
    *m = match_pairs(qor->entries, *entries);
    ev.kind = kQorFollowReadGood;
  }
  return ev;
}

qor_follow_outcome qor_follow_check(qor_follow_state *f, qor_context *qor,
                                    qor_follow_stat look, bool at_once) {
  const time_t now = qor->now;
  // A reload that found the file being written reads it again a second later.
  const bool retry = f->phase == kQorVersionSettling && f->at_once;
  if (!at_once && (f->looked_at == now || !(qor->follow || retry))) return kQorFollowNothing;
  f->looked_at = now;
  const qor_follow_phase shown = qor_follow_shown(f);
  qor_follow_event ev{};
  ev.kind = at_once ? kQorFollowReload : kQorFollowLooked;
  ev.look = look_at(look, qor->infile);
  qor_follow_outcome outcome = qor_follow_move(f, ev, qor);
  if (outcome == kQorFollowRead) {
    qor_entry *entries = nullptr;
    schedule_match m;
    try {
      ev = read_version(f, qor, look, &entries, &m);
    } catch (const std::bad_alloc &) {
      ev = qor_follow_event{};
      ev.kind = kQorFollowReadFailed;
      ev.error = ENOMEM;
    }
    if (ev.kind != kQorFollowReadGood) qor_free_entries(entries);
    outcome = qor_follow_move(f, ev, qor);
    if (outcome == kQorFollowTaken) take(qor, entries, m);
  }
  if (outcome == kQorFollowNothing && qor_follow_shown(f) != shown) outcome = kQorFollowShown;
  return outcome;
}
