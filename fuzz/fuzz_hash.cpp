// qorhash_test and qorhash_append on arbitrary texts in buffers of exactly
// the size they are given, checking the result codes and that every text
// qorhash_append accepts passes qorhash_test.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "qorhash.h"

static void check(bool ok, const char *what) {
  if (!ok) {
    fprintf(stderr, "check failed: %s\n", what);
    abort();
  }
}

// A heap copy of `text` in a buffer of exactly `size` bytes (at least the
// text and its NUL), so that the address sanitizer sees any step beyond it.
static char *exact_copy(const std::string &text, size_t size) {
  char *buf = static_cast<char *>(malloc(size));
  memcpy(buf, text.c_str(), text.size() + 1);
  return buf;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  if (size < 2) return 0;
  // The first two bytes choose the size handed to qorhash_append, from
  // -128 to a little beyond the text; the rest is the text, up to its NUL.
  const int extra = static_cast<int8_t>(data[0]);
  const bool newline = data[1] & 1;
  const std::string text(reinterpret_cast<const char *>(data + 2),
                         strnlen(reinterpret_cast<const char *>(data + 2), size - 2));
  const int length = static_cast<int>(text.size());

  char *tested = exact_copy(text, text.size() + 1);
  const int rc_test = qorhash_test(tested);
  check(rc_test == 0 || (rc_test >= 2 && rc_test <= 5) || rc_test == 12, "test code");
  check(strlen(tested) <= text.size(), "test only cuts");
  free(tested);

  const int buffer_size = length + 1 + (extra > 0 ? extra : 0);
  const int given_size = extra >= 0 ? buffer_size : extra;
  char *appended = exact_copy(text, static_cast<size_t>(buffer_size));
  const int rc_append = qorhash_append(appended, given_size);
  if (given_size <= 4)
    check(rc_append == 1, "size 4 or less gives 1");
  else if (length + 5 > given_size)
    check(rc_append == 2 && text == appended, "no room gives 2 and no change");
  else if (rc_append == 12)
    check(text.find_first_not_of(" \t\n\v\f\r") == std::string::npos, "12 only when blank");
  else {
    check(rc_append == 0, "append code");
    const size_t hashed = strlen(appended);
    check(hashed <= text.size() + 4, "append adds 4 digits");
    std::string echo = std::string(appended) + (newline ? "\n" : "");
    char *received = exact_copy(echo, echo.size() + 1);
    check(qorhash_test(received) == 0, "an appended text passes the test");
    free(received);
  }
  free(appended);
  return 0;
}
