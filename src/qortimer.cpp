// The timer daemon: start-up, the timer file and schedule store, schedule
// evaluation, the polling loop with its resend policy, and the command
// datagram with its log record.
#include "qortimer.h"

#include <algorithm>
#include <cctype>
#include <cstdarg>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <new>
#include <string>
#include <unordered_map>

#include "qor_clock_wait.h"
#include "qor_decimal.h"
#include "qor_housekeeping.h"
#include "qor_idle.h"
#include "qor_signals.h"
#include "qor_socket.h"
#include "qor_wire.h"
#include "qorhash.h"

// Writes a message to the error stream and ends the process with status 1.
[[noreturn]] __attribute__((format(printf, 1, 2))) static void die(const char *fmt, ...) {
  va_list ap;
  va_start(ap, fmt);
  vfprintf(stderr, fmt, ap);
  va_end(ap);
  exit(1);
}

// Stamps are the low 32 bits of a clock, as exactly 8 lower-case
// hexadecimal digits: the text of "%08x", written directly because every
// pass of the loop writes two and snprintf() costs many times more.
static void format_stamp(char (&out)[kQorStampDigits + 1], uint32_t value) {
  static constexpr char kDigits[] = "0123456789abcdef";
  for (int i = kQorStampDigits - 1; i >= 0; i--) {
    out[i] = kDigits[value & 0xf];
    value >>= 4;
  }
  out[kQorStampDigits] = '\0';
}

static void take_clock_stamp(qor_context *qor, clock_t ticks) {
  qor->ticks = ticks;
  // Conversion to unsigned keeps the low 32 bits, -1 included (ffffffff).
  format_stamp(qor->clock_hex, static_cast<uint32_t>(static_cast<uintmax_t>(ticks)));
}

static void take_time_stamp(qor_context *qor, time_t now) {
  if (now == static_cast<time_t>(-1))
    die(" *** ERRROR: host cannot return current calendar time\n");
  qor->now = now;
  format_stamp(qor->time_hex, static_cast<uint32_t>(static_cast<uintmax_t>(now)));
}

// ---------------------------------------------------------------- start-up

// Opt-in settings from the environment. Unset, they change nothing; a bad
// one ends start-up before anything is opened, so nothing is ever sent with
// a setting the operator did not mean.
struct settings {
  bool destination_set;
  sockaddr_in destination;  // when destination_set
  bool log_sync;            // QORTIMER_LOG_SYNC=1 (qor_log.h)
};

// A setting that is 0 or 1: 1 when set to 1, 0 when unset or 0.
static int switch_setting(const char *name) {
  const char *value = getenv(name);
  if (value == nullptr || strcmp(value, "0") == 0) return 0;
  if (strcmp(value, "1") != 0) die(" *** ERROR: %s must be 0 or 1, not (%s)\n", name, value);
  return 1;
}

static settings read_environment(qor_context *qor) {
  settings s{};
  qor->idle = switch_setting("QORTIMER_IDLE");
  qor->follow = switch_setting("QORTIMER_FOLLOW");
  qor->realtime = 0;
  qor->realtime_refused = false;
  if (const char *priority = getenv("QORTIMER_REALTIME")) {
    int64_t value = 0;
    if (!qor_parse_decimal(priority, kQorRealtimeMax, &value))
      die(" *** ERROR: QORTIMER_REALTIME must be a real-time priority from 1 to %d, or 0 for"
          " none, not (%s)\n",
          kQorRealtimeMax, priority);
    qor->realtime = static_cast<int>(value);
  }
  const char *realtime = qor->realtime > 0 ? "SCHED_FIFO" : qor_idle_realtime_class();
  if (!qor->idle && realtime != nullptr)
    die(" *** ERROR: Busy mode would starve the board under real-time scheduling (%s);"
        " set QORTIMER_IDLE=1\n",
        realtime);
  if (const char *destination = getenv("QORTIMER_DESTINATION")) {
    if (!qor_parse_destination(destination, &s.destination))
      die(" *** ERROR: QORTIMER_DESTINATION must be ADDRESS[:PORT], a dotted IPv4 address"
          " and a port from 1 to 65535, not (%s)\n",
          destination);
    s.destination_set = true;
  }
  qor->clock_wait = 0;
  if (const char *wait = getenv(kQorClockWaitVariable)) {
    if (!qor_clock_wait_parse(wait, &qor->clock_wait))
      die(" *** ERROR: %s must be a whole number of seconds from 0 to %ld, not (%s)\n",
          kQorClockWaitVariable, kQorClockWaitMax, wait);
  }
  s.log_sync = switch_setting("QORTIMER_LOG_SYNC") != 0;
  return s;
}

void qor_open_timer_file(qor_context *qor) {
  qor->timer_stream = fopen(qor->infile, "r");
  if (qor->timer_stream == nullptr)
    die(" *** ERROR: Unable to open file (%s)\n", qor->infile);
}

int qor_initialize(int argc, char **argv, qor_context *qor) {
  if (argc <= 1) die(" *** ERROR: Syntax qortimer.exe TIMER_FILE (argc=%d)\n", argc);

  qor->verbose = 0;
  qor->debug = 0;
  qor->infile[0] = '\0';
  qor->infile[kQorTextSize - 1] = '\0';
  qor->entries = nullptr;
  qor->evaluated = 0;
  qor->changes = 0;

  for (int i = 1; i < argc; i++) {
    const char *arg = argv[i];
    if (arg[0] == '-') {
      switch (arg[1]) {
        case 'v': case 'V': qor->verbose = 1; break;
        case 'd': case 'D': qor->debug = 1; break;
        default: printf("Unknown option (%s)\n", arg); break;
      }
    } else {
      strncpy(qor->infile, arg, kQorTextSize - 1);
      qor->infile[kQorTextSize - 1] = '\0';
    }
  }
  if (qor->infile[0] == '\0') die(" *** SYNTAX ERROR: qortimer.exe filename [-d] [-v]\n");
  const settings environment = read_environment(qor);

  qor_open_timer_file(qor);
  if (qor->realtime > 0) {
    const int refused = qor_idle_enter_realtime(qor->realtime);
    if (refused != 0) {
      fprintf(stderr,
              " *** WARNING: Real-time scheduling refused (sched_setscheduler: %s); running in the"
              " normal class\n",
              strerror(refused));
      qor->realtime_refused = true;
    }
  }

  take_clock_stamp(qor, clock());
  take_time_stamp(qor, qor_calendar_time());
  qor_housekeeping_start(&qor->housekeeping, qor->now);

  qor_log_open(&qor->logfile, &qor->log);
  qor->log.sync = environment.log_sync;

  qor_signals_catch_stop();  // before anything is sent
  if (environment.destination_set)
    qor_init_socket_to(environment.destination);
  else
    qor_init_socket();

  if (qor->debug) {
    printf("qor->debug = (%d) qor->verbose = (%d) qor->infile = (%s)\n", qor->debug,
           qor->verbose, qor->infile);
    fflush(stdout);
  }
  return 0;
}

// ------------------------------------------------------ timer file reading

static bool is_c_space(char c) { return isspace(static_cast<unsigned char>(c)) != 0; }

static const char *skip_space(const char *p) {
  while (*p != '\0' && is_c_space(*p)) p++;
  return p;
}

// Reads a word of non-blank characters into `out` (room for the whole line,
// so nothing is cut here). Returns the position after it, or null when only
// white space was left.
static const char *scan_word(const char *p, char *out, size_t out_size) {
  p = skip_space(p);
  if (*p == '\0') return nullptr;
  size_t n = 0;
  while (*p != '\0' && !is_c_space(*p)) {
    if (n + 1 < out_size) out[n++] = *p;
    p++;
  }
  out[n] = '\0';
  return p;
}

// Reads an unsigned decimal number as a 32-bit C library does: leading
// white space and one sign allowed, a minus negating modulo 2^32, and a
// magnitude beyond 32 bits saturating at 4294967295. Returns the position
// after it, or null (value untouched) when no digit follows.
static const char *scan_unsigned32(const char *p, unsigned *value) {
  p = skip_space(p);
  bool negative = false;
  if (*p == '+' || *p == '-') {
    negative = *p == '-';
    p++;
  }
  if (!isdigit(static_cast<unsigned char>(*p))) return nullptr;
  uint64_t magnitude = 0;
  bool overflow = false;
  for (; isdigit(static_cast<unsigned char>(*p)); p++) {
    magnitude = magnitude * 10 + static_cast<unsigned>(*p - '0');
    if (magnitude > UINT32_MAX) {
      overflow = true;
      magnitude = UINT32_MAX;  // keeps the arithmetic bounded
    }
  }
  if (overflow)
    *value = UINT32_MAX;
  else
    *value = negative ? static_cast<uint32_t>(0u - static_cast<uint32_t>(magnitude))
                      : static_cast<uint32_t>(magnitude);
  return p;
}

// Parses "device channel on off" the way "%s %s %u %u" does: fields are
// taken in order until one is missing; later fields keep their defaults.
static void parse_timer_line(const char *line, char *device, char *channel,
                             size_t name_size, unsigned *on, unsigned *off) {
  const char *p = scan_word(line, device, name_size);
  if (p) p = scan_word(p, channel, name_size);
  if (p) p = scan_unsigned32(p, on);
  if (p) scan_unsigned32(p, off);
}

static bool is_skipped_line(const char *line) {
  if (line[0] == '!' || line[0] == '#') return true;
  return *skip_space(line) == '\0';
}

// Where the intervals of one pair go while reading: the entry, and the last
// interval of its list so that appending does not walk the list.
struct pair_slot {
  qor_entry *entry;
  qor_timer *last;
};

// Copies a name, cut to its first 255 characters.
static void copy_name(char (&out)[kQorNameSize], const char *name) {
  const size_t n = strnlen(name, kQorNameSize - 1);
  memcpy(out, name, n);
  out[n] = '\0';
}

unsigned qor_parse_line(const char *line, char (&device)[kQorNameSize],
                        char (&channel)[kQorNameSize], qor_timer *timer) {
  // Room for a whole line, so that a name is only cut after the field test.
  char long_device[kQorTextSize];
  char long_channel[kQorTextSize];
  long_device[0] = '\0';
  long_channel[0] = '\0';
  unsigned on = kQorUnsetTime, off = kQorUnsetTime;
  parse_timer_line(line, long_device, long_channel, sizeof long_device, &on, &off);

  unsigned faults = 0;
  if (long_device[0] == '\0' || long_channel[0] == '\0' || on > kQorMaxTime ||
      off > kQorMaxTime)
    faults |= kQorFieldFault;
  copy_name(device, long_device);
  copy_name(channel, long_channel);

  timer->on_minute = static_cast<int>(on % 100);
  timer->on_hour = static_cast<int>((on - on % 100) / 100);
  timer->off_minute = static_cast<int>(off % 100);
  timer->off_hour = static_cast<int>((off - off % 100) / 100);
  if (timer->on_minute > 59 || timer->off_minute > 59) faults |= kQorMinuteFault;
  return faults;
}

// How the reader says a bad line: at start-up as an error, once for each
// test it fails, the line end kept; in an edited file as a warning, once,
// on a line of its own.
enum class bad_line_report { startup_error, edit_warning };

static void report_bad_line(bad_line_report how, const char *name, const char *line) {
  if (how == bad_line_report::startup_error) {
    fprintf(stderr, " *** ERROR reading (%s) line (%s)\n", name, line);
    return;
  }
  const int n = static_cast<int>(strcspn(line, "\r\n"));
  fprintf(stderr, " *** WARNING reading (%s) line (%.*s)\n", name, n, line);
}

// Reads the whole stream into a new list of entries, `*entries` (null for
// none), every pair once in order of first appearance with its intervals
// sorted, saying each bad line as `how` asks. Returns the number of bad
// lines; *read_failed tells whether reading failed part-way.
static long read_entries(FILE *stream, const char *name, bad_line_report how,
                         qor_entry **entries, bool *read_failed) {
  long bad = 0;
  char line[kQorLineRead];
  char device[kQorNameSize];
  char channel[kQorNameSize];
  qor_entry *tail = nullptr;
  *entries = nullptr;
  // Finds a pair's entry in constant time, so reading stays linear in the
  // number of lines however many pairs there are.
  std::unordered_map<std::string, pair_slot> pairs;
  std::string key;  // device, NUL, channel

  while (fgets(line, sizeof line, stream) != nullptr) {
    if (is_skipped_line(line)) continue;

    qor_timer times{};
    const unsigned faults = qor_parse_line(line, device, channel, &times);
    if (faults != 0) bad++;
    const bool once = how == bad_line_report::edit_warning;
    if ((faults & kQorFieldFault) || (once && faults != 0)) report_bad_line(how, name, line);

    // Refilled in place: it allocates only when a longer key comes along.
    try {
      key.assign(device).push_back('\0');
      key.append(channel);
    } catch (const std::bad_alloc &) {
      die(" *** ERROR: Out of memory in qor_read_file() 1\n");
    }
    auto found = pairs.find(key);
    pair_slot *slot;
    if (found != pairs.end()) {
      slot = &found->second;
    } else {
      auto *e = static_cast<qor_entry *>(calloc(1, sizeof(qor_entry)));
      if (e == nullptr) die(" *** ERROR: Out of memory in qor_read_file() 1\n");
      copy_name(e->device, device);
      copy_name(e->channel, channel);
      e->timers = nullptr;
      e->last_change = 0;
      e->last_sent = 0;
      e->state = -1;
      e->next = nullptr;
      if (tail == nullptr)
        *entries = e;
      else
        tail->next = e;
      tail = e;
      try {
        slot = &pairs.emplace(key, pair_slot{e, nullptr}).first->second;
      } catch (const std::bad_alloc &) {
        die(" *** ERROR: Out of memory in qor_read_file() 1\n");
      }
    }

    auto *t = static_cast<qor_timer *>(calloc(1, sizeof(qor_timer)));
    if (t == nullptr) die(" *** ERROR: Out of memory in qor_read_file() 2\n");
    *t = times;
    t->next = nullptr;
    if ((faults & kQorMinuteFault) && !once) report_bad_line(how, name, line);
    if (slot->last == nullptr)
      slot->entry->timers = t;
    else
      slot->last->next = t;
    slot->last = t;
  }
  *read_failed = ferror(stream) != 0;
  for (qor_entry *e = *entries; e != nullptr; e = e->next) e->timers = qor_sort_qor_timer(e->timers);
  return bad;
}

bool qor_read_timers(qor_context *qor) {
  qor->evaluated = 0;  // new entries: no pass has looked at them
  bool read_failed = false;
  const long bad = read_entries(qor->timer_stream, qor->infile, bad_line_report::startup_error,
                                &qor->entries, &read_failed);
  // A read error would otherwise look like the end of a file, leaving the
  // daemon running with half a schedule, or none, and no word about it.
  if (read_failed) die(" *** ERROR: Unable to read file (%s)\n", qor->infile);

  if (qor->verbose) {
    for (const qor_entry *e = qor->entries; e != nullptr; e = e->next)
      for (const qor_timer *t = e->timers; t != nullptr; t = t->next)
        printf("%s %s %02d:%02d %02d:%02d\n", e->device, e->channel, t->on_hour,
               t->on_minute, t->off_hour, t->off_minute);
  }
  return bad > 0;
}

long qor_read_edited(FILE *stream, const char *name, qor_entry **entries) {
  bool read_failed = false;
  const long bad = read_entries(stream, name, bad_line_report::edit_warning, entries, &read_failed);
  return read_failed ? -1 : bad;
}

void qor_free_entries(qor_entry *entries) {
  while (entries != nullptr) {
    for (qor_timer *t = entries->timers; t != nullptr;) {
      qor_timer *next = t->next;
      free(t);
      t = next;
    }
    qor_entry *next = entries->next;
    free(entries);
    entries = next;
  }
}

void qor_read_file(qor_context *qor) {
  if (qor_read_timers(qor)) exit(1);
}

// The sort key, wide enough for the hours of a bad line (up to 42949672).
static long long start_key(const qor_timer *t) {
  return static_cast<long long>(t->on_hour) * 100 + t->on_minute;
}

// A stable merge sort of the list by start time. It yields exactly the
// order of a stable selection sort, in O(n log n) rather than O(n^2), so a
// pair with very many intervals cannot stall start-up.
qor_timer *qor_sort_qor_timer(qor_timer *head) {
  if (head == nullptr || head->next == nullptr) return head;
  // Split after the middle node.
  qor_timer *slow = head;
  for (qor_timer *fast = head->next; fast != nullptr && fast->next != nullptr;
       fast = fast->next->next)
    slow = slow->next;
  qor_timer *second = slow->next;
  slow->next = nullptr;
  qor_timer *a = qor_sort_qor_timer(head);
  qor_timer *b = qor_sort_qor_timer(second);

  qor_timer result_head{};
  qor_timer *tail = &result_head;
  while (a != nullptr && b != nullptr) {
    // Take from the first half on equal keys: that keeps the file order.
    if (start_key(b) < start_key(a)) {
      tail->next = b;
      b = b->next;
    } else {
      tail->next = a;
      a = a->next;
    }
    tail = tail->next;
  }
  tail->next = a != nullptr ? a : b;
  return result_head.next;
}

// ------------------------------------------------------- schedule evaluation

int qor_in_range(int hour, int minute, const qor_timer *timer) {
  // Wide arithmetic: no hour a caller passes can overflow.
  const long long now = static_cast<long long>(hour) * 100 + minute;
  const long long start = static_cast<long long>(timer->on_hour) * 100 + timer->on_minute;
  const long long end = static_cast<long long>(timer->off_hour) * 100 + timer->off_minute;
  if (end > start) return start < now && now < end;
  return now > start || now < end;
}

int qor_is_on(int hour, int minute, const qor_timer *timers) {
  for (const qor_timer *t = timers; t != nullptr; t = t->next)
    if (qor_in_range(hour, minute, t)) return 1;
  return 0;
}

// ------------------------------------------------ command datagram and log

// Formats into a text buffer, cutting what does not fit. The longest
// command, kQorMaxCommand characters, is far below its size.
__attribute__((format(printf, 2, 3))) static void format_text(char (&out)[kQorTextSize],
                                                               const char *fmt, ...) {
  va_list ap;
  va_start(ap, fmt);
  vsnprintf(out, sizeof out, fmt, ap);
  va_end(ap);
}

int qor_build_command(const qor_entry *entry, const char *channel, const char *state,
                      qor_context *qor) {
  char target[kQorTextSize];
  char stamps[kQorTextSize];
  format_text(target, "%s%c%s%c%s%c%s", kQorSenderTag, kQorSeparator, entry->device,
              kQorSeparator, channel, kQorSeparator, state);
  format_text(stamps, "%s%c%s%c", qor->time_hex, kQorSeparator, qor->clock_hex, kQorSeparator);
  format_text(qor->command, "%s%s%s%c%s", kQorCommandWord, kQorCommandVerb, target,
              kQorStampsBlank, stamps);

  const int rc = qorhash_append(qor->command, kQorTextSize - 1);
  if (rc != 0) die(" *** ERROR: error in qorhash_append (%d)\n", rc);
  return static_cast<int>(strlen(qor->command));
}

// A command's log record is the command, " (%d %d)\n" and a ctime line:
// room for it with any command, and with a command of the pass, whose
// names are an entry's own.
constexpr size_t kRecordSize = kQorTextSize + 64;
constexpr size_t kPassRecordSize = kQorMaxCommand + 64;

// qor_send_command() but for the log: builds, sends and echoes the command
// and leaves its log record in `record` (cut to `room`). Returns the
// record's length.
static size_t send_and_echo(qor_entry *entry, const char *channel, const char *state,
                            qor_context *qor, char *record, size_t room) {
  const int length = qor_build_command(entry, channel, state, qor);

  if (qor->debug) {
    printf("%s (buflen=%d)\n", qor->command, length);
    fflush(stdout);
  }
  const int sent = qor_socket_sendbuf(qor->command);

  // ctime_r() has no text for a year it cannot write in four digits.
  char when_buf[64];
  const char *when = ctime_r(&qor->now, when_buf);
  if (when == nullptr) when = "?\n";

  // The record, "%s (%d %d)\n%s", goes to the log and the echo alike.
  const int n = snprintf(record, room, "%s (%d %d)\n%s", qor->command, sent, length, when);
  const size_t size = std::min(static_cast<size_t>(std::max(n, 0)), room - 1);
  if (qor->verbose || qor->debug) {
    fwrite(record, 1, size, stdout);
    fflush(stdout);
  }
  return size;
}

int qor_send_command(qor_entry *entry, const char *channel, const char *state,
                     qor_context *qor) {
  char record[kRecordSize];
  qor_signals_hold_stop();
  const size_t size = send_and_echo(entry, channel, state, qor, record, sizeof record);
  qor_log_write(&qor->logfile, &qor->log, record, size);
  qor_signals_release_stop();
  return 0;
}

// ------------------------------------------------------------ polling loop

// The resend thresholds as whole seconds. Calendar times are whole seconds
// too, so comparing exact differences decides exactly as comparing their
// floating-point forms would, at a fraction of the cost of difftime().
constexpr time_t kSettlingPeriod = static_cast<time_t>(kQorSettlingPeriod);
constexpr time_t kShortRepeat = static_cast<time_t>(kQorShortRepeat);
constexpr time_t kLongRepeat = static_cast<time_t>(kQorLongRepeat);
static_assert(kSettlingPeriod == kQorSettlingPeriod && kShortRepeat == kQorShortRepeat &&
                  kLongRepeat == kQorLongRepeat,
              "resend thresholds are whole seconds");

// now - then in seconds. A difference beyond the range of time_t (only
// absurd clock readings give one) saturates at its limit, which compares
// with the thresholds as the exact difference would.
static time_t seconds_since(time_t then, time_t now) {
  time_t d;
  if (__builtin_sub_overflow(now, then, &d))
    return now > then ? std::numeric_limits<time_t>::max() : std::numeric_limits<time_t>::min();
  return d;
}

// Whether an entry whose state has not changed is due for a repeat: every
// 5 s while at most 300 s have passed since the change, then every 300 s.
static bool repeat_due(const qor_entry *e, time_t now) {
  const time_t since_sent = seconds_since(e->last_sent, now);
  if (seconds_since(e->last_change, now) <= kSettlingPeriod) return since_sent >= kShortRepeat;
  return since_sent >= kLongRepeat;
}

constexpr int kBurst = 8;  // commands a pass sends before it logs them

// Writes the `*held` records the pass has sent to the log, in order.
static void log_records(qor_context *qor, const char (*records)[kPassRecordSize],
                        const size_t *sizes, int *held) {
  for (int i = 0; i < *held; i++) qor_log_write(&qor->logfile, &qor->log, records[i], sizes[i]);
  *held = 0;
}

void qor_pass(qor_context *qor, clock_t ticks, time_t now) {
  take_clock_stamp(qor, ticks);
  take_time_stamp(qor, now);
  // A pass in the same calendar second as the last one that looked at the
  // entries has nothing to do: that pass left every entry either sent at
  // this very second or not due, and as the state depends only on the
  // minute and every threshold is whole seconds, nothing has moved since.
  // Local time is as that pass found it, too.
  if (qor->evaluated && now == qor->evaluated_now) return;

  tm local;
  if (localtime_r(&qor->now, &local) == nullptr)
    die(" *** ERROR: host cannot convert calendar time to local time\n");
  // In the minute of the last pass that looked at the entries, every entry
  // still has the state that pass found, and sent it or had sent it before.
  const bool same_minute =
      qor->evaluated && local.tm_hour == qor->hour && local.tm_min == qor->minute;
  qor->hour = local.tm_hour;
  qor->minute = local.tm_min;

  // The pass sends its burst before it logs it, kBurst commands at a time,
  // so that no log write holds back the next datagram: the first write
  // after a quiet second costs as much as several sends. A stop waits from
  // the first send until the last record is written.
  char records[kBurst][kPassRecordSize];
  size_t sizes[kBurst];
  int held = 0;
  bool sending = false;
  for (qor_entry *e = qor->entries; e != nullptr; e = e->next) {
    const int state = same_minute ? e->state : qor_is_on(qor->hour, qor->minute, e->timers);
    if (state != e->state) {
      e->last_change = qor->now;
      qor->changes++;
    } else if (!repeat_due(e, qor->now)) {
      continue;
    }
    if (!sending) qor_signals_hold_stop();
    sending = true;
    sizes[held] = send_and_echo(e, e->channel, state ? kQorStateOn : kQorStateOff, qor,
                                records[held], kPassRecordSize);
    e->state = state;
    e->last_sent = qor->now;
    if (++held == kBurst) log_records(qor, records, sizes, &held);
  }
  log_records(qor, records, sizes, &held);
  qor_log_sync(qor->logfile, &qor->log);
  if (sending) qor_signals_release_stop();
  qor->evaluated_now = now;
  qor->evaluated = 1;
}

time_t qor_calendar_time() {
  timespec ts;
  if (clock_gettime(CLOCK_REALTIME, &ts) != 0) return static_cast<time_t>(-1);
  return ts.tv_sec;
}

// Idle mode's warm-up, just before the second turns: the steps of the next
// pass up to its first send (the clocks, local time, a command built in
// `command`, which every send builds afresh), so that after a sleep the
// pass finds them in the caches. Nothing is sent, logged or kept.
static void warm_pass(void *arg) {
  qor_context *qor = static_cast<qor_context *>(arg);
  (void)clock();
  const time_t next = qor_calendar_time() + 1;
  tm local;
  localtime_r(&next, &local);
  if (qor->entries != nullptr)
    qor_build_command(qor->entries, qor->entries->channel, kQorStateOff, qor);
}

void qor_run(qor_context *qor, bool (*after_pass)(qor_context *qor)) {
  // Whatever start-up and reading printed is out before the first pass.
  fflush(stdout);
  qor_idle_state idle{};
  if (qor->idle) qor_idle_start(&idle);
  for (;;) {
    const clock_t ticks = clock();
    const time_t now = qor_calendar_time();
    qor_housekeeping_run(&qor->housekeeping, now, &qor->logfile, &qor->log);
    qor_pass(qor, ticks, now);
    if (after_pass != nullptr && after_pass(qor)) continue;
    if (qor->idle) qor_idle_wait(&idle, qor->now, qor_idle_system_clock, warm_pass, qor);
  }
}
