#include "unicode/utf8.h"

#include <gtest/gtest.h>

#include <bit>
#include <string>
#include <vector>

namespace quorvane {
namespace {

// The shortest form of a code point, written out bit by bit.
std::string Encode(uint32_t cp) {
  const int len = cp < 0x80 ? 1 : cp < 0x800 ? 2 : cp < 0x10000 ? 3 : 4;
  if (len == 1) return std::string(1, static_cast<char>(cp));
  std::string s(len, '\0');
  for (int k = len - 1; k > 0; --k, cp >>= 6) s[k] = static_cast<char>(0x80 | (cp & 0x3F));
  s[0] = static_cast<char>((0xF00 >> len) | cp);
  return s;
}

// Strict: the first character is well-formed when it is the shortest form of a
// scalar value. Take the value the lead's bit pattern promises and write it back.
uint32_t WellFormedLength(const std::string& s) {
  const auto lead = static_cast<uint8_t>(s[0]);
  const int len = lead < 0x80 ? 1 : std::countl_one(lead);
  if (len < 2 || len > 4 || static_cast<size_t>(len) > s.size()) return lead < 0x80;
  uint32_t cp = lead & (0x7F >> len);
  for (int k = 1; k < len; ++k) cp = (cp << 6) | (static_cast<uint8_t>(s[k]) & 0x3F);
  const bool scalar = cp <= 0x10FFFF && (cp < 0xD800 || cp > 0xDFFF);
  return scalar && Encode(cp) == s.substr(0, len) ? len : 0;
}

// Lenient: a lead of 2, 3 or 4 bytes with room for them takes them unchecked;
// anything else is one byte of its own value.
DecodedChar OrByte(const std::string& s) {
  const auto lead = static_cast<uint8_t>(s[0]);
  const int len = std::countl_one(lead);
  if (len < 2 || len > 4 || static_cast<size_t>(len) > s.size()) return {lead, 1};
  uint32_t cp = lead & (0x7F >> len);
  for (int k = 1; k < len; ++k) cp = (cp << 6) | (static_cast<uint8_t>(s[k]) & 0x3F);
  return {cp, static_cast<uint32_t>(len)};
}

bool WellFormedText(const std::string& s) {
  for (size_t i = 0; i < s.size();) {
    const uint32_t len = WellFormedLength(s.substr(i));
    if (len == 0) return false;
    i += len;
  }
  return true;
}

// Every lead with every second byte (which alone tells overlongs, surrogates and
// values above U+10FFFF), then third and fourth bytes from each class (ASCII, both
// ends of the continuation range, a lead), cut at every length.
TEST(Utf8, SweepOfSequencesAgainstTheDefinitions) {
  const std::vector<uint8_t> tails = {0x41, 0x80, 0xBF, 0xC2};
  size_t well_formed = 0;
  std::string s;
  for (int b0 = 0; b0 < 256; ++b0) {
    for (int b1 = 0; b1 < 256; ++b1) {
      for (const uint8_t b2 : tails) {
        for (const uint8_t b3 : tails) {
          const char full[4] = {static_cast<char>(b0), static_cast<char>(b1), static_cast<char>(b2),
                                static_cast<char>(b3)};
          for (size_t n = 1; n <= 4; ++n) {
            s.assign(full, n);
            const auto* t = reinterpret_cast<const uint8_t*>(s.data());
            const uint32_t len = WellFormedLength(s);
            const DecodedChar strict = utf8::decode_well_formed(t, n, 0);
            ASSERT_EQ(strict.len, len) << testing::PrintToString(s);
            const DecodedChar lenient = utf8::decode_or_byte(t, n, 0);
            const DecodedChar want = OrByte(s);
            ASSERT_EQ(lenient.len, want.len) << testing::PrintToString(s);
            ASSERT_EQ(lenient.cp, want.cp) << testing::PrintToString(s);
            if (len != 0) {
              ASSERT_EQ(strict.cp, lenient.cp) << testing::PrintToString(s);
              ++well_formed;
            }
            // Whole texts, the sequence at each place of an eight-byte word and of
            // both halves of a 32-byte block of the ASCII skip.
            const bool whole = WellFormedText(s);
            const size_t at = b1 % 8 + (b1 & 8 ? 16 : 0);
            ASSERT_EQ(utf8::is_well_formed(std::string(b1 % 8, 'a') + s + "zzzzzzzz"), whole)
                << testing::PrintToString(s);
            ASSERT_EQ(utf8::is_well_formed(std::string(at, 'a') + s + std::string(32, 'z')), whole)
                << testing::PrintToString(s);
          }
        }
      }
    }
  }
  EXPECT_GT(well_formed, 100000u);  // the sweep reaches every sequence length
}

TEST(Utf8, EveryCodePointRoundTrips) {
  for (uint32_t cp = 0; cp < 0x110000; ++cp) {
    std::string s;
    utf8::append(s, cp);
    ASSERT_EQ(s, Encode(cp)) << cp;
    const DecodedChar lenient = utf8::decode_or_byte(s, 0);
    ASSERT_EQ(lenient.cp, cp);
    ASSERT_EQ(lenient.len, s.size());
    const bool surrogate = cp >= 0xD800 && cp <= 0xDFFF;
    ASSERT_EQ(utf8::decode_well_formed(s, 0).len, surrogate ? 0 : s.size()) << cp;
    ASSERT_EQ(utf8::is_well_formed(s), !surrogate) << cp;
    for (size_t k = 1; k < s.size(); ++k) ASSERT_TRUE(utf8::is_continuation(s[k]));
  }
}

}  // namespace
}  // namespace quorvane
