// Reading a number that a setting or an option gives as text: decimal
// digits only, at least one, no sign, space or other character, and no
// greater than a bound. Every number the daemon takes from its
// environment or command line is read this way, so that "5m", "-1" or
// " 10" never pass for a number, and no value can overflow on the way.
#ifndef QORTIMER_QOR_DECIMAL_H_
#define QORTIMER_QOR_DECIMAL_H_

#include <cstdint>

// True with *value set when `text` is such a number from 0 to `max`
// (max >= 0); false, leaving *value alone, for anything else, null
// included.
inline bool qor_parse_decimal(const char *text, int64_t max, int64_t *value) {
  if (text == nullptr || *text == '\0') return false;
  int64_t v = 0;
  for (const char *p = text; *p != '\0'; p++) {
    if (*p < '0' || *p > '9') return false;
    const int digit = *p - '0';
    if (v > max / 10 || v * 10 > max - digit) return false;
    v = v * 10 + digit;
  }
  *value = v;
  return true;
}

#endif  // QORTIMER_QOR_DECIMAL_H_
