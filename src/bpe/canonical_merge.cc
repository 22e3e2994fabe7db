#include "bpe/canonical_merge.h"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <utility>

#ifdef __SSE2__
#include <emmintrin.h>
#endif

#include "bpe/heap_merge.h"

namespace quorvane {

namespace {

// Each pair is one 32-bit key, kKeyBase + (rank << 8 | position): the least key
// is the leftmost pair of the lowest rank, so one minimum over the keys finds
// both the rank and where it is, with no search for the position. Keys are the
// bit patterns of positive normal floats, which order as the integers do, so
// that minps takes a lane-wise minimum in one instruction (SSE2 has no 32-bit
// integer minimum).
constexpr uint32_t kKeyBase = 0x00800000u;  // the least normal float
constexpr uint32_t kNoPair = 0x7F800000u;   // +infinity: no pair at this position

// Keeps `rank` in the key below `limit`; ranks from `limit` on share the rank
// field `limit`, and the merger compares their full ranks itself. A pair
// without a rule gets the field `limit + 1`: arithmetic rather than a branch,
// since whether a pair has a rule is as good as random.
inline uint32_t field_key(uint32_t field, size_t position) {
  return kKeyBase + (field << 8 | static_cast<uint32_t>(position));
}
inline uint32_t pair_key(uint32_t rank, size_t position, uint32_t limit) {
  return field_key(std::min(rank, limit) + static_cast<uint32_t>(rank == kNone), position);
}

// The least of the keys p[0, 4 * kVectors), p 16-byte aligned; pairwise, so
// that the minima do not wait on one another.
#ifdef __SSE2__
template <size_t kVectors>
inline __m128 least_lanes(const uint32_t* p) {
  if constexpr (kVectors == 1) {
    return _mm_load_ps(reinterpret_cast<const float*>(p));
  } else {
    return _mm_min_ps(least_lanes<kVectors / 2>(p), least_lanes<kVectors / 2>(p + 2 * kVectors));
  }
}
#endif

template <size_t kVectors>
inline uint32_t least_key(const uint32_t* p) {
#ifdef __SSE2__
  __m128 m = least_lanes<kVectors>(p);
  m = _mm_min_ps(m, _mm_movehl_ps(m, m));
  m = _mm_min_ss(m, _mm_shuffle_ps(m, m, 1));
  return static_cast<uint32_t>(_mm_cvtsi128_si32(_mm_castps_si128(m)));
#else
  return *std::min_element(p, p + 4 * kVectors);
#endif
}

constexpr size_t kBlock = 8;      // keys per block minimum
constexpr size_t kMaxKeys = 256;  // the most that merge_keys keeps
static_assert(kCanonicalShortMax <= kMaxKeys, "positions are stored in bytes");

// i + 1 and i - 1 (255 for 0: no left neighbour), copied whole to start the links.
struct Links {
  uint8_t next[kMaxKeys + 1];
  uint8_t prev[kMaxKeys + 1];
};
constexpr Links initial_links() {
  Links links{};
  for (size_t i = 0; i <= kMaxKeys; ++i) {
    links.next[i] = static_cast<uint8_t>(i + 1);
    links.prev[i] = static_cast<uint8_t>(i - 1);
  }
  return links;
}
constexpr Links kInitialLinks = initial_links();

// Merges ids[0, n), n <= 4 * kKeyVectors; with kBlockVectors > 0 the
// keys are also kept as minima of blocks of kBlock, 4 * kBlockVectors blocks,
// so that a merge rescans the three blocks whose keys it changed and the search
// reads the block minima. Every size of work is fixed by the template: the
// loops have no exits that depend on the ranks. With kBuckets (a bucketed
// table) a probe gives the merged id beside the rank, kept per position, so
// that a merge takes it at once instead of waiting on a load that misses.
// With kAhead (a table too large for the cache) a probe also fetches the
// buckets that its pair's merge would probe next.
template <size_t kKeyVectors, size_t kBlockVectors, bool kBuckets, bool kAhead>
void merge_keys(const MergeMap& merges, uint32_t* ids, const uint32_t* pair_ranks, size_t n,
                uint32_t limit, std::vector<uint32_t>& output) {
  constexpr size_t kKeys = 4 * kKeyVectors;
  constexpr size_t kBlocks = 4 * kBlockVectors;
  static_assert(kBlockVectors == 0 || kBlocks * kBlock == kKeys);
  alignas(16) uint32_t keys[kKeys];
  alignas(16) uint32_t block_min[kBlocks > 0 ? kBlocks : 1];
  uint32_t merged[kBuckets ? kKeys : 1];  // of the pair at each position
  uint8_t next[kKeys + 1];                // positions 0 to n
  uint8_t prev[kKeys + 1];
  std::memcpy(next, kInitialLinks.next, sizeof(next));
  std::memcpy(prev, kInitialLinks.prev, sizeof(prev));
  std::fill(keys, keys + kKeys, kNoPair);
  [[maybe_unused]] const BucketProbe table = merges.bucket_probe();
  // What takes the field of the all-ones rank (clamped to the limit) to limit + 1.
  [[maybe_unused]] const uint32_t none_step =
      limit + 1 - std::min(static_cast<uint32_t>(table.rank_mask), limit);
  // The key of the pair (left, right) at `position`.
  const auto probe = [&](uint32_t left, uint32_t right, size_t position) {
    if constexpr (kBuckets) {
      const uint64_t slot = table.slot(left, right);
      const uint32_t made = table.merged(slot);
      merged[position] = made;
      if constexpr (kAhead) {
        // Should this pair merge, the next probes pair its merged id with the
        // ids on either side: fetch their buckets now, off the merge chain.
        // Past either end of the piece the id is an arbitrary one of it (masks,
        // as whether there is a neighbour is as good as random).
        const size_t far = next[next[position]];
        const size_t outer_left = prev[position] & (size_t{0} - (position > 0));
        const size_t outer_right = far ^ ((far ^ (n - 1)) & (size_t{0} - (far >= n)));
        __builtin_prefetch(table.buckets + table.home(table.hash(ids[outer_left], made)));
        __builtin_prefetch(table.buckets + table.home(table.hash(made, ids[outer_right])));
      }
      // No rule (the all-ones slot) takes the field to limit + 1: added as a
      // mask, since a condition becomes a branch as unpredictable as the text.
      const uint32_t none = 0u - static_cast<uint32_t>(slot == BucketProbe::kEmpty);
      return field_key(std::min(table.raw_rank(slot), limit) + (none & none_step), position);
    } else {
      return pair_key(merges.rank(left, right), position, limit);
    }
  };
  // The pairs the caller did not give are probed after the others, in one run
  // of independent lookups.
  if (pair_ranks == nullptr) {
    for (size_t i = 0; i + 1 < n; ++i) keys[i] = probe(ids[i], ids[i + 1], i);
  } else {
    uint8_t unknown[kKeys];
    size_t unknowns = 0;
    for (size_t i = 0; i + 1 < n; ++i) {
      keys[i] = pair_key(pair_ranks[i], i, limit);
      if constexpr (kBuckets) merged[i] = merges.merged_or_none(pair_ranks[i]);
      unknown[unknowns] = static_cast<uint8_t>(i);
      unknowns += pair_ranks[i] == kRankUnknown;
    }
    for (size_t k = 0; k < unknowns; ++k) {
      const size_t i = unknown[k];
      keys[i] = probe(ids[i], ids[i + 1], i);
    }
  }
  if constexpr (kBlocks > 0) {
    for (size_t b = 0; b < kBlocks; ++b) block_min[b] = least_key<2>(keys + b * kBlock);
  }
  // Keys from `beyond` on hold a rank past the limit, from `no_pair` on no pair.
  const uint32_t beyond = kKeyBase + (limit << 8);
  const uint32_t no_pair = beyond + 256;
  for (;;) {
    const uint32_t best =
        kBlocks > 0 ? least_key<kBlockVectors>(block_min) : least_key<kKeyVectors>(keys);
    size_t at = best & 0xFF;
    uint32_t rank = (best - kKeyBase) >> 8;
    if (best >= beyond) {
      if (best >= no_pair) break;
      // Every pair left ranks at or past the limit: compare their full ranks.
      rank = kNone;
      for (size_t p = 0; next[p] < n; p = next[p]) {
        if (keys[p] >= no_pair) continue;
        const uint32_t r = merges.rank(ids[p], ids[next[p]]);
        if (r < rank) {
          rank = r;
          at = p;
        }
      }
    }
    const size_t gone = next[at];
    const size_t after = next[gone];
    if constexpr (kBuckets) {
      ids[at] = merged[at];
    } else {
      ids[at] = merges.merged_of(rank);
    }
    keys[gone] = kNoPair;
    next[at] = static_cast<uint8_t>(after);
    prev[after] = static_cast<uint8_t>(at);  // prev[n] when there is no pair after
    size_t before = at;
    if constexpr (kBuckets) {
      // Both neighbours are probed whether they exist or not (a missing one as
      // the pair (0, 0), whose slot stays cached), and the key chosen after:
      // on a table that misses the cache, a branch on whether the merge was at
      // either end of the piece mispredicts more often than the probe costs.
      // Masks rather than conditions, which the compiler turns into branches.
      const uint32_t has_left = 0u - static_cast<uint32_t>(at > 0);
      const uint32_t has_right = 0u - static_cast<uint32_t>(after < n);
      before = at ^ ((at ^ prev[at]) & has_left);
      const size_t right_end = at ^ ((at ^ after) & has_right);
      // At the start of the piece `before` is `at`: the right pair's key and
      // merged id, written second, replace the left's.
      keys[before] = probe(ids[before] & has_left, ids[at] & has_left, before);
      const uint32_t right_key = probe(ids[at] & has_right, ids[right_end] & has_right, at);
      keys[at] = (right_key & has_right) | (kNoPair & ~has_right);
    } else {
      keys[at] = after < n ? probe(ids[at], ids[after], at) : kNoPair;
      if (at > 0) {
        before = prev[at];
        keys[before] = probe(ids[before], ids[at], before);
      }
    }
    if constexpr (kBlocks > 0) {
      // The changed keys lie in at most three blocks; one that is named twice is
      // rescanned twice rather than told apart.
      const size_t blocks[3] = {before / kBlock, at / kBlock, gone / kBlock};
      for (const size_t b : blocks) block_min[b] = least_key<2>(keys + b * kBlock);
    }
  }
  // The survivors move to the front in order (each moves left, if at all).
  size_t kept = 0;
  for (size_t i = 0; i < n; i = next[i]) ids[kept++] = ids[i];
  output.insert(output.end(), ids, ids + kept);
}

// The least work that holds the n positions: all keys up to 32, block minima
// beyond. Position n - 1 has no pair, but a merge writes its key.
template <bool kBuckets, bool kAhead>
void merge_sized(const MergeMap& merges, uint32_t* ids, const uint32_t* pair_ranks, size_t n,
                 uint32_t limit, std::vector<uint32_t>& output) {
  if (n <= 8) {
    merge_keys<2, 0, kBuckets, kAhead>(merges, ids, pair_ranks, n, limit, output);
  } else if (n <= 16) {
    merge_keys<4, 0, kBuckets, kAhead>(merges, ids, pair_ranks, n, limit, output);
  } else if (n <= 32) {
    merge_keys<8, 0, kBuckets, kAhead>(merges, ids, pair_ranks, n, limit, output);
  } else if (n <= 64) {
    merge_keys<16, 2, kBuckets, kAhead>(merges, ids, pair_ranks, n, limit, output);
  } else if (n <= 128) {
    merge_keys<32, 4, kBuckets, kAhead>(merges, ids, pair_ranks, n, limit, output);
  } else {
    merge_keys<64, 8, kBuckets, kAhead>(merges, ids, pair_ranks, n, limit, output);
  }
}

}  // namespace

void canonical_merge_short(const MergeMap& merges, uint32_t* ids, const uint32_t* pair_ranks,
                           size_t n, std::vector<uint32_t>& output) {
  canonical_merge_short_limited(merges, ids, pair_ranks, n, kCanonicalKeyRankLimit, output);
}

void canonical_merge_short_limited(const MergeMap& merges, uint32_t* ids,
                                   const uint32_t* pair_ranks, size_t n, uint32_t rank_limit,
                                   std::vector<uint32_t>& output) {
  const uint32_t limit = std::min(rank_limit, kCanonicalKeyRankLimit);
  if (!merges.bucketed()) {
    merge_sized<false, false>(merges, ids, pair_ranks, n, limit, output);
  } else if (merges.bucket_probe().prefetch) {
    merge_sized<true, true>(merges, ids, pair_ranks, n, limit, output);
  } else {
    merge_sized<true, false>(merges, ids, pair_ranks, n, limit, output);
  }
}

// Linked list and heap: n log n on any length.
void canonical_merge_long(const MergeMap& merges, MergeScratch& s) {
  heap_merge(merges, s.piece, s.prev, s.next, s.pairs, s.heap, [](uint32_t, uint32_t) {});
  const auto end = static_cast<uint32_t>(s.piece.size());
  s.collected.clear();
  for (uint32_t i = 0; i != end; i = s.next[i]) s.collected.push_back(s.piece[i]);
  std::swap(s.piece, s.collected);
  s.output.insert(s.output.end(), s.piece.begin(), s.piece.end());
}

}  // namespace quorvane
