// One step of each scanner kind (internal to src/pretok; callers use scanner.h).
// Each requires position < length.
#pragma once

#include <cstddef>
#include <cstdint>

namespace quorvane::scan {

// GPT-2 ByteLevel: 's 'd 'm 't 'll 've 're | ?\p{L}+ | ?\p{N}+ | ?[^\s\p{L}\p{N}]+ | \s+(?!\S) |
// \s+ `single_digits`: every number character is a piece of its own.
size_t scan_kind0(bool single_digits, const uint8_t* t, size_t n, size_t p);

// cl100k-style; `marks`: letter runs take marks too ([\p{L}\p{M}]+).
size_t scan_kind1(bool marks, uint32_t digit_limit, const uint8_t* t, size_t n, size_t p);

// o200k-style case-aware letter runs; `contractions`: a contraction may follow.
size_t scan_kind2(bool contractions, uint32_t digit_limit, const uint8_t* t, size_t n, size_t p);

}  // namespace quorvane::scan
