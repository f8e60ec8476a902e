// The minute's housekeeping: the zone check and the log's name, once a minute.
#include "qor_housekeeping.h"

#include <fcntl.h>
#include <unistd.h>

#include <cstdlib>

// The calendar minute of `t`, counted from the epoch and rounded down for
// times before it too; defined for every time_t.
static time_t minute_of(time_t t) { return t / 60 - (t % 60 < 0 ? 1 : 0); }

// The zone file as the C library would read it now; false when it is
// missing or cannot be read.
static bool readable_zone_file(struct stat *st) {
  const int fd = open(kQorZoneFile, O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  const bool ok = fstat(fd, st) == 0;
  close(fd);
  return ok;
}

static bool same_file(const struct stat &a, const struct stat &b) {
  return a.st_dev == b.st_dev && a.st_ino == b.st_ino && a.st_size == b.st_size &&
         a.st_mtim.tv_sec == b.st_mtim.tv_sec && a.st_mtim.tv_nsec == b.st_mtim.tv_nsec;
}

void qor_housekeeping_start(qor_housekeeping *hk, time_t now) {
  if (!readable_zone_file(&hk->zone)) hk->zone = {};
  tzset();
  hk->minute = minute_of(now);
}

// With TZ unset, loads the zone again when /etc/localtime has changed and
// can be read.
static void check_zone(qor_housekeeping *hk) {
  if (getenv("TZ") != nullptr) return;
  struct stat st;
  if (!readable_zone_file(&st) || same_file(st, hk->zone)) return;
  tzset();
  hk->zone = st;
}

void qor_housekeeping_run(qor_housekeeping *hk, time_t now, FILE **log_stream,
                          qor_log_state *log) {
  const time_t minute = minute_of(now);
  if (minute == hk->minute) return;
  hk->minute = minute;
  check_zone(hk);
  qor_log_follow(log_stream, log);
}
