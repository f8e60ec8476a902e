#include "qorhash.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstring>
#include <iterator>
#include <set>
#include <string>
#include <tuple>
#include <vector>

namespace {

constexpr size_t kTableSize = 256;

// Hashes a copy of `text`; returns the 4 digits, or "rc=N" on failure.
std::string Hash(std::string text, const uint32_t *table) {
  char out[8] = "zzzz";
  const int rc = qorhash(&text[0], out, table);
  return rc == 0 ? std::string(out) : "rc=" + std::to_string(rc);
}

// A table with guard regions on both sides, so that an index outside
// 0..255 reads a guard value instead of running off the array.
struct GuardedTable {
  static constexpr uint32_t kGuard = 0x8000;
  uint32_t cells[3 * kTableSize];
  GuardedTable() { std::fill(std::begin(cells), std::end(cells), kGuard); }
  uint32_t *table() { return cells + kTableSize; }
};

// The entries the hash of `text` XORs an odd number of times: probes each
// entry in turn with a table that is 1 there and 0 everywhere else.
std::set<int> EntriesUsed(const std::string &text) {
  std::set<int> used;
  for (size_t probe = 0; probe < kTableSize; probe++) {
    GuardedTable t;
    std::fill(t.table(), t.table() + kTableSize, 0u);
    t.table()[probe] = 1;
    const std::string hash = Hash(text, t.table());
    EXPECT_TRUE(hash == "0000" || hash == "0001") << "probe " << probe << ": " << hash;
    if (hash == "0001") used.insert(static_cast<int>(probe));
  }
  return used;
}

TEST(DefaultHashTable, HoldsDistinctValuesBelow65536) {
  std::set<uint32_t> seen(std::begin(default_hash_table), std::end(default_hash_table));
  EXPECT_EQ(seen.size(), kTableSize);
  EXPECT_LT(*seen.rbegin(), 65536u);
}

TEST(DefaultHashTable, IsTheDocumentedXorshiftSequence) {
  uint16_t x = 1;
  for (size_t i = 0; i < kTableSize; i++) {
    x ^= static_cast<uint16_t>(x << 7);
    x ^= static_cast<uint16_t>(x >> 9);
    x ^= static_cast<uint16_t>(x << 8);
    EXPECT_EQ(default_hash_table[i], x) << "entry " << i;
  }
}

// Index of character c at position p: (c + 17 * k) mod 256, k = first + p.
struct EntriesCase { const char *text; std::set<int> entries; };
void PrintTo(const EntriesCase &c, std::ostream *os) {
  *os << testing::PrintToString(std::string(c.text));
}
class HashEntries : public ::testing::TestWithParam<EntriesCase> {};

TEST_P(HashEntries, UsesExactlyTheseTableEntries) {
  EXPECT_EQ(EntriesUsed(GetParam().text), GetParam().entries);
}

INSTANTIATE_TEST_SUITE_P(
    Texts, HashEntries,
    ::testing::Values(EntriesCase{"abc", {210, 228, 246}},   // 18*97, 18*98, 18*99
                      EntriesCase{"ba", {228, 244}},         // 18*98, 97+17*99
                      EntriesCase{" \t abc", {210, 228, 246}},  // leading space skipped
                      EntriesCase{"abc \t\r\n", {210, 228, 246}},  // trailing space cut
                      EntriesCase{"a b", {210, 162, 245}},   // inner blank counts
                      EntriesCase{"aP", {}},                 // both index 210: cancels
                      EntriesCase{"\xE9", {98}},             // 18*233 mod 256
                      EntriesCase{"\xE9\xE9", {98, 115}},    // 233+17*234 mod 256
                      EntriesCase{"\xFF\x01", {238, 1}}));   // k passes 255

TEST(Qorhash, WritesOnlyTheLow16BitsAsFourLowerCaseDigits) {
  uint32_t identity[kTableSize], wide[kTableSize], letters[kTableSize];
  for (size_t i = 0; i < kTableSize; i++) {
    identity[i] = static_cast<uint32_t>(i);
    wide[i] = 0xffff0000u | static_cast<uint32_t>(i);
    letters[i] = 0x1abcdef0u;
  }
  EXPECT_EQ(Hash("abc", identity), "00c0");  // 0xd2 ^ 0xe4 ^ 0xf6
  EXPECT_EQ(Hash("abc", wide), "00c0");
  EXPECT_EQ(Hash("a", letters), "def0");
}

TEST(Qorhash, UsesTheDefaultTableWhenGivenNone) {
  const uint32_t *t = default_hash_table;
  char expected[8];
  snprintf(expected, sizeof expected, "%04x", (t[210] ^ t[228] ^ t[246]) & 0xffffu);
  EXPECT_EQ(Hash("abc", nullptr), expected);
  EXPECT_EQ(Hash("abc", nullptr), Hash("abc", default_hash_table));
  EXPECT_EQ(Hash("aP", nullptr), "0000");
}

TEST(Qorhash, KeepsLeadingSpaceAndCutsTrailingSpaceInPlace) {
  char text[] = "  abc \t\n";
  char out[5];
  ASSERT_EQ(qorhash(text, out, nullptr), 0);
  EXPECT_STREQ(text, "  abc");
  EXPECT_EQ(out, Hash("abc", nullptr));
}

TEST(Qorhash, RejectsMissingArgumentsAndBlankTextsLeavingThemUnchanged) {
  char out[5] = "zzzz";
  char text[] = "abc";
  EXPECT_EQ(qorhash(nullptr, out, nullptr), 1);
  EXPECT_EQ(qorhash(text, nullptr, nullptr), 1);
  for (const char *blank : {"", " ", " \t\r\n"}) {
    SCOPED_TRACE(testing::PrintToString(blank));
    std::string copy = blank;
    strcpy(out, "zzzz");
    EXPECT_EQ(qorhash(&copy[0], out, nullptr), 2);
    EXPECT_STREQ(out, "");
    EXPECT_EQ(copy, blank);
  }
}

// qorhash_test: result and the text it leaves behind.
struct TestCase { const char *text; int rc; const char *left; };
void PrintTo(const TestCase &c, std::ostream *os) {
  *os << testing::PrintToString(std::string(c.text));
}
class QorhashTestCodes : public ::testing::TestWithParam<TestCase> {};

TEST_P(QorhashTestCodes, AnswersAndCuts) {
  std::string text = GetParam().text;
  EXPECT_EQ(qorhash_test(&text[0]), GetParam().rc);
  EXPECT_STREQ(text.c_str(), GetParam().left);
}

INSTANTIATE_TEST_SUITE_P(
    Texts, QorhashTestCodes,
    ::testing::Values(TestCase{"", 2, ""}, TestCase{"abcd", 2, "abcd"},
                      TestCase{"hello", 3, "hello"},    // last digit 'e' at 1
                      TestCase{"zzzzzz", 3, "zzzzzz"},  // no digit at all
                      TestCase{"1234\n", 3, "1234\n"},  // nothing before the hash
                      TestCase{"ab-x12z", 4, "ab"},     // cut before answering
                      TestCase{"  1234", 12, "  "},     // blank before the hash
                      TestCase{"\t1234\r\n", 12, "\t"}));

TEST(QorhashTest, RejectsNull) { EXPECT_EQ(qorhash_test(nullptr), 1); }

// qorhash_append then qorhash_test, with what a transport may add after.
struct RoundTrip { const char *text; const char *trimmed; };
void PrintTo(const RoundTrip &c, std::ostream *os) {
  *os << testing::PrintToString(std::string(c.text));
}
class AppendThenTest
    : public ::testing::TestWithParam<std::tuple<RoundTrip, std::string>> {};

TEST_P(AppendThenTest, Matches) {
  const RoundTrip rt = std::get<0>(GetParam());
  char buf[128];
  snprintf(buf, sizeof buf, "%s", rt.text);
  ASSERT_EQ(qorhash_append(buf, sizeof buf), 0);
  const std::string hash = Hash(rt.text, nullptr);
  EXPECT_EQ(std::string(buf), rt.trimmed + hash);
  strcat(buf, std::get<1>(GetParam()).c_str());
  EXPECT_EQ(qorhash_test(buf), 0);
  EXPECT_STREQ(buf, rt.trimmed);
}

INSTANTIATE_TEST_SUITE_P(
    Texts, AppendThenTest,
    ::testing::Combine(
        ::testing::Values(RoundTrip{"abc", "abc"}, RoundTrip{"  lead", "  lead"},
                          RoundTrip{"trail \t ", "trail"}, RoundTrip{"\xE9t\xE9", "\xE9t\xE9"},
                          RoundTrip{"pump main ON 5f3a2b10 0001e240 ",
                                    "pump main ON 5f3a2b10 0001e240"}),
        ::testing::Values(std::string(), "\n", "\r\n", "  ", " \t\r\n")));

TEST(QorhashTest, RejectsAnyChangedOrUpperCaseHashDigit) {
  std::string sent;
  for (int i = 0; i < 100 && sent.empty(); i++) {
    char buf[32];
    snprintf(buf, sizeof buf, "cmd %d", i);
    ASSERT_EQ(qorhash_append(buf, sizeof buf), 0);
    const std::string hash = std::string(buf).substr(strlen(buf) - 4);
    if (hash.find_first_of("abcdef") != std::string::npos) sent = buf;
  }
  ASSERT_FALSE(sent.empty()) << "no hash with a letter among 100 texts";
  const size_t at = sent.size() - 4;
  for (size_t i = at; i < sent.size(); i++) {
    SCOPED_TRACE(i);
    std::string changed = sent;
    changed[i] = changed[i] == '0' ? '1' : '0';
    EXPECT_EQ(qorhash_test(&changed[0]), 5);
  }
  std::string upper = sent;
  for (size_t i = at; i < upper.size(); i++) upper[i] = static_cast<char>(toupper(upper[i]));
  EXPECT_EQ(qorhash_test(&upper[0]), 5);
}

TEST(QorhashAppend, RejectsMissingTextAndTinyBuffers) {
  char text[16] = "abc";
  EXPECT_EQ(qorhash_append(nullptr, 16), 1);
  for (int size : {4, 1, 0, -1}) EXPECT_EQ(qorhash_append(text, size), 1) << size;
  EXPECT_STREQ(text, "abc");
}

TEST(QorhashAppend, NeedsRoomForFourDigitsAndTheNul) {
  constexpr int kSize = 12;
  char buf[kSize + 1];
  buf[kSize] = '#';  // guard byte just past the buffer
  strcpy(buf, "abcdefgh");  // length kSize - 4
  EXPECT_EQ(qorhash_append(buf, kSize), 2);
  EXPECT_STREQ(buf, "abcdefgh");
  strcpy(buf, "abcd  ");  // length taken before trimming
  EXPECT_EQ(qorhash_append(buf, 10), 2);
  strcpy(buf, "abcdefg");  // length kSize - 5
  EXPECT_EQ(qorhash_append(buf, kSize), 0);
  EXPECT_EQ(strlen(buf), static_cast<size_t>(kSize - 1));
  EXPECT_EQ(std::string(buf), "abcdefg" + Hash("abcdefg", nullptr));
  EXPECT_EQ(buf[kSize], '#');
}

TEST(QorhashAppend, RefusesBlankTextWith12LeavingItUnchanged) {
  char text[16] = " \t ";
  EXPECT_EQ(qorhash_append(text, sizeof text), 12);
  EXPECT_STREQ(text, " \t ");
}

}  // namespace
