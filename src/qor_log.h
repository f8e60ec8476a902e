// The log file, qortimerlog.txt in the working directory: opening it,
// appending whole records, saying when that fails and when it works again,
// and following its name.
//
// The stream is the daemon context's `logfile`, null while there is no log
// to write; qor_log_state holds what the writer knows beyond it. Promises:
// - A record reaches the file whole and at once, in one write() on the
//   append-mode descriptor, never through the stream's buffer: nothing waits
//   to be lost when the daemon is killed. A write cut short by a full disk
//   leaves a fragment, and the next record begins on a new line after it.
//   So does a file that ends mid-line when it is opened (a crash or a power
//   cut, which may also leave a run of NUL bytes), said once:
//   " *** WARNING: Logfile (qortimerlog.txt) ends mid-record at byte N[,
//   after M NUL bytes]; the next record starts on a new line".
// - No record goes into a removed file. Before each record the descriptor's
//   link count is checked (one fstat(), and only when there is a record to
//   write); a log that has lost its name is opened again by the name first.
// - A renamed log is written until the minute's check (qor_log_follow) opens
//   the name anew; what went into the renamed file stays there.
// - A record that finds no file to go to, or whose write fails, is counted,
//   and the count is said when the log works again.
// - Each trouble is said once on the error stream when it begins and once
//   when it ends:
//     the log cannot be opened: " *** WARNING: Unable to open logfile
//       (qortimerlog.txt)" at start-up, " *** WARNING: Unable to reopen logfile
//       (qortimerlog.txt): REASON" later; when it opens, " *** WARNING: Opened
//       logfile (qortimerlog.txt), N records lost", or "Reopened" when a log
//       had been open before;
//     writing fails: " *** ERROR: Unable to write logfile (qortimerlog.txt):
//       REASON"; " *** WARNING: Writing logfile (qortimerlog.txt) again, N
//       records lost" when a record is written whole again.
// - With `sync` set (QORTIMER_LOG_SYNC=1), qor_log_sync() after a pass's
//   records makes them durable (fdatasync), so that a power cut after the
//   pass loses none of them. A failure is said once:
//   " *** WARNING: Unable to flush logfile (qortimerlog.txt) to disk: REASON".
// A stream opened by other means (log.ino 0) is written but not followed.
#ifndef QORTIMER_QOR_LOG_H_
#define QORTIMER_QOR_LOG_H_

#include <sys/types.h>

#include <cstddef>
#include <cstdio>

constexpr const char *kQorLogFile = "qortimerlog.txt";

struct qor_log_state {
  dev_t dev;           // the file the stream writes, whose name is followed;
  ino_t ino;           //   ino 0 when not followed
  bool mid_line;       // that file ends in a cut record
  bool opened;         // a log has been open since start-up
  bool open_failing;   // the name cannot be opened; said when it began
  bool write_failing;  // writes fail; said when they began
  long lost;           // records with no whole copy in a log since the trouble began
  bool sync;           // flush the records to the disk after each pass
  bool unsynced;       // records written since the last flush
  bool sync_failing;   // a failed flush has been said
};

// Start-up: opens the log for appending into *stream, or says it cannot,
// leaves *stream null and lets qor_log_follow() try again.
void qor_log_open(FILE **stream, qor_log_state *log);

// Appends `length` bytes of `record`, a whole record, to the log.
void qor_log_write(FILE **stream, qor_log_state *log, const char *record, size_t length);

// After a pass's records: flushes those written since the last call to the
// disk when `sync` is set; nothing otherwise.
void qor_log_sync(FILE *stream, qor_log_state *log);

// The minute's check: opens the log when there is none, or anew when its
// name is gone or names another file (rotated, moved or removed). If that
// fails, a renamed log that is still open is kept, and the next check tries
// again.
void qor_log_follow(FILE **stream, qor_log_state *log);

#endif  // QORTIMER_QOR_LOG_H_
