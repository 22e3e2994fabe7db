// Characters merged before BPE starts: `CharMerges` finds, for a character of
// two to four UTF-8 bytes, the token its bytes merge into, when canonical BPE
// over any piece must merge them into that token before any of them merges
// with a neighbour.
//
// On a monotonic table that holds when, at every step of merging the
// character's bytes on their own, no rule joins its first token to a token on
// the left (or its last token to a token on the right) at a rank at or below
// the step's rank: the character's own merges then always come first, and the
// token they make can take part in no rule before it exists. Which neighbours
// such a rule could join depends only on the byte next to the character, so
// each character keeps the set of neighbouring bytes that block it, and a
// piece's ids are gathered with the characters that no neighbour blocks taken
// as one id: pieces of scripts beyond Latin merge fewer ids with fewer probes.
// Built once at load time and only read after.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <utility>
#include <vector>

#include "bpe/merge_table.h"

namespace quorvane {

class CharMerges {
 public:
  bool empty() const { return entries_.empty(); }
  size_t size() const { return entries_.size(); }
  size_t size_bytes() const {
    return entries_.size() * sizeof(Entry) + pages_.size() * sizeof(uint16_t) +
           page_of_block_.size() * sizeof(uint16_t);
  }

  // The byte ids of p[from, n) (every byte has one), with each character whose
  // merge no neighbour can come before taken as its token; p[from - 1] is the
  // byte before. Writes at most n - from ids to `ids` and returns their count.
  size_t gather(const uint8_t* p, size_t from, size_t n, const std::array<int32_t, 256>& byte_ids,
                uint32_t* ids) const;

  // `candidates` holds (code point, id) for each token whose bytes are exactly
  // one character of two to four bytes; `first_byte` and `last_byte` give every
  // id's first and last byte (kNoByte for a token without bytes, which counts as
  // any byte). Needs a monotonic table, and an id for every byte (otherwise the
  // result is empty).
  static CharMerges build(const MergeMap& merges, const StreamTables& stream,
                          const std::array<int32_t, 256>& byte_ids,
                          const std::vector<std::pair<uint32_t, uint32_t>>& candidates,
                          const std::vector<uint16_t>& first_byte,
                          const std::vector<uint16_t>& last_byte);
  static constexpr uint16_t kNoByte = 0x100;

 private:
  // The neighbouring bytes that block a character: continuation bytes before
  // it and lead bytes after it (the usual neighbours inside a word) one by one,
  // the rest by class (kOther* bits).
  struct Entry {
    uint64_t before_continuation;  // bit b & 63 for byte b in 0x80..0xBF
    uint64_t after_lead;           // bit b & 63 for byte b in 0xC0..0xFF
    uint32_t id;
    uint32_t other;  // kOther* bits
  };
  static constexpr uint32_t kBeforeSpace = 1;
  static constexpr uint32_t kBeforeAscii = 2;  // any ASCII byte but the space
  static constexpr uint32_t kBeforeLead = 4;   // 0xC0..0xFF
  static constexpr uint32_t kAfterAscii = 8;
  static constexpr uint32_t kAfterContinuation = 16;

  static constexpr unsigned kBlockBits = 6;  // code points per page: 64
  static constexpr uint32_t kBlocks = 0x110000 >> kBlockBits;

  const Entry* find(uint32_t cp) const {
    const uint16_t page = page_of_block_[cp >> kBlockBits];
    if (page == 0) return nullptr;
    const uint16_t slot = pages_[(size_t{page} << kBlockBits) | (cp & 63)];
    return slot == 0 ? nullptr : &entries_[slot - 1];
  }
  static bool blocked_before(const Entry& e, uint8_t b);
  static bool blocked_after(const Entry& e, uint8_t b);

  std::vector<Entry> entries_;
  // Two levels: page_of_block_[cp >> 6] is a page (0: none), whose 64 slots
  // hold entry index + 1 (0: none). Page 0 is all empty.
  std::vector<uint16_t> page_of_block_;
  std::vector<uint16_t> pages_;
};

}  // namespace quorvane
