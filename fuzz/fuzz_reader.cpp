// The whole timer-file reader on arbitrary bytes: it must read everything
// without a fault and leave each pair once, its intervals in order, as
// the reader of an edited file does.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <set>
#include <string>
#include <utility>

#include "qortimer.h"

static void check(bool ok, const char *what) {
  if (!ok) {
    fprintf(stderr, "check failed: %s\n", what);
    abort();
  }
}

static long long key(const qor_timer *t) {
  return static_cast<long long>(t->on_hour) * 100 + t->on_minute;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  static qor_context qor;
  memset(&qor, 0, sizeof qor);
  strcpy(qor.infile, "fuzz.txt");
  qor.verbose = size > 0 && (data[0] & 1);  // run the listing on half the inputs
  // fmemopen() refuses an empty buffer; one byte past the data is never read.
  char *copy = static_cast<char *>(malloc(size + 1));
  if (size) memcpy(copy, data, size);
  copy[size] = '\0';
  qor.timer_stream = fmemopen(copy, size ? size : 1, "r");
  check(qor.timer_stream != nullptr, "fmemopen");
  if (size == 0) fgetc(qor.timer_stream);  // reach the end of the one byte

  const bool failed = qor_read_timers(&qor);

  // The reader of an edited file finds the same pairs, and a bad line
  // where the start-up reader does.
  rewind(qor.timer_stream);
  qor_entry *edited = nullptr;
  const long bad = qor_read_edited(qor.timer_stream, qor.infile, &edited);
  check((bad > 0) == failed, "both readers find a bad line");
  const qor_entry *other = edited;
  for (const qor_entry *e = qor.entries; e != nullptr; e = e->next, other = other->next)
    check(other != nullptr && strcmp(e->device, other->device) == 0 &&
              strcmp(e->channel, other->channel) == 0, "both readers find the same pairs");
  check(other == nullptr, "both readers find the same pairs");
  qor_free_entries(edited);

  std::set<std::pair<std::string, std::string>> pairs;
  for (const qor_entry *e = qor.entries; e != nullptr; e = e->next) {
    check(strlen(e->device) <= 255 && strlen(e->channel) <= 255, "names cut");
    check(pairs.emplace(e->device, e->channel).second, "each pair once");
    check(e->state == -1 && e->last_change == 0 && e->last_sent == 0, "fresh entry");
    if (!failed) check(e->device[0] && e->channel[0], "good entries have names");
    check(e->timers != nullptr, "an entry has an interval");
    for (const qor_timer *t = e->timers; t != nullptr; t = t->next) {
      if (t->next) check(key(t) <= key(t->next), "intervals sorted");
      if (!failed) check(key(t) <= 2400 && t->on_minute <= 59, "good intervals are in range");
    }
  }
  qor_free_entries(qor.entries);
  fclose(qor.timer_stream);
  free(copy);
  return 0;
}
