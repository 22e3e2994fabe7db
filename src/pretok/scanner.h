// Hand-written pre-tokenizer scanners.
//
// `next_piece_end` returns where the piece starting at `position` ends, by the
// rules of one of three pattern families. It allocates nothing and runs no
// regular-expression engine; callers step from 0 to the text's end.
#pragma once

#include <cstddef>
#include <cstdint>

namespace quorvane {

enum class ScannerKind : uint8_t {
  kGpt2,    // the GPT-2 ByteLevel pattern
  kCl100k,  // cl100k-style: contractions, letter runs, numbers of up to a limit
  kO200k,   // o200k-style: cased words with their contractions
};

struct ScannerSpec {
  ScannerKind kind = ScannerKind::kGpt2;
  uint8_t flag = 0;          // meaning depends on the kind
  uint32_t digit_limit = 0;  // 0 unlimited; otherwise the longest number run
  bool operator==(const ScannerSpec&) const = default;
};

// Requires position < length. Returns end with position < end <= length.
size_t next_piece_end(ScannerSpec spec, const uint8_t* text, size_t length, size_t position);

}  // namespace quorvane
