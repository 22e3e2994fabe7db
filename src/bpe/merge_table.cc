#include "bpe/merge_table.h"

#include <algorithm>
#include <limits>

namespace quorvane {

namespace {

constexpr size_t kMinSlots = 16;

// At most one slot in two is used (between a quarter and a half), so probe
// paths stay short and there is always an empty slot to end a failed search,
// without the table doubling past what that needs: it is the largest table of
// a loaded model.
size_t slot_count_for(size_t n_rules) {
  size_t count = kMinSlots;
  while (count < 2 * n_rules) count *= 2;
  return count;
}

}  // namespace

MergeMap::MergeMap()
    : slots_(kMinSlots, kEmpty), merged_(1, kNone), mask_(kMinSlots - 1), shift_(64 - 4) {}

MergeMap MergeMap::build(const std::vector<MergeRule>& rules) {
  uint64_t id_limit = 0;
  for (const MergeRule& rule : rules) {
    id_limit = std::max<uint64_t>(id_limit, std::max(rule.left, rule.right) + uint64_t{1});
  }
  return build(rules, id_limit);
}

MergeMap MergeMap::build(const std::vector<MergeRule>& rules, uint64_t id_limit,
                         bool* repeated_pair, MergeLayout layout) {
  MergeMap map;
  const size_t count = slot_count_for(rules.size());
  map.merged_.resize(rules.size() + 1);
  for (size_t r = 0; r < rules.size(); ++r) map.merged_[r] = rules[r].merged;
  map.merged_.back() = kNone;
  // A repeated pair takes a later slot on the same probe path, so lookups
  // reach the lower rank first; the caller learns of it to drop a copy.
  bool repeated = false;
  if (layout == MergeLayout::kBuckets && map.shape_buckets(rules, id_limit, count) &&
      map.fill_buckets(rules, &repeated)) {
    map.bucketed_ = true;
    map.linear_packed_ = false;
    map.slots_.clear();
    map.slots_.shrink_to_fit();
    if (repeated_pair != nullptr) *repeated_pair = repeated;
    return map;
  }
  // Linear, chosen or because the buckets could not take these rules.
  repeated = false;
  map.buckets_.clear();
  map.buckets_.shrink_to_fit();
  map.mask_ = count - 1;
  map.shift_ = 64 - static_cast<unsigned>(__builtin_ctzll(count));
  // Ids stay below the all-ones id so that no lookup's key is an empty slot's,
  // and ranks below the all-ones rank so that no rule's slot is all ones.
  map.wide_ = id_limit >= (uint64_t{1} << kIdBits) || rules.size() >= kRankMask;
  map.linear_packed_ = !map.wide_;
  if (map.wide_) {
    map.slots_.assign(2 * count, 0);
    for (size_t r = 0; r < rules.size(); ++r) {
      const uint64_t key = merge_key(rules[r].left, rules[r].right);
      uint64_t h = fmix64(key) & map.mask_;
      while (map.slots_[2 * h] != 0) {
        repeated |= map.slots_[2 * h] == key;
        h = (h + 1) & map.mask_;
      }
      map.slots_[2 * h] = key;
      map.slots_[2 * h + 1] = r;
    }
  } else {
    map.slots_.assign(count, kEmpty);
    for (size_t r = 0; r < rules.size(); ++r) {
      const uint64_t key = packed_key(rules[r].left, rules[r].right);
      uint64_t h = (key * kMultiplier) >> map.shift_;
      while (map.slots_[h] != kEmpty) {
        repeated |= (map.slots_[h] ^ key) >> kRankBits == 0;
        h = (h + 1) & map.mask_;
      }
      map.slots_[h] = key | r;
    }
  }
  if (repeated_pair != nullptr) *repeated_pair = repeated;
  return map;
}

bool MergeMap::shape_buckets(const std::vector<MergeRule>& rules, uint64_t id_limit,
                             size_t slot_count) {
  uint64_t largest_id = std::max<uint64_t>(id_limit, 1) - 1;
  uint32_t largest_merged = 0;
  for (const MergeRule& rule : rules) {
    largest_id = std::max<uint64_t>(largest_id, std::max(rule.left, rule.right));
    largest_merged = std::max(largest_merged, rule.merged);
  }
  const auto bucket_bits = static_cast<unsigned>(__builtin_ctzll(slot_count / MergeBucket::kSlots));
  // The pair takes at least the bucket's bits, so that copies of few pairs
  // still spread over the table's home buckets.
  const unsigned id_bits =
      std::max<unsigned>(64 - __builtin_clzll(largest_id | 1), (bucket_bits + 1) / 2);
  const unsigned pair_bits = 2 * id_bits;
  // A rank field of all ones is no rank: the unused slot's.
  const unsigned rank_bits = 64 - static_cast<unsigned>(__builtin_clzll(rules.size() | 1));
  const unsigned merged_bits = 32 - static_cast<unsigned>(__builtin_clz(largest_merged | 1));
  if (rank_bits + merged_bits >= 64 || pair_bits > 64) return false;
  // The word stays in the slot's upper half, which is all that lookups compare.
  const unsigned word_bits = std::min({64 - rank_bits - merged_bits, pair_bits, 32u});
  // The word and the home's index together must hold the whole hash.
  if (word_bits + bucket_bits < pair_bits) return false;
  probe_.left_multiplier = kMultiplier << id_bits;
  probe_.bucket_mask = (uint64_t{1} << bucket_bits) - 1;
  probe_.rank_mask = (uint64_t{1} << rank_bits) - 1;
  probe_.id_max = static_cast<uint32_t>((uint64_t{1} << id_bits) - 1);
  probe_.word_mask = ~uint32_t{0} << (32 - word_bits);
  probe_.merged_mask = static_cast<uint32_t>((uint64_t{1} << merged_bits) - 1);
  probe_.home_shift = pair_bits - bucket_bits;
  probe_.word_factor = uint32_t{1} << (32 - word_bits);
  for (uint32_t& lane : probe_.word_mask_lanes) lane = probe_.word_mask;
  // A table of the 1 MiB of a core's L2 (as on x86 cores from 2017 on) or
  // more shares it with the encoder's other tables: its probes often miss.
  probe_.prefetch = (probe_.bucket_mask + 1) * sizeof(MergeBucket) >= (size_t{1} << 20);
  probe_.rank_bits = rank_bits;
  // The word's top bits, this many, are the home's low bits.
  home_bits_in_word_ = word_bits + bucket_bits - pair_bits;
  return true;
}

bool MergeMap::fill_buckets(const std::vector<MergeRule>& rules, bool* repeated) {
  MergeBucket empty;
  for (uint64_t& slot : empty.slots) slot = kEmpty;
  buckets_.assign(probe_.bucket_mask + 1, empty);
  const BucketProbe probe = bucket_probe();
  for (size_t r = 0; r < rules.size(); ++r) {
    const uint64_t hash = probe.hash(rules[r].left, rules[r].right);
    const uint32_t word = probe.word(hash);
    uint64_t b = probe.home(hash);
    for (;;) {
      MergeBucket& bucket = buckets_[b];
      unsigned used = 0;
      while (used < MergeBucket::kSlots && bucket.slots[used] != kEmpty) {
        *repeated |= (static_cast<uint32_t>(bucket.slots[used] >> 32) & probe.word_mask) == word;
        ++used;
      }
      if (used < MergeBucket::kSlots) {
        bucket.slots[used] = static_cast<uint64_t>(word) << 32 |
                             static_cast<uint64_t>(rules[r].merged) << probe.rank_bits |
                             static_cast<uint64_t>(r);
        break;
      }
      b = (b + 1) & probe.bucket_mask;
    }
  }
  // A search passes at most the longest run of full buckets, and no pair lies
  // further from home. The word keeps the low bits of the home's index: while
  // the run is shorter than those bits count, equal words in one bucket mean
  // equal homes, and so equal pairs.
  const auto bucket_bits = static_cast<unsigned>(__builtin_popcountll(probe.bucket_mask));
  if (home_bits_in_word_ >= bucket_bits) return true;
  uint64_t longest = 0;
  uint64_t run = 0;
  // Twice round, so that a run across the end counts whole.
  for (uint64_t i = 0; i < 2 * buckets_.size(); ++i) {
    run = buckets_[i & probe.bucket_mask].slots[MergeBucket::kSlots - 1] != kEmpty ? run + 1 : 0;
    longest = std::max(longest, run);
  }
  return longest < (uint64_t{1} << home_bits_in_word_);
}

MergeHit MergeMap::find_unpacked(uint32_t left, uint32_t right) const {
  if (bucketed_) return bucket_probe().find(left, right);
  const uint32_t r = rank_wide(left, right);
  return {r, r == kNone ? kNone : merged_[r]};
}

uint32_t MergeMap::rank_wide(uint32_t left, uint32_t right) const {
  const uint64_t key = merge_key(left, right);
  uint64_t h = fmix64(key) & mask_;
  for (;;) {
    const uint64_t slot_key = slots_[2 * h];
    if (slot_key == key) return static_cast<uint32_t>(slots_[2 * h + 1]);
    if (slot_key == 0) return kNone;
    h = (h + 1) & mask_;
  }
}

size_t MergeMap::used_slots() const {
  size_t used = 0;
  if (bucketed_) {
    for (const MergeBucket& bucket : buckets_) {
      for (const uint64_t slot : bucket.slots) used += slot != kEmpty;
    }
    return used;
  }
  for (size_t h = 0; h <= mask_; ++h) used += wide_ ? slots_[2 * h] != 0 : slots_[h] != kEmpty;
  return used;
}

StreamTables StreamTables::build(std::vector<MergeRule>&& rules, uint64_t n_vocab) {
  StreamTables t;
  const size_t n_rules = rules.size();

  // Per-token rank lists, packed: the ranks with left = id lie at
  // list_ranks[list_start[id] .. list_start[id + 1]), in increasing order.
  // They stay in the tables for the streaming merger's skips.
  std::vector<uint32_t>& list_start = t.left_start;
  std::vector<uint32_t>& list_ranks = t.left_ranks;
  list_start.assign(n_vocab + 1, 0);
  for (const MergeRule& rule : rules) {
    if (rule.left < n_vocab) ++list_start[rule.left + 1];
  }
  for (uint64_t id = 0; id < n_vocab; ++id) list_start[id + 1] += list_start[id];
  list_ranks.resize(list_start[n_vocab]);
  {
    std::vector<uint32_t> fill(list_start.begin(), list_start.end() - 1);
    for (size_t r = 0; r < n_rules; ++r) {
      const uint32_t left = rules[r].left;
      if (left < n_vocab) list_ranks[fill[left]++] = static_cast<uint32_t>(r);
    }
  }

  t.first_rule.assign(n_vocab, kNone);
  t.next_rule.assign(n_rules, kNone);
  for (uint64_t id = 0; id < n_vocab; ++id) {
    const uint32_t begin = list_start[id];
    const uint32_t end = list_start[id + 1];
    if (begin == end) continue;
    t.first_rule[id] = list_ranks[begin];
    for (uint32_t k = begin; k + 1 < end; ++k) t.next_rule[list_ranks[k]] = list_ranks[k + 1];
  }

  // Ranks equal to r are passed over, so a rule whose merged id is its own
  // left never follows itself.
  t.follow_rule.assign(n_rules, kNone);
  for (size_t r = 0; r < n_rules; ++r) {
    const uint32_t merged = rules[r].merged;
    if (merged >= n_vocab) continue;
    const auto begin = list_ranks.begin() + list_start[merged];
    const auto end = list_ranks.begin() + list_start[merged + 1];
    const auto it = std::upper_bound(begin, end, static_cast<uint32_t>(r));
    if (it != end) t.follow_rule[r] = *it;
  }

  rules.shrink_to_fit();
  t.rules = std::move(rules);
  return t;
}

bool merges_are_monotonic(const std::vector<MergeRule>& rules, uint64_t n_vocab) {
  std::vector<int64_t> created(n_vocab, -1);
  std::vector<int64_t> used(n_vocab, std::numeric_limits<int64_t>::max());
  for (size_t r = 0; r < rules.size(); ++r) {
    const MergeRule& rule = rules[r];
    const auto rank = static_cast<int64_t>(r);
    if (rule.merged < n_vocab) created[rule.merged] = std::max(created[rule.merged], rank);
    if (rule.left < n_vocab) used[rule.left] = std::min(used[rule.left], rank);
    if (rule.right < n_vocab) used[rule.right] = std::min(used[rule.right], rank);
  }
  for (uint64_t id = 0; id < n_vocab; ++id) {
    if (created[id] >= 0 && used[id] <= created[id]) return false;
  }
  return true;
}

}  // namespace quorvane
