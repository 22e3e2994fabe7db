// Span: a piece of text as a [start, end) pair of byte offsets.
#pragma once

#include <cstdint>

namespace quorvane {

struct Span {
  uint64_t start;
  uint64_t end;
  bool operator==(const Span&) const = default;
};

}  // namespace quorvane
