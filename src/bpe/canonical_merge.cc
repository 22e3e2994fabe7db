#include "bpe/canonical_merge.h"

#include <algorithm>
#include <cstdint>
#include <utility>

#ifdef __SSE2__
#include <emmintrin.h>
#endif

#include "bpe/heap_merge.h"

namespace quorvane {

namespace {

#ifdef __SSE2__
// Lane-wise minimum of ranks whose top bit was flipped (signed order = rank
// order); SSE2 has neither an unsigned compare nor a 32-bit minimum.
inline __m128i min_flipped(__m128i a, __m128i b) {
  const __m128i less = _mm_cmplt_epi32(a, b);
  return _mm_or_si128(_mm_and_si128(less, a), _mm_andnot_si128(less, b));
}

inline __m128i load_flipped(const uint32_t* p) {
  return _mm_xor_si128(_mm_loadu_si128(reinterpret_cast<const __m128i*>(p)),
                       _mm_set1_epi32(INT32_MIN));
}

// The smallest lane of a flipped vector, as a rank.
inline uint32_t horizontal_min(__m128i v) {
  v = min_flipped(v, _mm_shuffle_epi32(v, _MM_SHUFFLE(1, 0, 3, 2)));
  v = min_flipped(v, _mm_shuffle_epi32(v, _MM_SHUFFLE(2, 3, 0, 1)));
  return static_cast<uint32_t>(_mm_cvtsi128_si32(v)) ^ 0x80000000u;
}

// First lane of p[0, 4 * blocks) equal to `value`, which must be there.
inline size_t first_equal(const uint32_t* p, uint32_t value) {
  const __m128i target = _mm_set1_epi32(static_cast<int>(value));
  for (size_t i = 0;; i += 4) {
    const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + i));
    const int hit = _mm_movemask_ps(_mm_castsi128_ps(_mm_cmpeq_epi32(v, target)));
    if (hit != 0) return i + static_cast<size_t>(__builtin_ctz(static_cast<unsigned>(hit)));
  }
}
#endif

// Smallest of p[0, 8).
inline uint32_t min_of_8(const uint32_t* p) {
#ifdef __SSE2__
  return horizontal_min(min_flipped(load_flipped(p), load_flipped(p + 4)));
#else
  return *std::min_element(p, p + 8);
#endif
}

// Smallest of p[0, n), n a multiple of 4.
inline uint32_t min_of(const uint32_t* p, size_t n) {
#ifdef __SSE2__
  __m128i best = load_flipped(p);
  for (size_t i = 4; i < n; i += 4) best = min_flipped(best, load_flipped(p + i));
  return horizontal_min(best);
#else
  return *std::min_element(p, p + n);
#endif
}

// Position of the first of p[0, ...) equal to `value`, which must be there.
inline size_t position_of(const uint32_t* p, uint32_t value) {
#ifdef __SSE2__
  return first_equal(p, value);
#else
  return static_cast<size_t>(std::find(p, p + SIZE_MAX / 8, value) - p);
#endif
}

}  // namespace

// In place on ids[0, n): the leftmost
// minimum of the pair ranks, merged one at a time. Positions keep their slots:
// a merged-away position's pair rank becomes kNone and the survivors are
// linked, so a merge moves nothing. Only the ranks are looked up, one load
// each: the merged id is read by rank for the pairs that do merge. The ranks are kept in blocks of
// 8 with each block's minimum, so that a merge rescans only the blocks whose ranks it changed, and
// the search for the next one reads the block minima.
void canonical_merge_short(const MergeMap& merges, uint32_t* ids, const uint32_t* pair_ranks,
                           size_t n, std::vector<uint32_t>& output) {
  constexpr size_t kBlock = 8;
  constexpr size_t kPlainScanMax = 24;
  constexpr size_t kMaxBlocks = (kCanonicalShortMax + kBlock - 1) / kBlock;
  // Rank of the pair starting at each position, kNone past the last one.
  uint32_t ranks[kMaxBlocks * kBlock];
  uint32_t block_min[(kMaxBlocks + 3) & ~size_t{3}];
  uint8_t next[kCanonicalShortMax];
  uint8_t prev[kCanonicalShortMax];
  const size_t blocks = (n + kBlock - 1) / kBlock;
  const size_t padded_blocks = (blocks + 3) & ~size_t{3};
  for (size_t i = 0; i + 1 < n; ++i) {
    const bool given = pair_ranks != nullptr && pair_ranks[i] != kRankUnknown;
    ranks[i] = given ? pair_ranks[i] : merges.rank(ids[i], ids[i + 1]);
    next[i] = static_cast<uint8_t>(i + 1);
    prev[i] = static_cast<uint8_t>(i - 1);  // 255 for position 0: no left neighbour
  }
  for (size_t i = n - 1; i < blocks * kBlock; ++i) ranks[i] = kNone;
  next[n - 1] = static_cast<uint8_t>(n);
  prev[n - 1] = static_cast<uint8_t>(n - 2);
  // Up to a few blocks, a scan of all ranks costs less than keeping the minima.
  const bool by_blocks = n > kPlainScanMax;
  for (size_t b = 0; by_blocks && b < blocks; ++b) block_min[b] = min_of_8(ranks + b * kBlock);
  for (size_t b = blocks; b < padded_blocks; ++b) block_min[b] = kNone;
  for (;;) {
    size_t block;
    size_t at;
    if (by_blocks) {
      const uint32_t best = min_of(block_min, padded_blocks);
      if (best == kNone) break;
      block = position_of(block_min, best);
      at = block * kBlock + position_of(ranks + block * kBlock, best);
    } else {
      const uint32_t best = min_of(ranks, blocks * kBlock);
      if (best == kNone) break;
      at = position_of(ranks, best);
      block = at / kBlock;
    }
    const size_t gone = next[at];
    const size_t after = next[gone];
    ids[at] = merges.merged_of(ranks[at]);
    ranks[gone] = kNone;
    next[at] = static_cast<uint8_t>(after);
    if (after < n) {
      prev[after] = static_cast<uint8_t>(at);
      ranks[at] = merges.rank(ids[at], ids[after]);
    } else {
      ranks[at] = kNone;
    }
    size_t before_block = block;
    if (at > 0) {
      const size_t before = prev[at];
      ranks[before] = merges.rank(ids[before], ids[at]);
      before_block = before / kBlock;
    }
    if (!by_blocks) continue;
    // The changed ranks lie in at most three blocks.
    block_min[block] = min_of_8(ranks + block * kBlock);
    if (gone / kBlock != block) {
      block_min[gone / kBlock] = min_of_8(ranks + gone / kBlock * kBlock);
    }
    if (before_block != block) block_min[before_block] = min_of_8(ranks + before_block * kBlock);
  }
  for (size_t i = 0; i < n; i = next[i]) output.push_back(ids[i]);
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
