// Character classes of Unicode 15.0.
//
//   char_class                plain class: letter, number, whitespace, other
//   cased_class               cased class: mark, upper/title, lower, other letter, ...
//   is_letter, is_mark, is_number, is_punct_or_symbol, is_whitespace
// The tables behind them are generated (see unicode_tables.cc and its generator).
#pragma once

#include <cstdint>

namespace quorvane {

enum class PlainClass : uint8_t { kLetter, kNumber, kSpace, kOther };
enum class CasedClass : uint8_t { kMark, kUpper, kLower, kOtherLetter, kNumber, kSpace, kOther };

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
