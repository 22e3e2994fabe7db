// Merge rules and the tables built from them at load time:
//   MergeRule        one resolved merge (its index in the rule list is its rank)
//   MergeMap         open-addressing table (left, right) -> (rank, merged id)
//   StreamTables     the rules plus the streaming merger's three index tables
//   merges_are_monotonic  whether merging in rank order never revisits a pair
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

struct MergeSlot {
  uint64_t key;  // 0 = empty
  uint32_t rank;
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

class MergeMap {
 public:
  MergeMap();  // the table of no rules: 16 empty slots
  // Sets `*repeated_pair` (when given) if some pair has two rules.
  static MergeMap build(const std::vector<MergeRule>& rules, bool* repeated_pair = nullptr);

  MergeHit find(uint32_t left, uint32_t right) const {
    const uint64_t key = merge_key(left, right);
    uint64_t h = fmix64(key) & mask_;
    for (;;) {
      const MergeSlot& slot = slots_[h];
      if (slot.key == key) return {slot.rank, slot.merged};
      if (slot.key == 0) return {kNone, kNone};
      h = (h + 1) & mask_;
    }
  }
  uint32_t rank(uint32_t left, uint32_t right) const { return find(left, right).rank; }

  size_t slot_count() const { return slots_.size(); }
  const std::vector<MergeSlot>& slots() const { return slots_; }

 private:
  std::vector<MergeSlot> slots_;
  uint64_t mask_;
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

}  // namespace quorvane
