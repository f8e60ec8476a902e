// The service's status line, which `systemctl status` shows: what the
// schedule is doing, and first, in capitals, whether the timer file's last
// edit was refused or not whole, or the file cannot be read (qor_follow.h):
//   "2 pairs, 1 ON; next: 18:01 porch lamp ON; idle mode"
//   "2 pairs, 1 ON; next: 18:01 porch lamp ON; idle mode; normal class: real-time refused"
//   "EDIT REFUSED at 14:02, 2 bad lines: see the journal; 2 pairs, 1 ON; ..."
//   "EDIT INCOMPLETE at 14:02, file ends mid-line: waiting for a whole save; 2 pairs, ..."
//   "TIMER FILE UNREADABLE since 14:02 (No such file or directory); 2 pairs, ..."
// "next" is the soonest minute at which a pair's state differs from the one
// it last sent, the first such pair in file order and how many more change
// then ("and 2 more"); "no change due" when none ever does. The line is
// composed in a fixed buffer, without allocating, and is valid UTF-8
// whatever bytes the names hold (qor_status_append_text).
#ifndef QORTIMER_QOR_STATUS_H_
#define QORTIMER_QOR_STATUS_H_

#include <cstddef>

#include "qor_follow.h"
#include "qortimer.h"

constexpr size_t kQorStatusSize = 1024;  // room for the longest line, two names included

// "STATUS=" and the line, for the entries as the last pass left them at
// its local time (qor->hour, qor->minute).
void qor_status_compose(const qor_context *qor, const qor_follow_state *follow,
                        char (&out)[kQorStatusSize]);

// Stands for each byte of a name that does not begin a valid UTF-8 sequence.
constexpr char kQorStatusInvalid = '?';

// Appends `text`, any bytes, to the NUL-terminated `line` in a buffer of
// `size` bytes as valid UTF-8: each byte that does not begin a valid
// sequence becomes kQorStatusInvalid, and a character that does not fit
// whole is left out with all that follows it. Returns false when not all of
// `text` fitted.
bool qor_status_append_text(char *line, size_t size, const char *text);

// Minutes from hour:minute until the entry's state by its intervals first
// differs from the state it last sent: 1 to 1440, or 0 when it never does.
int qor_status_minutes_to_change(const qor_entry *entry, int hour, int minute);

#endif  // QORTIMER_QOR_STATUS_H_
