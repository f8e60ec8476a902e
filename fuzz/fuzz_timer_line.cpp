// One timer line, as the reader gets it from fgets(): parsing, the field
// and minute tests, and the cutting of names, checked against sscanf() with
// the pattern "%s %s %u %u" wherever that is exact.
#include <cctype>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "qortimer.h"

static void check(bool ok, const char *what) {
  if (!ok) {
    fprintf(stderr, "check failed: %s\n", what);
    abort();
  }
}

// True when some run of digits has 10 or more: sscanf() on a 64-bit libc
// keeps the low 32 bits of such a number, where the reader saturates.
static bool has_long_number(const char *s) {
  int run = 0;
  for (; *s; s++) {
    run = isdigit(static_cast<unsigned char>(*s)) ? run + 1 : 0;
    if (run >= 10) return true;
  }
  return false;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  // A read gives at most 2046 characters and a NUL, possibly NULs within.
  const size_t n = size < kQorLineRead - 1 ? size : kQorLineRead - 1;
  char *line = static_cast<char *>(malloc(n + 1));  // exact size: overreads show
  memcpy(line, data, n);
  line[n] = '\0';

  char device[kQorNameSize], channel[kQorNameSize];
  memset(device, 'x', sizeof device);
  memset(channel, 'x', sizeof channel);
  qor_timer t{};
  t.next = &t;
  const unsigned faults = qor_parse_line(line, device, channel, &t);

  check(faults <= (kQorFieldFault | kQorMinuteFault), "fault bits");
  check(t.next == &t, "next left alone");
  check(memchr(device, '\0', sizeof device) && memchr(channel, '\0', sizeof channel),
        "names end within 256 bytes");
  for (const char *name : {device, channel})
    for (const char *p = name; *p; p++)
      check(!isspace(static_cast<unsigned char>(*p)), "no white space in names");
  check(t.on_minute >= 0 && t.on_minute <= 99 && t.off_minute >= 0 && t.off_minute <= 99,
        "minutes are the last two digits");
  check(t.on_hour >= 0 && t.off_hour >= 0, "hours are not negative");
  check(((faults & kQorMinuteFault) != 0) == (t.on_minute > 59 || t.off_minute > 59),
        "minute test");
  const long long on = static_cast<long long>(t.on_hour) * 100 + t.on_minute;
  const long long off = static_cast<long long>(t.off_hour) * 100 + t.off_minute;
  if (faults == 0)
    check(device[0] && channel[0] && on <= 2400 && off <= 2400, "a good line is good");

  // The reference: sscanf() with names as long as the line.
  static char ref_device[kQorTextSize], ref_channel[kQorTextSize];
  ref_device[0] = ref_channel[0] = '\0';
  unsigned ref_on = kQorUnsetTime, ref_off = kQorUnsetTime;
  sscanf(line, "%2047s %2047s %u %u", ref_device, ref_channel, &ref_on, &ref_off);
  check(strncmp(device, ref_device, kQorNameSize - 1) == 0 && strlen(device) <= 255,
        "device is the first word cut to 255");
  check(strncmp(channel, ref_channel, kQorNameSize - 1) == 0 && strlen(channel) <= 255,
        "channel is the second word cut to 255");
  const bool ref_field_fault =
      !ref_device[0] || !ref_channel[0] || ref_on > kQorMaxTime || ref_off > kQorMaxTime;
  if (!has_long_number(line)) {
    check(on == ref_on && off == ref_off, "times as sscanf reads them");
    check(((faults & kQorFieldFault) != 0) == ref_field_fault, "field test");
  }
  free(line);
  return 0;
}
