// The whole-piece table of ByteLevel models: the ids whose own bytes BPE-encode
// to that single id, found by the bytes of a piece. A piece found here needs no
// merging; built once at load time (after the merge tables) and only read after.
#pragma once

#include <cstdint>
#include <cstring>
#include <string_view>
#include <vector>

#include "bpe/merge_table.h"

namespace quorvane {

struct Tokenizer;

inline uint64_t piece_hash(const uint8_t* p, size_t n) {
  uint64_t h = 0x9E3779B97F4A7C15ULL ^ n;
  size_t i = 0;
  for (; i + 8 <= n; i += 8) {
    uint64_t w;
    std::memcpy(&w, p + i, 8);
    h = fmix64(h ^ w);
  }
  uint64_t tail = 0;
  for (size_t k = 0; i + k < n; ++k) tail |= static_cast<uint64_t>(p[i + k]) << (8 * k);
  return fmix64(h ^ tail);
}

class WholePieces {
 public:
  bool empty() const { return slots_.empty(); }
  size_t size_bytes() const { return slots_.size() * sizeof(uint32_t); }

  // The id of the piece, or kNone.
  template <class BytesOf>
  uint32_t find(std::string_view piece, const BytesOf& bytes_of) const {
    const auto* p = reinterpret_cast<const uint8_t*>(piece.data());
    uint64_t h = piece_hash(p, piece.size()) & mask_;
    for (;;) {
      const uint32_t id = slots_[h];
      if (id == kNone) return kNone;
      const std::string_view bytes = bytes_of(id);
      if (bytes.size() == piece.size() && std::memcmp(bytes.data(), p, piece.size()) == 0) {
        return id;
      }
      h = (h + 1) & mask_;
    }
  }

  // Every id of 2 to kShortPieceMax bytes whose bytes merge to that id alone
  // (checked by merging them); needs the merge tables and token bytes.
  static WholePieces build(const Tokenizer& model);

 private:
  std::vector<uint32_t> slots_;  // kNone = empty
  uint64_t mask_ = 0;
};

}  // namespace quorvane
