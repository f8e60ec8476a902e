// Message hash: a 16-bit check value over a text, written as 4 lower-case
// hexadecimal digits, computed with a 256-entry substitution table.
//
// Senders append the hash to a command; receivers holding the same table
// verify it. It guards against corrupted and stray datagrams, not against
// anybody who can send on the network and knows the table.
//
// This module depends on nothing but the C library, so a receiver can build
// it on its own.
#ifndef QORTIMER_QORHASH_H_
#define QORTIMER_QORHASH_H_

#include <cstdint>

// The built-in substitution table: 256 distinct values below 65536.
// (Table and the method that generated it: see below.)
extern const uint32_t default_hash_table[256];

// Hashes `text` into `out` (at least 5 bytes: 4 digits and NUL) with
// `table`, or with default_hash_table when `table` is null. Leading white
// space is skipped; trailing white space is cut from `text` in place.
// Returns 0 done; 1 text or out missing; 2 text empty or only white space.
int qorhash(char *text, char *out, const uint32_t *table);

// Appends the 4-digit hash of `text` (default table) to it; `size` is the
// size of its buffer. Returns 0 done; 1 text missing or size 4 or less;
// 2 no room (length + 5 > size); 10 + the result of qorhash() when it fails.
int qorhash_append(char *text, int size);

// Verifies a text that ends in a hash, possibly followed by characters that
// are not hexadecimal digits (a line end, blanks). Cuts the text in place
// before the hash. Returns 0 match; 1 text missing; 2 text of 4 characters
// or fewer; 3 no room for a hash; 4 a hash character is not a hexadecimal
// digit; 5 no match; 10 + the result of qorhash() when it fails.
int qorhash_test(char *text);

#endif  // QORTIMER_QORHASH_H_
