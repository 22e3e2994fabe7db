// Merge rules and the tables built from them at load time:
//   MergeRule        one resolved merge (its index in the rule list is its rank)
//   MergeLayout      how a MergeMap lays out its slots, chosen at load per model kind
//   MergeBucket      one cache line of the bucketed layout
//   BucketProbe      the bucketed layout's lookup, by value for hot loops
//   MergeMap         open-addressing table (left, right) -> (rank, merged id)
//   StreamTables     the rules plus the streaming merger's three index tables
//   merges_are_monotonic  whether merging in rank order never revisits a pair
//   MergeModel       all the mergers read of a model: the tables and two flags
// All of it is built once by the loader and only read afterwards.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "bpe/huge_page_allocator.h"

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

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

// kLinear suits the mergers that read ranks and take a merged id once per
// merge; kBuckets suits the canonical merger on large tables, where every
// probe misses the cache and a merge waits on the merged id: one probe gives
// rank and merged id together, without a branch on where the pair lies.
enum class MergeLayout { kLinear, kBuckets };

// Eight slots of the bucketed layout in one cache line (see MergeMap): all
// ones in an unused slot.
struct alignas(64) MergeBucket {
  static constexpr unsigned kSlots = 8;
  uint64_t slots[kSlots];
};

// The bucketed table as its lookups read it, by value: a hot loop keeps a copy
// so that the fields stay in registers across the loop's stores.
struct BucketProbe {
  static constexpr uint64_t kEmpty = ~uint64_t{0};
  // Fibonacci hashing: the top bits of the product mix every bit of the pair.
  static constexpr uint64_t kMultiplier = 0x9E3779B97F4A7C15ULL;

  const MergeBucket* buckets;
  uint64_t left_multiplier;  // kMultiplier << id bits: the pair is left << id bits | right
  uint64_t bucket_mask;      // buckets - 1
  uint64_t rank_mask;        // the slot's rank bits (its low bits); all ones is no rank
  uint32_t id_max;           // the largest id the pair holds
  uint32_t word_mask;        // the word's bits in the slot's upper half (its top bits)
  uint32_t merged_mask;      // the merged id's bits, above the rank's
  unsigned home_shift;       // the home bucket is the hash's pair bits from here up
  uint32_t word_factor;      // the word is the hash's low bits, times this to the top of 32
  unsigned rank_bits;
  uint32_t word_mask_lanes[4];  // word_mask in each lane, ready for the compare
  // The table is too large to stay in a core's cache: worth fetching ahead.
  bool prefetch;

  uint64_t hash(uint32_t left, uint32_t right) const {
    return left * left_multiplier + right * kMultiplier;
  }
  uint64_t home(uint64_t hash) const { return (hash >> home_shift) & bucket_mask; }
  // The slot's upper half holds the word in its top bits.
  uint32_t word(uint64_t hash) const { return static_cast<uint32_t>(hash) * word_factor; }

  // The pair's slot: the lowest rank of the pair, or all ones (no rule).
  // Inlined whatever the caller's size: a call would cost more than the probe's
  // work on a hit.
  [[gnu::always_inline]] uint64_t slot(uint32_t left, uint32_t right) const {
    // No rule has an id of more bits than the hash takes.
    if (__builtin_expect((left | right) > id_max, 0)) return kEmpty;
    const uint64_t h = hash(left, right);
    const uint32_t want = word(h);
    uint64_t b = home(h);
    for (;;) {
      const MergeBucket& bucket = buckets[b];
      const unsigned hits = match_mask(bucket, want);
      // The first hit is the pair's lowest rank (a repeated pair's later rule
      // sits after it), or an unused slot, which reads as no rule. Without a
      // hit the last slot is read: unused, unless the search goes on.
      const uint64_t found = bucket.slots[__builtin_ctz(hits | 0x80u)];
      // One branch, taken unless the pair is missing from a full bucket: a
      // branch on whether the pair was found would be as unpredictable as text.
      if (__builtin_expect((hits | (found == kEmpty)) != 0, 1)) return found;
      b = (b + 1) & bucket_mask;
    }
  }
  // A slot's rank field: rank_mask when the slot holds no rule.
  uint32_t raw_rank(uint64_t slot) const { return static_cast<uint32_t>(slot & rank_mask); }
  // A slot's merged id (meaningless when it holds no rule).
  uint32_t merged(uint64_t slot) const {
    return static_cast<uint32_t>(slot >> rank_bits) & merged_mask;
  }
  MergeHit find(uint32_t left, uint32_t right) const {
    const uint64_t found = slot(left, right);
    const uint32_t rank = raw_rank(found);
    const uint32_t none = uint32_t{0} - (rank == rank_mask);
    return {rank | none, merged(found) | none};
  }

  // Bit i set where slot i's word is `want` (whose other bits are zero).
  [[gnu::always_inline]] unsigned match_mask(const MergeBucket& bucket, uint32_t want) const {
#if defined(__SSE2__)
    const __m128i wanted = _mm_set1_epi32(static_cast<int>(want));
    const __m128i mask = _mm_loadu_si128(reinterpret_cast<const __m128i*>(word_mask_lanes));
    const auto* s = reinterpret_cast<const float*>(bucket.slots);
    // The upper halves of slots 0 to 3, then 4 to 7.
    const auto upper = [&](int i) {
      return _mm_castps_si128(_mm_shuffle_ps(_mm_load_ps(s + 8 * i), _mm_load_ps(s + 8 * i + 4),
                                             _MM_SHUFFLE(3, 1, 3, 1)));
    };
    const auto eq = [&](int i) { return _mm_cmpeq_epi32(_mm_and_si128(upper(i), mask), wanted); };
    const __m128i words = _mm_packs_epi32(eq(0), eq(1));
    return static_cast<unsigned>(_mm_movemask_epi8(_mm_packs_epi16(words, words))) & 0xFFu;
#else
    unsigned hits = 0;
    for (unsigned i = 0; i < MergeBucket::kSlots; ++i) {
      hits |= unsigned{(static_cast<uint32_t>(bucket.slots[i] >> 32) & word_mask) == want} << i;
    }
    return hits;
#endif
  }
};

// Linear: slots of 8 bytes, the pair and its rank packed into one word, so that
// the table of a 200k-rule vocabulary takes 4 MiB and a probe reads one word;
// the merged ids sit in a per-rank array that a merge reads once. Tables whose
// ids or ranks do not fit the packing use two words per slot instead.
//
// Buckets: eight slots of 8 bytes in one 64-byte line, each the pair's word,
// its merged id and its rank. The pair (left, right), as one number of
// 2 * id bits, is hashed by an invertible multiplication; the hash's top bits
// choose the home bucket and its low bits are the word. A bucket fills from its
// first slot; a pair whose home is full goes to the next bucket with room, and
// a search compares all eight words of a bucket at once and ends at the first
// bucket that holds the pair or has room. Where the word cannot hold the whole
// hash it keeps the low bits of the home's index, which tell homes apart as
// long as runs of full buckets stay shorter than those bits count; a table
// where they do not, or whose fields do not fit 64 bits, is built linear.
class MergeMap {
 public:
  // Packed slot: left id in the top kIdBits, right id in the next kIdBits, rank
  // in the low kRankBits. All ones marks an empty slot.
  static constexpr unsigned kIdBits = 21;
  static constexpr unsigned kRankBits = 64 - 2 * kIdBits;
  static constexpr uint64_t kEmpty = ~uint64_t{0};
  static constexpr uint64_t kMultiplier = BucketProbe::kMultiplier;

  MergeMap();  // the table of no rules: 16 empty slots
  // Lookups must pass ids below `id_limit` (the vocabulary size); without it,
  // the largest id of the rules plus one. Sets `*repeated_pair` (when given) if
  // some pair has two rules.
  static MergeMap build(const std::vector<MergeRule>& rules, uint64_t id_limit,
                        bool* repeated_pair = nullptr, MergeLayout layout = MergeLayout::kLinear);
  static MergeMap build(const std::vector<MergeRule>& rules);

  // The rank of the pair's rule, or kNone.
  uint32_t rank(uint32_t left, uint32_t right) const {
    if (__builtin_expect(!linear_packed_, 0)) return find_unpacked(left, right).rank;
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
  // Starts fetching merged_of(rank) for any rank (kNone included), so that a
  // merge that takes it later need not wait on the per-rank array.
  void prefetch_merged(uint32_t rank) const {
    __builtin_prefetch(merged_.data() + std::min<size_t>(rank, merged_.size() - 1));
  }
  // merged_of for any rank: kNone beyond the rules.
  uint32_t merged_or_none(uint32_t rank) const {
    return merged_[std::min<size_t>(rank, merged_.size() - 1)];
  }

  MergeHit find(uint32_t left, uint32_t right) const {
    if (__builtin_expect(!linear_packed_, 0)) return find_unpacked(left, right);
    const uint32_t r = rank(left, right);
    return {r, r == kNone ? kNone : merged_[r]};
  }

  // The bucketed table's lookups (bucketed() only).
  BucketProbe bucket_probe() const {
    BucketProbe probe = probe_;
    probe.buckets = buckets_.data();
    return probe;
  }

  bool bucketed() const { return bucketed_; }
  size_t slot_count() const {
    return bucketed_ ? buckets_.size() * MergeBucket::kSlots : mask_ + 1;
  }
  size_t used_slots() const;
  bool packed() const { return !wide_; }
  size_t size_bytes() const {
    return slots_.size() * sizeof(uint64_t) + buckets_.size() * sizeof(MergeBucket) +
           merged_.size() * sizeof(uint32_t);
  }

 private:
  static constexpr uint64_t kRankMask = (uint64_t{1} << kRankBits) - 1;

  static uint64_t packed_key(uint32_t left, uint32_t right) {
    return (static_cast<uint64_t>(left) << (kIdBits + kRankBits)) |
           (static_cast<uint64_t>(right) << kRankBits);
  }
  // Sets the bucket layout's fields for these rules; false when they do not fit.
  bool shape_buckets(const std::vector<MergeRule>& rules, uint64_t id_limit, size_t slot_count);
  // Fills buckets_ for the shape set in the fields; false when a run of full
  // buckets is too long for the words to tell homes apart.
  bool fill_buckets(const std::vector<MergeRule>& rules, bool* repeated);
  uint32_t rank_wide(uint32_t left, uint32_t right) const;
  // find on a bucketed or wide table: out of line, so that the packed linear
  // lookups stay small enough to inline.
  MergeHit find_unpacked(uint32_t left, uint32_t right) const;

  // Linear packed: one word per slot. Wide: two (merge_key, 0 = empty; then the rank).
  std::vector<uint64_t> slots_;
  // Probed at random over megabytes (gemma3: 8 MiB): on huge pages, where
  // probes also miss the TLB less (see HugePageAllocator).
  std::vector<MergeBucket, HugePageAllocator<MergeBucket>> buckets_{
      HugePageAllocator<MergeBucket>(true)};
  std::vector<uint32_t> merged_;  // per rank, then kNone
  uint64_t mask_;                 // slots - 1 (linear)
  unsigned shift_;
  BucketProbe probe_{};  // the bucket layout's fields but its buckets
  unsigned home_bits_in_word_ = 0;
  bool linear_packed_ = true;
  bool bucketed_ = false;
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
