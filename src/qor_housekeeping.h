// The minute's housekeeping: once in each calendar minute, when the loop
// first sees it, the daemon checks that the time zone and the log are still
// the ones it loaded and opened, and takes up a new zone or the log's new
// file (qor_log_follow). The loop calls it before every pass; it keeps its
// own record of the minute it last ran, so a pass never has to.
//
// The zone: with TZ set it stays as read at start-up. With TZ unset it
// comes from /etc/localtime and is loaded again when that file has changed:
// another file in its place (`timedatectl set-timezone` renames a new
// symbolic link over it) or new zone data. A missing or unreadable
// /etc/localtime keeps the zone that is loaded; loading it would switch
// every pair by UTC until the file came back.
#ifndef QORTIMER_QOR_HOUSEKEEPING_H_
#define QORTIMER_QOR_HOUSEKEEPING_H_

#include <sys/stat.h>

#include <cstdio>
#include <ctime>

#include "qor_log.h"

constexpr const char *kQorZoneFile = "/etc/localtime";  // the zone when TZ is unset

struct qor_housekeeping {
  time_t minute;     // the calendar minute it last ran in, counted from the epoch
  struct stat zone;  // kQorZoneFile as it was when the zone was loaded; zero if none
};

// Start-up: records the zone file, then loads the zone, so that a change
// in between is taken up by the first check; `now`'s minute counts as run.
void qor_housekeeping_start(qor_housekeeping *hk, time_t now);

// Called before each pass with its calendar time. In a calendar minute
// other than the one it last ran in (after a backward step of the clock
// too), checks the zone and follows the log's name.
void qor_housekeeping_run(qor_housekeeping *hk, time_t now, FILE **log_stream, qor_log_state *log);

#endif  // QORTIMER_QOR_HOUSEKEEPING_H_
