// Message hash: XOR of table entries indexed by each character mixed with
// its position.
#include "qorhash.h"

#include <cctype>
#include <cstdio>
#include <cstring>

static bool is_c_space(char c) { return isspace(static_cast<unsigned char>(c)) != 0; }
static bool is_hex_digit(char c) { return isxdigit(static_cast<unsigned char>(c)) != 0; }

int qorhash(char *text, char *out, const uint32_t *table) {
  if (text == nullptr || out == nullptr) return 1;
  if (table == nullptr) table = default_hash_table;
  out[0] = '\0';

  char *start = text;
  while (*start != '\0' && is_c_space(*start)) start++;
  if (*start == '\0') return 2;
  char *end = start + strlen(start);
  while (end > start && is_c_space(end[-1])) end--;
  *end = '\0';

  // k starts at the first character's value; only k mod 256 matters, so
  // unsigned wrap-around is harmless.
  unsigned k = static_cast<unsigned char>(*start);
  uint32_t h = 0;
  for (const char *p = start; p < end; p++, k++) {
    const unsigned c = static_cast<unsigned char>(*p);
    h ^= table[(c + 17 * k) % 256];
  }
  snprintf(out, kQorhashDigits + 1, "%04x", static_cast<unsigned>(h & 0xffff));
  return 0;
}

int qorhash_append(char *text, int size) {
  if (text == nullptr || size <= kQorhashDigits) return 1;
  if (strlen(text) + kQorhashDigits + 1 > static_cast<size_t>(size)) return 2;
  char hash[kQorhashDigits + 1];
  const int rc = qorhash(text, hash, nullptr);
  if (rc != 0) return 10 + rc;
  strcat(text, hash);
  return 0;
}

int qorhash_test(char *text) {
  if (text == nullptr) return 1;
  const size_t length = strlen(text);
  if (length <= kQorhashDigits) return 2;

  size_t last = length - 1;
  while (last > 0 && !is_hex_digit(text[last])) last--;
  if (last < kQorhashDigits) return 3;  // something must precede the hash

  char received[kQorhashDigits + 1];
  char *first = text + last - (kQorhashDigits - 1);
  bool all_hex = true;
  for (int i = 0; i < kQorhashDigits; i++) {
    received[i] = first[i];
    all_hex = all_hex && is_hex_digit(first[i]);
  }
  received[kQorhashDigits] = '\0';
  *first = '\0';
  if (!all_hex) return 4;

  char computed[kQorhashDigits + 1];
  const int rc = qorhash(text, computed, nullptr);
  if (rc != 0) return 10 + rc;
  return strcmp(computed, received) == 0 ? 0 : 5;
}
