// The log file: opening, whole records, trouble and recovery, following the name.
#include "qor_log.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

// The NUL bytes that end the first `size` bytes of fd: what a power cut
// leaves where the file's length reached the disk before its data.
static off_t trailing_nuls(int fd, off_t size) {
  char block[4096];
  off_t nuls = 0;
  while (nuls < size) {
    const off_t n = std::min<off_t>(sizeof block, size - nuls);
    if (pread(fd, block, static_cast<size_t>(n), size - nuls - n) != n) break;
    for (off_t i = n - 1; i >= 0; i--) {
      if (block[i] != '\0') return nuls;
      nuls++;
    }
  }
  return nuls;
}

// Whether the log just opened, the file `st` describes, ends in the middle
// of a line: a record cut by a full disk, a crash or a power cut. Says
// where. The stream is write-only, so the file is read through its name,
// and only if that still names the same file.
static bool ends_mid_line(const struct stat &st) {
  if (st.st_size <= 0) return false;
  const int fd = open(kQorLogFile, O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  struct stat now;
  char last = '\n';
  off_t nuls = 0;
  if (fstat(fd, &now) == 0 && now.st_dev == st.st_dev && now.st_ino == st.st_ino &&
      pread(fd, &last, 1, st.st_size - 1) == 1 && last != '\n')
    nuls = trailing_nuls(fd, st.st_size);
  close(fd);
  if (last == '\n') return false;
  fprintf(stderr, " *** WARNING: Logfile (%s) ends mid-record at byte %lld", kQorLogFile,
          static_cast<long long>(st.st_size));
  if (nuls > 0) fprintf(stderr, ", after %lld NUL bytes", static_cast<long long>(nuls));
  fprintf(stderr, "; the next record starts on a new line\n");
  return true;
}

// Opens the log's name for appending and notes which file that is; null,
// with errno set and the state untouched, when it cannot. A file that ends
// mid-line gets its next record on a line of its own.
static FILE *open_by_name(qor_log_state *log) {
  FILE *f = fopen(kQorLogFile, "a");
  if (f == nullptr) return nullptr;
  struct stat st {};
  if (fstat(fileno(f), &st) != 0) st = {};  // inode 0: the name is not followed
  log->dev = st.st_dev;
  log->ino = st.st_ino;
  log->mid_line = ends_mid_line(st);
  return f;
}

// Opens the log's name anew in place of the stream, which ends any trouble:
// a new file starts with nothing lost in it. When it cannot, says so once,
// leaves the stream as it is and returns false.
static bool reopen(FILE **stream, qor_log_state *log) {
  FILE *f = open_by_name(log);
  if (f == nullptr) {
    if (!log->open_failing)
      fprintf(stderr, " *** WARNING: Unable to reopen logfile (%s): %s\n", kQorLogFile,
              strerror(errno));
    log->open_failing = true;
    return false;
  }
  if (*stream != nullptr) fclose(*stream);
  *stream = f;
  if (log->open_failing || log->write_failing)
    fprintf(stderr, " *** WARNING: %s logfile (%s), %ld records lost\n",
            log->opened ? "Reopened" : "Opened", kQorLogFile, log->lost);
  log->opened = true;
  log->open_failing = false;
  log->write_failing = false;
  log->lost = 0;
  return true;
}

void qor_log_open(FILE **stream, qor_log_state *log) {
  *log = qor_log_state{};
  *stream = open_by_name(log);
  if (*stream == nullptr) {
    fprintf(stderr, " *** WARNING: Unable to open logfile (%s)\n", kQorLogFile);
    log->open_failing = true;
    return;
  }
  log->opened = true;
}

// True when the stream's file has no name left: it was removed.
static bool removed(FILE *stream) {
  struct stat st;
  return fstat(fileno(stream), &st) == 0 && st.st_nlink == 0;
}

// Writes all of p[0..n) on fd, going on after a short write. Returns the
// bytes written; *error is the reason when that is less than n.
static size_t write_all(int fd, const char *p, size_t n, int *error) {
  size_t done = 0;
  while (done < n) {
    const ssize_t r = write(fd, p + done, n - done);
    if (r > 0) {
      done += static_cast<size_t>(r);
    } else if (r < 0 && errno == EINTR) {
      continue;
    } else {
      *error = r < 0 ? errno : EIO;
      break;
    }
  }
  return done;
}

void qor_log_write(FILE **stream, qor_log_state *log, const char *record, size_t length) {
  if (*stream != nullptr && log->ino != 0 && removed(*stream) && !reopen(stream, log)) {
    // Records written to the removed file would be lost unseen.
    fclose(*stream);
    *stream = nullptr;
  }
  if (*stream == nullptr) {
    log->lost++;
    return;
  }

  const int fd = fileno(*stream);
  int error = 0;
  // A fragment left by a cut write stands on a line of its own.
  if (log->mid_line && write_all(fd, "\n", 1, &error) == 1) log->mid_line = false;
  const size_t done = log->mid_line ? 0 : write_all(fd, record, length, &error);
  if (done > 0) log->unsynced = true;
  if (done == length && !log->mid_line) {
    if (log->write_failing)
      fprintf(stderr, " *** WARNING: Writing logfile (%s) again, %ld records lost\n",
              kQorLogFile, log->lost);
    log->write_failing = false;
    log->lost = 0;
    return;
  }
  if (done > 0) log->mid_line = record[done - 1] != '\n';
  log->lost++;
  if (!log->write_failing)
    fprintf(stderr, " *** ERROR: Unable to write logfile (%s): %s\n", kQorLogFile,
            strerror(error));
  log->write_failing = true;
}

void qor_log_sync(FILE *stream, qor_log_state *log) {
  if (!log->sync || !log->unsynced || stream == nullptr) return;
  log->unsynced = false;
  if (fdatasync(fileno(stream)) == 0 || log->sync_failing) return;
  fprintf(stderr, " *** WARNING: Unable to flush logfile (%s) to disk: %s\n", kQorLogFile,
          strerror(errno));
  log->sync_failing = true;
}

void qor_log_follow(FILE **stream, qor_log_state *log) {
  if (*stream == nullptr) {
    if (log->open_failing) reopen(stream, log);  // else no log was ever wanted here
    return;
  }
  if (log->ino == 0) return;
  struct stat st;
  if (stat(kQorLogFile, &st) == 0 && st.st_dev == log->dev && st.st_ino == log->ino) return;
  reopen(stream, log);  // failing, it goes on writing the file it has
}
