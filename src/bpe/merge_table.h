// Merge rules and the tables built from them at load time:
//   MergeRule        one resolved merge (its index in the rule list is its rank)
//   MergeMap         open-addressing table (left, right) -> (rank, merged id)
//   StreamTables     the rules plus the streaming merger's three index tables
//   merges_are_monotonic  whether merging in rank order never revisits a pair
//   MergeModel       all the mergers read of a model: the tables and two flags
// All of it is built once by the loader and only read afterwards.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace quorvane {

// All ones: "no rank", "no rule", never an id.
inline constexpr uint32_t kNone = 0xFFFFFFFFu;

struct MergeRule {
  uint32_t left;
  uint32_t right;
  uint32_t merged;
};

// What a lookup finds: rank kNone (and merged kNone) when the pair has no rule.
struct MergeHit {
  uint32_t rank;
  uint32_t merged;
};

// left in the high 32 bits, right in the low; (0, 0) maps to all ones so that
// key 0 can mark an empty slot.
inline uint64_t merge_key(uint32_t left, uint32_t right) {
  uint64_t key = (static_cast<uint64_t>(left) << 32) | right;
  return key == 0 ? ~uint64_t{0} : key;
}

// MurmurHash3's 64-bit finalizer.
inline uint64_t fmix64(uint64_t x) {
  x ^= x >> 33;
  x *= 0xff51afd7ed558ccdULL;
  x ^= x >> 33;
  x *= 0xc4ceb9fe1a85ec53ULL;
  x ^= x >> 33;
  return x;
}

// Slots of 8 bytes: the pair and its rank packed into one word, so that the
// table of a 200k-rule vocabulary takes 4 MiB and a probe reads one word; the
// merged ids sit in a per-rank array that a merge reads once. Tables whose ids
// or ranks do not fit the packing use two words per slot instead.
class MergeMap {
 public:
  // Packed slot: left id in the top kIdBits, right id in the next kIdBits, rank
  // in the low kRankBits. All ones marks an empty slot.
  static constexpr unsigned kIdBits = 21;
  static constexpr unsigned kRankBits = 64 - 2 * kIdBits;
  static constexpr uint64_t kEmpty = ~uint64_t{0};

  MergeMap();  // the table of no rules: 16 empty slots
  // Lookups must pass ids below `id_limit` (the vocabulary size); without it,
  // the largest id of the rules plus one. Sets `*repeated_pair` (when given) if
  // some pair has two rules.
  static MergeMap build(const std::vector<MergeRule>& rules, uint64_t id_limit,
                        bool* repeated_pair = nullptr);
  static MergeMap build(const std::vector<MergeRule>& rules);

  // The rank of the pair's rule, or kNone.
  uint32_t rank(uint32_t left, uint32_t right) const {
    if (__builtin_expect(wide_, 0)) return rank_wide(left, right);
    const uint64_t key = packed_key(left, right);
    uint64_t h = (key * kMultiplier) >> shift_;
    for (;;) {
      const uint64_t slot = slots_[h];
      if ((slot ^ key) >> kRankBits == 0) return static_cast<uint32_t>(slot & kRankMask);
      if (slot == kEmpty) return kNone;
      h = (h + 1) & mask_;
    }
  }
  // The id that the rule of rank `rank` (not kNone) makes.
  uint32_t merged_of(uint32_t rank) const { return merged_[rank]; }

  MergeHit find(uint32_t left, uint32_t right) const {
    const uint32_t r = rank(left, right);
    return {r, r == kNone ? kNone : merged_[r]};
  }

  size_t slot_count() const { return mask_ + 1; }
  size_t used_slots() const;
  bool packed() const { return !wide_; }
  size_t size_bytes() const {
    return slots_.size() * sizeof(uint64_t) + merged_.size() * sizeof(uint32_t);
  }

 private:
  static constexpr uint64_t kRankMask = (uint64_t{1} << kRankBits) - 1;
  // Fibonacci hashing: the top bits of the product mix every bit of the key.
  static constexpr uint64_t kMultiplier = 0x9E3779B97F4A7C15ULL;

  static uint64_t packed_key(uint32_t left, uint32_t right) {
    return (static_cast<uint64_t>(left) << (kIdBits + kRankBits)) |
           (static_cast<uint64_t>(right) << kRankBits);
  }
  uint32_t rank_wide(uint32_t left, uint32_t right) const;

  // Packed: one word per slot. Wide: two (merge_key, 0 = empty; then the rank).
  std::vector<uint64_t> slots_;
  std::vector<uint32_t> merged_;  // per rank
  uint64_t mask_;
  unsigned shift_;
  bool wide_ = false;
};

struct StreamTables {
  std::vector<MergeRule> rules;       // index = rank
  std::vector<uint32_t> first_rule;   // per id: lowest rank with that id on the left
  std::vector<uint32_t> next_rule;    // per rule: next rank with the same left
  std::vector<uint32_t> follow_rule;  // per rule: first rank above it whose left is its merged id
  // The ranks of every left id, grouped and ascending: those of id t are
  // left_ranks[left_start[t] .. left_start[t + 1]). Lets the streaming merger
  // skip a run of rules that cannot apply in one search instead of a walk.
  std::vector<uint32_t> left_start;  // n_vocab + 1 entries
  std::vector<uint32_t> left_ranks;

  static StreamTables build(std::vector<MergeRule>&& rules, uint64_t n_vocab);

  // The lowest rank at or above `min_rank` whose rule has `left` on the left, or kNone.
  uint32_t first_rule_from(uint32_t left, uint32_t min_rank) const {
    if (left >= first_rule.size()) return kNone;
    const uint32_t* lo = left_ranks.data() + left_start[left];
    const uint32_t* hi = left_ranks.data() + left_start[left + 1];
    while (lo < hi) {
      const uint32_t* mid = lo + (hi - lo) / 2;
      if (*mid < min_rank) {
        lo = mid + 1;
      } else {
        hi = mid;
      }
    }
    return lo == left_ranks.data() + left_start[left + 1] ? kNone : *lo;
  }
};

bool merges_are_monotonic(const std::vector<MergeRule>& rules, uint64_t n_vocab);

// The model holds one (lib/tokenizer.h); tests build one directly.
struct MergeModel {
  MergeMap merges;
  StreamTables stream;
  // merges_are_monotonic: false forces the canonical merger.
  bool monotonic = true;
  // byte_fallback models never use the streaming merger (see bpe_merge).
  bool byte_fallback = false;
};

}  // namespace quorvane
