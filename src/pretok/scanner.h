// Hand-written pre-tokenizer scanners.
//
// `next_piece_end` returns where the piece starting at `position` ends, by the
// rules of one of three pattern families (kind 0: the GPT-2 ByteLevel pattern;
// kind 1: cl100k-style; kind 2: o200k-style). It allocates nothing and runs no
// regular-expression engine; callers step from 0 to the text's end.
#pragma once

#include <cstddef>
#include <cstdint>

namespace quorvane {

struct ScannerSpec {
  uint8_t kind = 0;          // 0, 1 or 2 (any other value acts as 2)
  uint8_t flag = 0;          // meaning depends on the kind
  uint32_t digit_limit = 0;  // 0 unlimited; otherwise the longest number run
  bool operator==(const ScannerSpec&) const = default;
};

// Requires position < length. Returns end with position < end <= length.
size_t next_piece_end(ScannerSpec spec, const uint8_t* text, size_t length, size_t position);

}  // namespace quorvane
