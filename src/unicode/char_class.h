// Character classes of Unicode 15.0 and UTF-8 reading for the scanners.
//
//   utf8_len_at / decode_at   read one character straight from the bytes
//   char_class                plain class: letter, number, whitespace, other
//   cased_class               cased class: mark, upper/title, lower, other letter, ...
//   is_letter, is_mark, is_number, is_punct_or_symbol, is_whitespace
// The tables behind them are generated (see unicode_tables.cc and its generator).
#pragma once

#include <cstddef>
#include <cstdint>

namespace quorvane {

enum class PlainClass : uint8_t { kLetter, kNumber, kSpace, kOther };
enum class CasedClass : uint8_t { kMark, kUpper, kLower, kOtherLetter, kNumber, kSpace, kOther };

struct DecodedChar {
  uint32_t cp;
  uint32_t len;  // 1..4 bytes
};

// Reads the character at `pos` (< length). A byte that does not start a complete
// UTF-8 sequence inside the text counts as a one-byte character of its own value.
// Out of range (pos >= length) gives {0, 0}: no character.
DecodedChar decode_at(const uint8_t* text, size_t length, size_t pos);
inline uint32_t utf8_len_at(const uint8_t* text, size_t length, size_t pos) {
  return decode_at(text, length, pos).len;
}

bool is_letter(uint32_t cp);
bool is_mark(uint32_t cp);
bool is_number(uint32_t cp);
bool is_upper_or_title(uint32_t cp);
bool is_lower(uint32_t cp);
bool is_punct_or_symbol(uint32_t cp);
bool is_whitespace(uint32_t cp);  // the 25 White_Space code points

PlainClass char_class(uint32_t cp);
CasedClass cased_class(uint32_t cp);

}  // namespace quorvane
