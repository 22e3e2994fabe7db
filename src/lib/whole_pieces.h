// The whole-piece table: the ids whose own text encodes to that single id, found
// by the bytes of a piece. ByteLevel models key ids by their bytes; byte_fallback
// models by their text as the encoder sees it (U+2581 where the decoded bytes
// have a space). A piece found here needs no merging; built once at load time
// (after the merge tables) and only read after. Also piece_hash and same_bytes,
// which the encoder's other lookups share.
#pragma once

#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "bpe/bpe_merge.h"
#include "bpe/huge_page_allocator.h"
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
  bool empty() const { return max_len_ == 0; }
  // The longest key; longer pieces need no probe.
  size_t max_len() const { return max_len_; }
  size_t size_bytes() const { return slots_.size() * sizeof(uint64_t) + records_.size(); }

  // The id of the piece, or kNone.
  uint32_t find(std::string_view piece) const {
    // Longer pieces than any key (base64 lines, long runs) skip the hash.
    if (piece.size() > max_len_) return kNone;
    return find_hashed(piece,
                       piece_hash(reinterpret_cast<const uint8_t*>(piece.data()), piece.size()));
  }

  // Starts fetching the slot where a probe for `hash` begins.
  void prefetch(uint64_t hash) const { __builtin_prefetch(slots_.data() + home_of(hash)); }

  // find() with the piece's piece_hash already computed. A slot holds enough of
  // the hash and the key's length that a piece without a key is refused by the
  // slots alone; a key found is confirmed by one more load, its record. Always
  // inlined: the encode loops probe it once per piece.
  [[gnu::always_inline]] uint32_t find_hashed(std::string_view piece, uint64_t hash) const {
    const size_t n = piece.size();
    if (n > max_len_) return kNone;
    const auto* p = reinterpret_cast<const uint8_t*>(piece.data());
    const uint32_t want = slot_check(hash, n);
    for (const uint64_t* slot = slots_.data() + home_of(hash);; ++slot) {
      if (static_cast<uint32_t>(*slot >> 32) == want) {
        const uint8_t* record = records_.data() + static_cast<uint32_t>(*slot);
        if (same_bytes(record + 4, p, n)) return load_u32(record);
      }
      if (*slot == kEmpty) return kNone;
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
  // A slot: the top 23 bits of the key's hash, its length (9 bits, up to
  // kShortPieceMax) and the offset of its record (the id, 4 bytes, then the
  // key's bytes). An empty slot has a length no key has.
  static constexpr uint64_t kEmpty = ~uint64_t{0};
  static_assert(kShortPieceMax < 511, "key lengths fit a slot's 9 bits below the empty mark");
  static uint32_t slot_check(uint64_t hash, size_t len) {
    return static_cast<uint32_t>(hash >> 41 << 9 | len);
  }
  // The first slot a key may be in: the low hash bits scaled to the home range,
  // which need not be a power of two. Probes go up from there and never wrap:
  // the slots past the home range hold what runs over, and the last is empty.
  size_t home_of(uint64_t hash) const {
    return static_cast<size_t>((hash & 0xFFFFFFFF) * homes_ >> 32);
  }

  // From the ids and their keys (`key_of(id)`), in id order; with `huge_pages`,
  // the tables are allocated on them.
  template <class KeyOf>
  static WholePieces from_keys(const std::vector<uint32_t>& ids, const KeyOf& key_of,
                               bool huge_pages);

  // An empty table still has one (empty) slot, so that a probe needs no check.
  // A byte_fallback model's table, probed for most pieces of text in many
  // scripts, is on huge pages (see HugePageAllocator).
  std::vector<uint64_t, HugePageAllocator<uint64_t>> slots_ = {kEmpty};
  std::vector<uint8_t, HugePageAllocator<uint8_t>> records_;
  uint64_t homes_ = 1;  // home slots: those the hash picks from
  size_t max_len_ = 0;
};

// A byte_fallback token's key in the encoder's form: token bytes show U+2581
// as a space, the text it encodes holds U+2581.
std::string metaspace_key(std::string_view bytes);

}  // namespace quorvane
