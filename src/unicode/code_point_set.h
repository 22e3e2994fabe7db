// Sets of code points as sorted, disjoint, non-adjacent inclusive ranges, with the
// set algebra that pattern classes need (union, intersection, complement).
// Built when a pattern is translated; nothing here runs while text is encoded.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "unicode/unicode_tables.h"

namespace quorvane {

inline constexpr uint32_t kMaxCodePoint = 0x10FFFF;

class CodePointSet {
 public:
  using Range = unicode_tables::CodeRange;

  CodePointSet() = default;
  static CodePointSet of(uint32_t first, uint32_t last) {
    CodePointSet s;
    s.add(first, last);
    return s;
  }
  static CodePointSet from(const Range* ranges, size_t count);

  void add(uint32_t cp) { add(cp, cp); }
  void add(uint32_t first, uint32_t last);
  void add(const CodePointSet& other);
  void intersect(const CodePointSet& other);
  void subtract(const CodePointSet& other);
  CodePointSet complement() const;  // within U+0000..U+10FFFF

  bool contains(uint32_t cp) const;
  bool empty() const { return ranges_.empty(); }
  bool operator==(const CodePointSet& other) const;
  const std::vector<Range>& ranges() const { return ranges_; }

 private:
  void normalize();
  std::vector<Range> ranges_;
};

}  // namespace quorvane
