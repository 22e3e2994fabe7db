// Unicode 15.0 normalization data (generated into normalization_tables.cc).
//
// Every code point has a 32-bit info word, found through a two-level table: the
// block of 128 code points (`kBlockIndex[cp >> 7]`) and the entry within it. The word
// holds the canonical combining class (bits 0..7), the quick-check flags (bits 8..14),
// `kHasExtra` (bit 15) and, when that is set, an index into `kExtras` (bits 16..31).
// An extra gives the full canonical and compatibility decompositions (in canonical
// order, as slices of `kDecompositions`, whose entries carry each code point's class
// and `kEntryCombinesBack`) and the compositions that take this code point as their
// first character (a slice of `kCompositions`, sorted by second).
// Hangul syllables have neither: they decompose and compose algorithmically.
#pragma once

#include <cstddef>
#include <cstdint>

namespace quorvane::normalization_tables {

inline constexpr uint32_t kBlockShift = 7;
inline constexpr size_t kBlockCount = 0x110000 >> kBlockShift;

// Flag bits of an info word.
inline constexpr uint32_t kNfcNo = 1u << 8;
inline constexpr uint32_t kNfcMaybe = 1u << 9;
inline constexpr uint32_t kNfdNo = 1u << 10;
inline constexpr uint32_t kNfkcNo = 1u << 11;
inline constexpr uint32_t kNfkcMaybe = 1u << 12;
inline constexpr uint32_t kNfkdNo = 1u << 13;
inline constexpr uint32_t kCombinesBack = 1u << 14;  // the second of some composition
inline constexpr uint32_t kHasExtra = 1u << 15;
inline constexpr uint32_t kCccMask = 0xFF;

// A decomposition entry: the code point, kEntryCombinesBack when it is the second of
// some composition, and its combining class from bit kEntryCccShift.
inline constexpr uint32_t kEntryCpMask = 0x1FFFFF;
inline constexpr uint32_t kEntryCombinesBack = 1u << 21;
inline constexpr uint32_t kEntryCccShift = 24;

struct Extra {
  uint16_t canonical_offset;
  uint16_t compat_offset;
  uint16_t compositions_offset;
  uint8_t canonical_length;  // 0: no canonical decomposition
  uint8_t compat_length;     // 0: no decomposition at all, compatibility or canonical
  uint8_t compositions_count;
};

struct Composition {
  uint32_t second;
  uint32_t composite;
};

extern const uint16_t kBlockIndex[kBlockCount];
extern const uint32_t kInfo[];
extern const Extra kExtras[];
extern const uint32_t kDecompositions[];
extern const Composition kCompositions[];

// The info word of a code point below 0x110000.
inline uint32_t info(uint32_t cp) {
  return kInfo[(uint32_t{kBlockIndex[cp >> kBlockShift]} << kBlockShift) | (cp & 127)];
}

}  // namespace quorvane::normalization_tables
