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

// Appends to a line being composed, cutting what does not fit.
struct line_out {
  char *text;
  size_t size;
  size_t used;
};

__attribute__((format(printf, 2, 3))) static void put(line_out *line, const char *fmt, ...) {
  va_list ap;
  va_start(ap, fmt);
  const int n = vsnprintf(line->text + line->used, line->size - line->used, fmt, ap);
  va_end(ap);
  if (n > 0) line->used = std::min(line->size - 1, line->used + static_cast<size_t>(n));
}

static const char *plural(long n) { return n == 1 ? "" : "s"; }

void qor_status_compose(const qor_context *qor, const qor_follow_state *follow,
                        char (&out)[kQorStatusSize]) {
  out[0] = '\0';
  line_out line{out, sizeof out, 0};
  put(&line, "STATUS=");
  if (follow->trouble != 0)
    put(&line, "TIMER FILE UNREADABLE since %02d:%02d (%s); ", follow->trouble_minute / 100,
        follow->trouble_minute % 100, strerror(follow->trouble));
  else if (follow->refused_lines > 0)
    put(&line, "EDIT REFUSED at %02d:%02d, %ld bad line%s: see the journal; ",
        follow->refused_minute / 100, follow->refused_minute % 100, follow->refused_lines,
        plural(follow->refused_lines));

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
    put(&line, "; next: %02d:%02d %s %s %s", at / 60, at % 60, next->device, next->channel,
        next->state == 1 ? kQorStateOff : kQorStateOn);
    if (also > 0) put(&line, " and %ld more", also);
  } else if (pairs > 0) {
    put(&line, "; no change due");
  }
  if (qor->idle) put(&line, "; idle mode");
  if (qor->realtime_refused) put(&line, "; normal class: real-time refused");
}
