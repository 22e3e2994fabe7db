// A per-thread cache of the ids of recently merged pieces.
//
// Text repeats its words: a word that is not one token is merged again at
// every occurrence. The cache keeps, for each of the last pieces of up to
// kMaxBytes bytes that gave up to kMaxIds ids, the piece's bytes and ids,
// direct-mapped by the piece's hash, so that a repeat costs a compare and a
// copy instead of a merge (or a probe of a large table). Entries carry the
// serial of the model that made them: a model gets its serial once it is fully
// loaded and is never changed after that, so an entry whose serial matches is
// that model's answer for those bytes. Models without a serial (0) are never
// cached.
#pragma once

#include <cstdint>
#include <cstring>

namespace quorvane {

class PieceCache {
 public:
  static constexpr size_t kMaxBytes = 24;
  static constexpr size_t kMaxIds = 8;

  // One cache line: a piece's check word, bytes and ids.
  struct alignas(64) Entry {
    // serial (0: empty) | tag << 32 | len << 48 | n_ids << 56, where tag is
    // high hash bits: most misses end at this word without a byte compare.
    uint64_t check;
    uint8_t bytes[kMaxBytes];
    uint32_t ids[kMaxIds];

    size_t n_ids() const { return static_cast<size_t>(check >> 56); }
  };
  static_assert(sizeof(Entry) == 64);

  // The calling thread's cache, allocated on first use; null when it cannot be.
  static PieceCache* for_thread();

  // The entry of piece p[0, n) hashed to `hash` (the whole-piece hash), or null.
  const Entry* find(uint32_t serial, uint64_t hash, const uint8_t* p, size_t n) const {
    const Entry& e = entries_[hash & kMask];
    if ((e.check & ~kIdsMask) != check_of(serial, hash, n)) return nullptr;
    return same_piece(e.bytes, p, n) ? &e : nullptr;
  }

  // Starts fetching the entry of `hash`.
  void prefetch(uint64_t hash) const { __builtin_prefetch(&entries_[hash & kMask]); }

  // Remembers that p[0, n) gives ids[0, n_ids); pieces or results that do not
  // fit are left out.
  void insert(uint32_t serial, uint64_t hash, const uint8_t* p, size_t n, const uint32_t* ids,
              size_t n_ids) {
    if (n > kMaxBytes || n_ids > kMaxIds) return;
    Entry& e = entries_[hash & kMask];
    e.check = check_of(serial, hash, n) | static_cast<uint64_t>(n_ids) << 56;
    for (size_t i = 0; i < n_ids; ++i) e.ids[i] = ids[i];
    store_piece(e.bytes, p, n);
  }

 private:
  // 4096 entries, 256 KiB: the words of a few thousand lines of a text in
  // one language, which a stream of such text meets again and again, while
  // most of a core's L2 stays with the merge tables.
  static constexpr size_t kEntries = 4096;
  static constexpr uint64_t kMask = kEntries - 1;
  static constexpr uint64_t kIdsMask = uint64_t{0xFF} << 56;

  static uint64_t check_of(uint32_t serial, uint64_t hash, size_t n) {
    return serial | (hash >> 48) << 32 | static_cast<uint64_t>(n) << 48;
  }

  // stored[0, n) = p[0, n) for n <= kMaxBytes, with a few overlapping stores
  // where a library call would cost more than the copy.
  static void store_piece(uint8_t* stored, const uint8_t* p, size_t n) {
    if (n >= 8) {
      std::memcpy(stored, p, 8);
      std::memcpy(stored + 8, p + (n > 16 ? 8 : 0), 8);
      std::memcpy(stored + n - 8, p + n - 8, 8);
      return;
    }
    for (size_t i = 0; i < n; ++i) stored[i] = p[i];
  }

  // stored[0, n) == p[0, n) for n <= kMaxBytes: every stored entry has all
  // kMaxBytes bytes, and the piece is read only inside [0, n).
  static bool same_piece(const uint8_t* stored, const uint8_t* p, size_t n) {
    uint64_t a, b, diff;
    if (n >= 8) {
      std::memcpy(&a, stored, 8);
      std::memcpy(&b, p, 8);
      diff = a ^ b;
      std::memcpy(&a, stored + 8, 8);
      std::memcpy(&b, p + (n > 16 ? 8 : 0), 8);
      diff |= n > 16 ? a ^ b : 0;
      std::memcpy(&a, stored + n - 8, 8);
      std::memcpy(&b, p + n - 8, 8);
      return (diff | (a ^ b)) == 0;
    }
    if (n >= 4) {
      uint32_t c, d;
      std::memcpy(&c, stored, 4);
      std::memcpy(&d, p, 4);
      uint32_t diff32 = c ^ d;
      std::memcpy(&c, stored + n - 4, 4);
      std::memcpy(&d, p + n - 4, 4);
      return (diff32 | (c ^ d)) == 0;
    }
    for (size_t i = 0; i < n; ++i) {
      if (stored[i] != p[i]) return false;
    }
    return true;
  }

  Entry entries_[kEntries] = {};
};

// A serial for a model that has just been loaded: distinct from every earlier
// one in the process, never 0.
uint32_t next_model_serial();

}  // namespace quorvane
