// A per-thread cache of the ids of recently merged pieces.
//
// Text repeats its words: a word that is not one token is merged again at
// every occurrence. The cache keeps, for each of the last pieces of up to
// kMaxBytes bytes that merged into up to kMaxIds ids, the piece's bytes and ids,
// direct-mapped by the piece's hash, so that a repeat costs a compare and a
// copy instead of a merge. Entries carry the serial of the model that made
// them: a model gets its serial once it is fully loaded and is never changed
// after that, so an entry whose serial matches is that model's answer for
// those bytes. Models without a serial (0) are never cached.
#pragma once

#include <cstdint>
#include <cstring>

namespace quorvane {

class PieceCache {
 public:
  static constexpr size_t kMaxBytes = 48;
  static constexpr size_t kMaxIds = 18;

  struct Entry {
    uint32_t serial;  // 0: empty
    uint8_t len;
    uint8_t n_ids;
    uint16_t tag;  // high hash bits: most misses end here without a byte compare
    uint32_t ids[kMaxIds];
    uint8_t bytes[kMaxBytes];
  };
  static_assert(sizeof(Entry) == 128);

  // The calling thread's cache, allocated on first use; null when it cannot be.
  static PieceCache* for_thread();

  // The entry of piece p[0, n) hashed to `hash` (the whole-piece hash), or null.
  const Entry* find(uint32_t serial, uint64_t hash, const uint8_t* p, size_t n) const {
    const Entry& e = entries_[hash & kMask];
    if (e.serial != serial || e.len != n || e.tag != tag_of(hash)) return nullptr;
    return std::memcmp(e.bytes, p, n) == 0 ? &e : nullptr;
  }

  // Remembers that p[0, n) gives ids[0, n_ids); pieces or results that do not
  // fit are left out.
  void insert(uint32_t serial, uint64_t hash, const uint8_t* p, size_t n, const uint32_t* ids,
              size_t n_ids) {
    if (n > kMaxBytes || n_ids > kMaxIds) return;
    Entry& e = entries_[hash & kMask];
    e.serial = serial;
    e.len = static_cast<uint8_t>(n);
    e.n_ids = static_cast<uint8_t>(n_ids);
    e.tag = tag_of(hash);
    // A piece that gives no ids may come with no buffer; memcpy takes no null.
    if (n_ids != 0) std::memcpy(e.ids, ids, n_ids * sizeof(uint32_t));
    std::memcpy(e.bytes, p, n);
  }

 private:
  // 2048 entries, 256 KiB: a cache's worth of a few languages' common words
  // that still leaves most of a core's L2 to the merge tables.
  static constexpr size_t kEntries = 2048;
  static constexpr uint64_t kMask = kEntries - 1;
  static uint16_t tag_of(uint64_t hash) { return static_cast<uint16_t>(hash >> 48); }

  Entry entries_[kEntries] = {};
};

// A serial for a model that has just been loaded: distinct from every earlier
// one in the process, never 0.
uint32_t next_model_serial();

}  // namespace quorvane
