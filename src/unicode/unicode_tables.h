// Unicode 15.0 property tables (generated into unicode_tables.cc, their sizes into
// unicode_table_counts.h).
//
// Each property is a bitmap over U+0000..U+FFFF (bit cp & 63 of word cp >> 6) and a
// sorted list of disjoint inclusive ranges over U+10000..U+10FFFF.
#pragma once

#include <cstddef>
#include <cstdint>

#include "unicode/unicode_table_counts.h"

namespace quorvane::unicode_tables {

struct CodeRange {
  uint32_t first;
  uint32_t last;
};

inline constexpr size_t kBmpWords = 0x10000 / 64;

extern const uint64_t kLetterBits[kBmpWords];
extern const uint64_t kNumberBits[kBmpWords];
extern const uint64_t kMarkBits[kBmpWords];
extern const uint64_t kUpperOrTitleBits[kBmpWords];
extern const uint64_t kLowerBits[kBmpWords];
extern const uint64_t kPunctOrSymbolBits[kBmpWords];

extern const CodeRange kLetterRanges[kLetterRangeCount];
extern const CodeRange kNumberRanges[kNumberRangeCount];
extern const CodeRange kMarkRanges[kMarkRangeCount];
extern const CodeRange kUpperOrTitleRanges[kUpperOrTitleRangeCount];
extern const CodeRange kLowerRanges[kLowerRangeCount];
extern const CodeRange kPunctOrSymbolRanges[kPunctOrSymbolRangeCount];

inline bool bmp_bit(const uint64_t* bits, uint32_t cp) { return (bits[cp >> 6] >> (cp & 63)) & 1; }

// Binary search over sorted disjoint inclusive ranges.
inline bool in_ranges(const CodeRange* ranges, size_t count, uint32_t cp) {
  size_t lo = 0, hi = count;
  while (lo < hi) {
    size_t mid = (lo + hi) / 2;
    if (cp < ranges[mid].first) {
      hi = mid;
    } else if (cp > ranges[mid].last) {
      lo = mid + 1;
    } else {
      return true;
    }
  }
  return false;
}

// A property of a code point: the bitmap below U+10000, the ranges above.
template <size_t N>
inline bool has_property(const uint64_t* bits, const CodeRange (&ranges)[N], uint32_t cp) {
  return cp < 0x10000 ? bmp_bit(bits, cp) : in_ranges(ranges, N, cp);
}

}  // namespace quorvane::unicode_tables
