// The character ids of byte_fallback models as a two-level table, for the
// encoder: the ids of each block of 256 code points lie together, and every
// block without one shares a block of "none". A lookup is two dependent loads
// from small arrays, where a hash map needs a hash and a probe. Built once at
// load time from the model's char_ids and only read after.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace quorvane {

class CharIdTable {
 public:
  bool empty() const { return block_of_.empty(); }

  // The id of code point cp (below 0x110000), or -1. Not on an empty table.
  int32_t find(uint32_t cp) const {
    return ids_[static_cast<size_t>(block_of_[cp >> 8]) << 8 | (cp & 0xFF)];
  }

  // From a map of code point -> id; entries at or above 0x110000 (no decoded
  // character has one) are left out. Empty for an empty map.
  template <class Map>
  static CharIdTable build(const Map& char_ids) {
    CharIdTable t;
    if (char_ids.empty()) return t;
    t.block_of_.assign(kBlocks, 0);
    t.ids_.assign(256, -1);  // block 0: none
    for (const auto& [cp, id] : char_ids) {
      if (cp >= kBlocks * 256) continue;
      uint16_t& block = t.block_of_[cp >> 8];
      if (block == 0) {
        block = static_cast<uint16_t>(t.ids_.size() >> 8);
        t.ids_.resize(t.ids_.size() + 256, -1);
      }
      t.ids_[static_cast<size_t>(block) << 8 | (cp & 0xFF)] = static_cast<int32_t>(id);
    }
    return t;
  }

 private:
  static constexpr size_t kBlocks = 0x110000 >> 8;
  static_assert(kBlocks < 0xFFFF, "block numbers are 16-bit");

  std::vector<uint16_t> block_of_;  // per block of 256 code points: its block in ids_
  std::vector<int32_t> ids_;        // 256 per block; -1 = no id
};

}  // namespace quorvane
