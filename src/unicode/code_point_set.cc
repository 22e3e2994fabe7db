#include "unicode/code_point_set.h"

#include <algorithm>

namespace quorvane {

CodePointSet CodePointSet::from(const Range* ranges, size_t count) {
  CodePointSet s;
  s.ranges_.assign(ranges, ranges + count);
  s.normalize();
  return s;
}

void CodePointSet::add(uint32_t first, uint32_t last) {
  if (first > last) return;
  ranges_.push_back(Range{first, last});
  normalize();
}

void CodePointSet::add(const CodePointSet& other) {
  ranges_.insert(ranges_.end(), other.ranges_.begin(), other.ranges_.end());
  normalize();
}

void CodePointSet::normalize() {
  std::sort(ranges_.begin(), ranges_.end(),
            [](const Range& a, const Range& b) { return a.first < b.first; });
  std::vector<Range> merged;
  merged.reserve(ranges_.size());
  for (const Range& r : ranges_) {
    if (!merged.empty() && r.first <= merged.back().last + 1) {
      merged.back().last = std::max(merged.back().last, r.last);
    } else {
      merged.push_back(r);
    }
  }
  ranges_.swap(merged);
}

CodePointSet CodePointSet::complement() const {
  CodePointSet out;
  uint32_t next = 0;
  for (const Range& r : ranges_) {
    if (r.first > next) out.ranges_.push_back(Range{next, r.first - 1});
    next = r.last + 1;
  }
  if (next <= kMaxCodePoint) out.ranges_.push_back(Range{next, kMaxCodePoint});
  return out;
}

void CodePointSet::intersect(const CodePointSet& other) {
  std::vector<Range> out;
  size_t i = 0, j = 0;
  while (i < ranges_.size() && j < other.ranges_.size()) {
    const Range& a = ranges_[i];
    const Range& b = other.ranges_[j];
    const uint32_t lo = std::max(a.first, b.first);
    const uint32_t hi = std::min(a.last, b.last);
    if (lo <= hi) out.push_back(Range{lo, hi});
    if (a.last < b.last) {
      ++i;
    } else {
      ++j;
    }
  }
  ranges_.swap(out);
}

void CodePointSet::subtract(const CodePointSet& other) { intersect(other.complement()); }

bool CodePointSet::contains(uint32_t cp) const {
  return unicode_tables::in_ranges(ranges_.data(), ranges_.size(), cp);
}

bool CodePointSet::operator==(const CodePointSet& other) const {
  if (ranges_.size() != other.ranges_.size()) return false;
  for (size_t i = 0; i < ranges_.size(); ++i) {
    if (ranges_[i].first != other.ranges_[i].first || ranges_[i].last != other.ranges_[i].last) {
      return false;
    }
  }
  return true;
}

}  // namespace quorvane
