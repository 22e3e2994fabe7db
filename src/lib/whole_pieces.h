// The whole-piece table: the ids whose own text encodes to that single id, found
// by the bytes of a piece. ByteLevel models key ids by their bytes; byte_fallback
// models by their text as the encoder sees it (U+2581 where the decoded bytes
// have a space). A piece found here needs no merging; built once at load time
// (after the merge tables) and only read after.
#pragma once

#include <cstdint>
#include <cstring>
#include <string_view>
#include <vector>

#include "bpe/merge_table.h"

namespace quorvane {

struct Tokenizer;

inline uint64_t load_u64(const uint8_t* p) {
  uint64_t w;
  std::memcpy(&w, p, 8);
  return w;
}

inline uint32_t load_u32(const uint8_t* p) {
  uint32_t w;
  std::memcpy(&w, p, 4);
  return w;
}

// The length is in the seed, so the last word may overlap the one before it and
// short tails are read with two overlapping loads instead of byte by byte.
[[gnu::always_inline]] inline uint64_t piece_hash(const uint8_t* p, size_t n) {
  uint64_t h = 0x9E3779B97F4A7C15ULL ^ n;
  if (n > 8) {
    for (size_t i = 0; i + 8 < n; i += 8) h = fmix64(h ^ load_u64(p + i));
    return fmix64(h ^ load_u64(p + n - 8));
  }
  uint64_t tail;
  if (n >= 4) {
    tail = load_u32(p) | (static_cast<uint64_t>(load_u32(p + n - 4)) << 32);
  } else if (n > 0) {
    tail = p[0] | (static_cast<uint64_t>(p[n / 2]) << 8) | (static_cast<uint64_t>(p[n - 1]) << 16);
  } else {
    tail = 0;
  }
  return fmix64(h ^ tail);
}

// a[0, n) == b[0, n); keys are short, so up to 16 bytes compare inline with
// overlapping loads rather than through a library call.
inline bool same_bytes(const uint8_t* a, const uint8_t* b, size_t n) {
  if (n >= 8) {
    if (n > 16) return std::memcmp(a, b, n) == 0;
    return ((load_u64(a) ^ load_u64(b)) | (load_u64(a + n - 8) ^ load_u64(b + n - 8))) == 0;
  }
  if (n >= 4)
    return ((load_u32(a) ^ load_u32(b)) | (load_u32(a + n - 4) ^ load_u32(b + n - 4))) == 0;
  for (size_t i = 0; i < n; ++i) {
    if (a[i] != b[i]) return false;
  }
  return true;
}

class WholePieces {
 public:
  bool empty() const { return slots_.empty(); }
  // The longest key; longer pieces need no probe.
  size_t max_len() const { return max_len_; }
  size_t size_bytes() const { return slots_.size() * sizeof(uint32_t); }

  // The id of the piece, or kNone.
  template <class BytesOf>
  uint32_t find(std::string_view piece, const BytesOf& bytes_of) const {
    // Longer pieces than any key (base64 lines, long runs) skip the hash.
    if (piece.size() > max_len_) return kNone;
    return find_hashed(
        piece, piece_hash(reinterpret_cast<const uint8_t*>(piece.data()), piece.size()), bytes_of);
  }

  // find() with the piece's piece_hash already computed.
  template <class BytesOf>
  uint32_t find_hashed(std::string_view piece, uint64_t hash, const BytesOf& bytes_of) const {
    if (piece.size() > max_len_) return kNone;
    const auto* p = reinterpret_cast<const uint8_t*>(piece.data());
    uint64_t h = hash & mask_;
    for (;;) {
      const uint32_t id = slots_[h];
      if (id == kNone) return kNone;
      const std::string_view bytes = bytes_of(id);
      if (bytes.size() == piece.size() &&
          same_bytes(reinterpret_cast<const uint8_t*>(bytes.data()), p, piece.size())) {
        return id;
      }
      h = (h + 1) & mask_;
    }
  }

  // The id whose key `matches(id)` accepts among those hashed like `piece`, or
  // kNone.
  template <class Matches>
  uint32_t find_matching(std::string_view piece, const Matches& matches) const {
    return find_matching_hashed(
        piece_hash(reinterpret_cast<const uint8_t*>(piece.data()), piece.size()), matches);
  }

  // find_matching() with the piece's piece_hash already computed.
  template <class Matches>
  uint32_t find_matching_hashed(uint64_t hash, const Matches& matches) const {
    if (slots_.empty()) return kNone;
    uint64_t h = hash & mask_;
    for (;;) {
      const uint32_t id = slots_[h];
      if (id == kNone || matches(id)) return id;
      h = (h + 1) & mask_;
    }
  }

  // Every id of 2 to kShortPieceMax bytes whose bytes merge to that id alone
  // (checked by merging them); needs the merge tables and token bytes.
  static WholePieces build(const Tokenizer& model);

  // byte_fallback models: every id whose key (its decoded bytes with each space
  // as U+2581) of 2 to kShortPieceMax bytes that encodes to that id alone (checked
  // with the model's piece encoder).
  static WholePieces build_byte_fallback(const Tokenizer& model);

 private:
  std::vector<uint32_t> slots_;  // kNone = empty
  uint64_t mask_ = 0;
  size_t max_len_ = 0;
};

// Whether `piece` is the byte_fallback key of token bytes `bytes`.
inline bool is_metaspace_key(std::string_view bytes, std::string_view piece) {
  size_t j = 0;
  for (const char c : bytes) {
    if (c == ' ') {
      if (piece.size() - j < 3 || std::memcmp(piece.data() + j, "\xE2\x96\x81", 3) != 0) {
        return false;
      }
      j += 3;
    } else {
      if (j == piece.size() || piece[j] != c) return false;
      ++j;
    }
  }
  return j == piece.size();
}

}  // namespace quorvane
