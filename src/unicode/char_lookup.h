// Inline character lookups for the hot scanners.
//
// `kByteFlags` classifies every byte value in one load (ASCII by its Unicode class,
// bytes >= 0x80 only as kNonAscii, so that an ASCII run loop stops on them);
// `kAsciiPlain` and `kAsciiCased` are the 128-entry class tables; `uc::*` answer
// the same questions for any code point: ASCII by table, U+0080..U+FFFF by one
// bit test, higher code points by binary search over the generated range lists.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

#include "unicode/char_class.h"
#include "unicode/unicode_tables.h"

namespace quorvane {

namespace ascii {

enum ByteFlag : uint8_t {
  kLetter = 1,
  kUpper = 2,
  kLower = 4,
  kDigit = 8,
  kSpace = 16,  // 0x09..0x0D and 0x20
  kOther = 32,  // plain class O
  kCrLf = 64,
  kNonAscii = 128,
};

inline constexpr std::array<uint8_t, 256> kByteFlags = [] {
  std::array<uint8_t, 256> t{};
  for (int b = 0; b < 256; ++b) {
    uint8_t f;
    if (b >= 0x80) {
      f = kNonAscii;
    } else if (b >= 'A' && b <= 'Z') {
      f = kLetter | kUpper;
    } else if (b >= 'a' && b <= 'z') {
      f = kLetter | kLower;
    } else if (b >= '0' && b <= '9') {
      f = kDigit;
    } else if ((b >= 0x09 && b <= 0x0D) || b == 0x20) {
      f = kSpace | ((b == '\r' || b == '\n') ? kCrLf : 0);
    } else {
      f = kOther;
    }
    t[b] = f;
  }
  return t;
}();

inline constexpr std::array<PlainClass, 128> kAsciiPlain = [] {
  std::array<PlainClass, 128> t{};
  for (int b = 0; b < 128; ++b) {
    uint8_t f = kByteFlags[b];
    t[b] = (f & kLetter)  ? PlainClass::kLetter
           : (f & kDigit) ? PlainClass::kNumber
           : (f & kSpace) ? PlainClass::kSpace
                          : PlainClass::kOther;
  }
  return t;
}();

inline constexpr std::array<CasedClass, 128> kAsciiCased = [] {
  std::array<CasedClass, 128> t{};
  for (int b = 0; b < 128; ++b) {
    uint8_t f = kByteFlags[b];
    t[b] = (f & kUpper)   ? CasedClass::kUpper
           : (f & kLower) ? CasedClass::kLower
           : (f & kDigit) ? CasedClass::kNumber
           : (f & kSpace) ? CasedClass::kSpace
                          : CasedClass::kOther;
  }
  return t;
}();

}  // namespace ascii

namespace uc {

namespace ut = unicode_tables;

// Non-ASCII lookups: cp >= 0x80 (an ASCII cp here would read the bitmap, which
// also holds the right answer for it).
inline bool letter_hi(uint32_t cp) {
  return ut::has_property(ut::kLetterBits, ut::kLetterRanges, cp);
}
inline bool number_hi(uint32_t cp) {
  return ut::has_property(ut::kNumberBits, ut::kNumberRanges, cp);
}
inline bool mark_hi(uint32_t cp) { return ut::has_property(ut::kMarkBits, ut::kMarkRanges, cp); }
inline bool upper_or_title_hi(uint32_t cp) {
  return ut::has_property(ut::kUpperOrTitleBits, ut::kUpperOrTitleRanges, cp);
}
inline bool lower_hi(uint32_t cp) { return ut::has_property(ut::kLowerBits, ut::kLowerRanges, cp); }
inline bool punct_or_symbol_hi(uint32_t cp) {
  return ut::has_property(ut::kPunctOrSymbolBits, ut::kPunctOrSymbolRanges, cp);
}
inline bool whitespace_hi(uint32_t cp) {
  if (cp < 0x1680) return cp == 0x85 || cp == 0xA0;
  if (cp >= 0x2000 && cp <= 0x200A) return true;
  return cp == 0x1680 || cp == 0x2028 || cp == 0x2029 || cp == 0x202F || cp == 0x205F ||
         cp == 0x3000;
}

inline bool letter(uint32_t cp) {
  return cp < 0x80 ? (ascii::kByteFlags[cp] & ascii::kLetter) != 0 : letter_hi(cp);
}
inline bool number(uint32_t cp) {
  return cp < 0x80 ? (ascii::kByteFlags[cp] & ascii::kDigit) != 0 : number_hi(cp);
}
inline bool mark(uint32_t cp) { return cp >= 0x80 && mark_hi(cp); }
inline bool upper_or_title(uint32_t cp) {
  return cp < 0x80 ? (ascii::kByteFlags[cp] & ascii::kUpper) != 0 : upper_or_title_hi(cp);
}
inline bool lower(uint32_t cp) {
  return cp < 0x80 ? (ascii::kByteFlags[cp] & ascii::kLower) != 0 : lower_hi(cp);
}
inline bool punct_or_symbol(uint32_t cp) {
  return cp < 0x80 ? ut::bmp_bit(ut::kPunctOrSymbolBits, cp) : punct_or_symbol_hi(cp);
}
inline bool whitespace(uint32_t cp) {
  return cp < 0x80 ? (ascii::kByteFlags[cp] & ascii::kSpace) != 0 : whitespace_hi(cp);
}

inline PlainClass plain_class_hi(uint32_t cp) {
  if (letter_hi(cp)) return PlainClass::kLetter;
  if (number_hi(cp)) return PlainClass::kNumber;
  if (whitespace_hi(cp)) return PlainClass::kSpace;
  return PlainClass::kOther;
}
inline PlainClass plain_class(uint32_t cp) {
  return cp < 0x80 ? ascii::kAsciiPlain[cp] : plain_class_hi(cp);
}

inline CasedClass cased_class_hi(uint32_t cp) {
  if (mark_hi(cp)) return CasedClass::kMark;
  if (letter_hi(cp)) {
    if (upper_or_title_hi(cp)) return CasedClass::kUpper;
    if (lower_hi(cp)) return CasedClass::kLower;
    return CasedClass::kOtherLetter;
  }
  if (number_hi(cp)) return CasedClass::kNumber;
  if (whitespace_hi(cp)) return CasedClass::kSpace;
  return CasedClass::kOther;
}
inline CasedClass cased_class(uint32_t cp) {
  return cp < 0x80 ? ascii::kAsciiCased[cp] : cased_class_hi(cp);
}

}  // namespace uc
}  // namespace quorvane
