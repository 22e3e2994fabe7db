// Unicode 15.0 Grapheme_Extend (generated into grapheme_extend_table.cc): the
// characters that join the one before them when shown.
#pragma once

#include <cstddef>

#include "unicode/unicode_tables.h"

namespace quorvane::unicode_tables {

extern const CodeRange kGraphemeExtendRanges[];
extern const size_t kGraphemeExtendRangeCount;

inline bool is_grapheme_extend(uint32_t cp) {
  return in_ranges(kGraphemeExtendRanges, kGraphemeExtendRangeCount, cp);
}

}  // namespace quorvane::unicode_tables
