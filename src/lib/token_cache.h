// A per-thread cache of the ids of recent short pieces that are one token.
//
// On English most pieces of three or more bytes are whole tokens, found in the
// whole-piece table by a slot and then a record: two loads from megabytes of
// table, which miss the cache on most words. A text repeats its words, and the
// few thousand it uses fit here, 16 bytes each, so that a repeat costs one load
// from a table that stays in L2. No bytes are compared: for pieces of up to
// kMaxBytes bytes piece_hash is one to one for each length (an invertible mix
// of the bytes), so the hash and the length name the piece. An entry keeps the
// hash with the length in its low bits (which the entry's index already
// gives), and the serial of the model whose token it is (see PieceCache).
#pragma once

#include <cstddef>
#include <cstdint>

namespace quorvane {

class TokenCache {
 public:
  // piece_hash is one to one for each length up to here.
  static constexpr size_t kMaxBytes = 8;
  static constexpr uint32_t kMissing = 0xFFFFFFFFu;

  // The calling thread's cache, allocated on first use; null when it cannot be.
  static TokenCache* for_thread();

  // The id of the piece of `len` (<= kMaxBytes) bytes hashed to `hash`, or kMissing.
  uint32_t find(uint32_t serial, uint64_t hash, size_t len) const {
    const Entry& e = entries_[hash & kMask];
    return e.key == key_of(hash, len) && e.serial == serial ? e.id : kMissing;
  }

  void insert(uint32_t serial, uint64_t hash, size_t len, uint32_t id) {
    entries_[hash & kMask] = {key_of(hash, len), id, serial};
  }

 private:
  // 8192 entries, 128 KiB: the words of a few thousand lines of one language.
  static constexpr size_t kEntries = 8192;
  static constexpr uint64_t kMask = kEntries - 1;
  static_assert(kMask >= 0xF, "the index must give the bits that hold the length");

  struct Entry {
    uint64_t key;  // hash with its low four bits replaced by the length
    uint32_t id;
    uint32_t serial;  // 0: empty (no model has serial 0)
  };
  static_assert(sizeof(Entry) == 16);

  static uint64_t key_of(uint64_t hash, size_t len) { return (hash & ~uint64_t{0xF}) | len; }

  Entry entries_[kEntries] = {};
};

}  // namespace quorvane
