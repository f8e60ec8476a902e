// The status line: the schedule's states, its next change, and trouble with its file.
#include "qor_status.h"

#include <algorithm>
#include <bitset>
#include <cstdarg>
#include <cstdio>
#include <cstring>

constexpr int kDay = 24 * 60;  // minutes

// The minute of the day of an HHMM time; 2400 is the next midnight.
static int day_minute(int hour, int minute) { return (hour * 60 + minute) % kDay; }

int qor_status_minutes_to_change(const qor_entry *e, int hour, int minute) {
  // A state can only change at the minute after an interval's start, at its
  // end, or at midnight, so only those minutes are evaluated.
  std::bitset<kDay> turns;
  turns.set(0);
  for (const qor_timer *t = e->timers; t != nullptr; t = t->next) {
    turns.set(static_cast<size_t>(day_minute(t->on_hour, t->on_minute + 1)));
    turns.set(static_cast<size_t>(day_minute(t->off_hour, t->off_minute)));
  }
  const int now = day_minute(hour, minute);
  for (int ahead = 1; ahead <= kDay; ahead++) {
    const int m = (now + ahead) % kDay;
    if (turns.test(static_cast<size_t>(m)) && qor_is_on(m / 60, m % 60, e->timers) != e->state)
      return ahead;
  }
  return 0;
}

// Appends to a line being composed; once something did not fit, the line
// is full and nothing more is added.
struct line_out {
  char *text;
  size_t size;
  size_t used;
  bool full;
};

__attribute__((format(printf, 2, 3))) static void put(line_out *line, const char *fmt, ...) {
  if (line->full) return;
  va_list ap;
  va_start(ap, fmt);
  const int n = vsnprintf(line->text + line->used, line->size - line->used, fmt, ap);
  va_end(ap);
  if (n < 0) return;
  line->full = static_cast<size_t>(n) >= line->size - line->used;
  line->used = std::min(line->size - 1, line->used + static_cast<size_t>(n));
}

// The length of the valid UTF-8 sequence at `s`, or 0 when none begins
// there (a stray or missing continuation byte, an overlong form, a
// surrogate, beyond U+10FFFF). A NUL ends every sequence.
static size_t utf8_sequence(const unsigned char *s) {
  if (s[0] < 0x80) return 1;
  size_t n;
  unsigned char low = 0x80, high = 0xbf;  // the second byte's range
  if (s[0] >= 0xc2 && s[0] <= 0xdf) {
    n = 2;
  } else if (s[0] >= 0xe0 && s[0] <= 0xef) {
    n = 3;
    if (s[0] == 0xe0) low = 0xa0;
    if (s[0] == 0xed) high = 0x9f;
  } else if (s[0] >= 0xf0 && s[0] <= 0xf4) {
    n = 4;
    if (s[0] == 0xf0) low = 0x90;
    if (s[0] == 0xf4) high = 0x8f;
  } else {
    return 0;
  }
  if (s[1] < low || s[1] > high) return 0;
  for (size_t i = 2; i < n; i++)
    if ((s[i] & 0xc0) != 0x80) return 0;
  return n;
}

bool qor_status_append_text(char *line, size_t size, const char *text) {
  size_t used = strlen(line);
  const auto *s = reinterpret_cast<const unsigned char *>(text);
  while (*s != '\0') {
    const size_t n = utf8_sequence(s);
    if (used + std::max<size_t>(n, 1) >= size) return false;
    if (n == 0) {
      line[used++] = kQorStatusInvalid;
      s++;
    } else {
      memcpy(line + used, s, n);
      used += n;
      s += n;
    }
    line[used] = '\0';
  }
  return true;
}

static void put_name(line_out *line, const char *name) {
  if (line->full) return;
  line->full = !qor_status_append_text(line->text, line->size, name);
  line->used = strlen(line->text);
}

static const char *plural(long n) { return n == 1 ? "" : "s"; }

// What the status line says first about the timer file, if anything.
static void put_file_trouble(line_out *line, const qor_follow_state *f) {
  const int at_hour = f->minute / 100, at_minute = f->minute % 100;
  switch (qor_follow_shown(f)) {
    case kQorVersionUnreadable:
      put(line, "TIMER FILE UNREADABLE since %02d:%02d (%s); ", at_hour, at_minute,
          strerror(f->error));
      break;
    case kQorVersionRefused:
      put(line, "EDIT REFUSED at %02d:%02d, %ld bad line%s: see the journal; ", at_hour,
          at_minute, f->bad_lines, plural(f->bad_lines));
      break;
    case kQorVersionWaiting:
      put(line, "EDIT INCOMPLETE at %02d:%02d, file %s: waiting for a whole save; ", at_hour,
          at_minute, qor_text_cut_words(f->cut));
      break;
    case kQorVersionTaken:
    case kQorVersionSettling:
      break;
  }
}

void qor_status_compose(const qor_context *qor, const qor_follow_state *follow,
                        char (&out)[kQorStatusSize]) {
  out[0] = '\0';
  line_out line{out, sizeof out, 0, false};
  put(&line, "STATUS=");
  put_file_trouble(&line, follow);

  long pairs = 0, on = 0, also = 0;
  int soonest = 0;
  const qor_entry *next = nullptr;
  for (const qor_entry *e = qor->entries; e != nullptr; e = e->next) {
    pairs++;
    on += e->state == 1;
    const int ahead = qor_status_minutes_to_change(e, qor->hour, qor->minute);
    if (ahead == 0) continue;
    if (next == nullptr || ahead < soonest) {
      next = e;
      soonest = ahead;
      also = 0;
    } else if (ahead == soonest) {
      also++;
    }
  }
  put(&line, "%ld pair%s, %ld ON", pairs, plural(pairs), on);
  if (next != nullptr) {
    const int at = (qor->hour * 60 + qor->minute + soonest) % kDay;
    put(&line, "; next: %02d:%02d ", at / 60, at % 60);
    put_name(&line, next->device);
    put(&line, " ");
    put_name(&line, next->channel);
    put(&line, " %s", next->state == 1 ? kQorStateOff : kQorStateOn);
    if (also > 0) put(&line, " and %ld more", also);
  } else if (pairs > 0) {
    put(&line, "; no change due");
  }
  if (qor->idle) put(&line, "; idle mode");
  if (qor->realtime_refused) put(&line, "; normal class: real-time refused");
}
