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

// Merges ids[0, n), n <= 4 * kKeyVectors, one merge per step; with
// kBlockVectors > 0 the keys are also kept as minima of blocks of kBlock,
// 4 * kBlockVectors blocks, so that a merge rescans the three blocks whose keys
// it changed and the search reads the block minima. Every size of work is fixed
// by the template: the loops have no exits that depend on the ranks. With
// kBuckets (a bucketed table) a probe gives the merged id beside the rank, kept
// per position, so that a merge takes it at once instead of waiting on a load
// that misses. With kAhead (a table too large for the cache) a probe also
// fetches the buckets that its pair's merge would probe next.
template <size_t kKeyVectors, size_t kBlockVectors, bool kBuckets, bool kAhead>
class KeyMerge {
 public:
  // Probes the pairs of ids[0, n) (see canonical_merge_short for pair_ranks).
  [[gnu::always_inline]] KeyMerge(const MergeMap& merges, const BucketProbe& table, uint32_t* ids,
                                  const uint32_t* pair_ranks, size_t n, uint32_t limit)
      : merges_(merges),
        table_(table),
        ids_(ids),
        n_(n),
        limit_(limit),
        none_step_(limit + 1 - std::min(static_cast<uint32_t>(table.rank_mask), limit)),
        beyond_(kKeyBase + (limit << 8)),
        no_pair_(beyond_ + 256) {
    std::memcpy(next_, kInitialLinks.next, sizeof(next_));
    std::memcpy(prev_, kInitialLinks.prev, sizeof(prev_));
    std::fill(keys_, keys_ + kKeys, kNoPair);
    // The pairs the caller did not give are probed after the others, in one run
    // of independent lookups.
    if (pair_ranks == nullptr) {
      for (size_t i = 0; i + 1 < n; ++i) keys_[i] = probe(ids[i], ids[i + 1], i);
    } else {
      uint8_t unknown[kKeys];
      size_t unknowns = 0;
      for (size_t i = 0; i + 1 < n; ++i) {
        keys_[i] = pair_key(pair_ranks[i], i, limit);
        if constexpr (kBuckets) merged_[i] = merges.merged_or_none(pair_ranks[i]);
        unknown[unknowns] = static_cast<uint8_t>(i);
        unknowns += pair_ranks[i] == kRankUnknown;
      }
      for (size_t k = 0; k < unknowns; ++k) {
        const size_t i = unknown[k];
        keys_[i] = probe(ids[i], ids[i + 1], i);
      }
    }
    if constexpr (kBlocks > 0) {
      for (size_t b = 0; b < kBlocks; ++b) block_min_[b] = least_key<2>(keys_ + b * kBlock);
    }
  }

  // Takes the next merge; false when no pair is left.
  [[gnu::always_inline]] bool step() {
    if (!begin<false>()) return false;
    end();
    return true;
  }

  // The first half of a merge, up to the fetch of the lines that its probes
  // read (with kFetch); false when no pair is left. Merging several pieces, the
  // halves of all go first, so that their probes' lines come at once.
  template <bool kFetch = true>
  [[gnu::always_inline]] bool begin() {
    const uint32_t best =
        kBlocks > 0 ? least_key<kBlockVectors>(block_min_) : least_key<kKeyVectors>(keys_);
    size_t at = best & 0xFF;
    uint32_t rank = (best - kKeyBase) >> 8;
    if (best >= beyond_) {
      if (best >= no_pair_) return false;
      // Every pair left ranks at or past the limit: compare their full ranks.
      rank = kNone;
      for (size_t p = 0; next_[p] < n_; p = next_[p]) {
        if (keys_[p] >= no_pair_) continue;
        const uint32_t r = merges_.rank(ids_[p], ids_[next_[p]]);
        if (r < rank) {
          rank = r;
          at = p;
        }
      }
    }
    const size_t gone = next_[at];
    const size_t after = next_[gone];
    if constexpr (kBuckets) {
      ids_[at] = merged_[at];
    } else {
      ids_[at] = merges_.merged_of(rank);
    }
    keys_[gone] = kNoPair;
    next_[at] = static_cast<uint8_t>(after);
    prev_[after] = static_cast<uint8_t>(at);  // prev[n] when there is no pair after
    at_ = at;
    gone_ = gone;
    before_ = at;
    if constexpr (kBuckets) {
      // Both neighbours are probed whether they exist or not (a missing one as
      // the pair (0, 0), whose slot stays cached), and the key chosen after:
      // on a table that misses the cache, a branch on whether the merge was at
      // either end of the piece mispredicts more often than the probe costs.
      // Masks rather than conditions, which the compiler turns into branches.
      has_left_ = 0u - static_cast<uint32_t>(at > 0);
      has_right_ = 0u - static_cast<uint32_t>(after < n_);
      before_ = at ^ ((at ^ prev_[at]) & has_left_);
      right_end_ = at ^ ((at ^ after) & has_right_);
      if constexpr (kFetch) {
        __builtin_prefetch(table_.buckets + table_.home(table_.hash(ids_[before_] & has_left_,
                                                                    ids_[at] & has_left_)));
        __builtin_prefetch(
            table_.buckets +
            table_.home(table_.hash(ids_[at] & has_right_, ids_[right_end_] & has_right_)));
      }
    } else {
      keys_[at] = after < n_ ? probe(ids_[at], ids_[after], at) : kNoPair;
      if (at > 0) {
        before_ = prev_[at];
        keys_[before_] = probe(ids_[before_], ids_[at], before_);
      }
    }
    return true;
  }

  // The rest of the merge that begin started: the probes of the pairs it made.
  [[gnu::always_inline]] void end() {
    if constexpr (kBuckets) {
      // At the start of the piece `before` is `at`: the right pair's key and
      // merged id, written second, replace the left's.
      const size_t at = at_;
      keys_[before_] = probe(ids_[before_] & has_left_, ids_[at] & has_left_, before_);
      const uint32_t right_key = probe(ids_[at] & has_right_, ids_[right_end_] & has_right_, at);
      keys_[at] = (right_key & has_right_) | (kNoPair & ~has_right_);
    }
    if constexpr (kBlocks > 0) {
      // The changed keys lie in at most three blocks; one that is named twice is
      // rescanned twice rather than told apart.
      const size_t blocks[3] = {before_ / kBlock, at_ / kBlock, gone_ / kBlock};
      for (const size_t b : blocks) block_min_[b] = least_key<2>(keys_ + b * kBlock);
    }
  }

  // Moves the survivors to the front in order (each moves left, if at all) and
  // returns how many there are.
  size_t finish() {
    size_t kept = 0;
    for (size_t i = 0; i < n_; i = next_[i]) ids_[kept++] = ids_[i];
    return kept;
  }

 private:
  static constexpr size_t kKeys = 4 * kKeyVectors;
  static constexpr size_t kBlocks = 4 * kBlockVectors;
  static_assert(kBlockVectors == 0 || kBlocks * kBlock == kKeys);

  // The key of the pair (left, right) at `position`.
  [[gnu::always_inline]] uint32_t probe(uint32_t left, uint32_t right, size_t position) {
    if constexpr (kBuckets) {
      const uint64_t slot = table_.slot(left, right);
      const uint32_t made = table_.merged(slot);
      merged_[position] = made;
      if constexpr (kAhead) {
        // Should this pair merge, the next probes pair its merged id with the
        // ids on either side: fetch their buckets now, off the merge chain.
        // Past either end of the piece the id is an arbitrary one of it (masks,
        // as whether there is a neighbour is as good as random).
        const size_t far = next_[next_[position]];
        const size_t outer_left = prev_[position] & (size_t{0} - (position > 0));
        const size_t outer_right = far ^ ((far ^ (n_ - 1)) & (size_t{0} - (far >= n_)));
        __builtin_prefetch(table_.buckets + table_.home(table_.hash(ids_[outer_left], made)));
        __builtin_prefetch(table_.buckets + table_.home(table_.hash(made, ids_[outer_right])));
      }
      // No rule (the all-ones slot) takes the field to limit + 1: added as a
      // mask, since a condition becomes a branch as unpredictable as the text.
      const uint32_t none = 0u - static_cast<uint32_t>(slot == BucketProbe::kEmpty);
      return field_key(std::min(table_.raw_rank(slot), limit_) + (none & none_step_), position);
    } else {
      return pair_key(merges_.rank(left, right), position, limit_);
    }
  }

  const MergeMap& merges_;
  const BucketProbe& table_;
  uint32_t* const ids_;
  const size_t n_;
  const uint32_t limit_;
  // What takes the field of the all-ones rank (clamped to the limit) to limit + 1.
  const uint32_t none_step_;
  // Keys from beyond_ on hold a rank past the limit, from no_pair_ on no pair.
  const uint32_t beyond_;
  const uint32_t no_pair_;
  // What begin leaves to end: the merge's position, the one merged into it,
  // the left pair's start and the right pair's end, and which of the pairs exist.
  size_t at_ = 0;
  size_t gone_ = 0;
  size_t before_ = 0;
  size_t right_end_ = 0;
  uint32_t has_left_ = 0;
  uint32_t has_right_ = 0;
  alignas(16) uint32_t keys_[kKeys];
  alignas(16) uint32_t block_min_[kBlocks > 0 ? kBlocks : 1];
  uint32_t merged_[kBuckets ? kKeys : 1];  // of the pair at each position
  uint8_t next_[kKeys + 1];                // positions 0 to n
  uint8_t prev_[kKeys + 1];
};

// Calls `merge` with the least KeyMerge that holds n positions: all keys up to
// 32, block minima beyond. Position n - 1 has no pair, but a merge writes its key.
template <bool kBuckets, bool kAhead, class Merge>
[[gnu::always_inline]] inline auto with_sized(size_t n, Merge&& merge) {
  if (n <= 8) return merge.template operator()<KeyMerge<2, 0, kBuckets, kAhead>>();
  if (n <= 16) return merge.template operator()<KeyMerge<4, 0, kBuckets, kAhead>>();
  if (n <= 32) return merge.template operator()<KeyMerge<8, 0, kBuckets, kAhead>>();
  if (n <= 64) return merge.template operator()<KeyMerge<16, 2, kBuckets, kAhead>>();
  if (n <= 128) return merge.template operator()<KeyMerge<32, 4, kBuckets, kAhead>>();
  return merge.template operator()<KeyMerge<64, 8, kBuckets, kAhead>>();
}

// with_sized for n <= kCanonicalPairMax.
template <bool kBuckets, bool kAhead, class Merge>
[[gnu::always_inline]] inline auto with_pair_sized(size_t n, Merge&& merge) {
  static_assert(kCanonicalPairMax == 32);
  if (n <= 8) return merge.template operator()<KeyMerge<2, 0, kBuckets, kAhead>>();
  if (n <= 16) return merge.template operator()<KeyMerge<4, 0, kBuckets, kAhead>>();
  return merge.template operator()<KeyMerge<8, 0, kBuckets, kAhead>>();
}

template <bool kBuckets, bool kAhead>
size_t merge_sized(const MergeMap& merges, uint32_t* ids, const uint32_t* pair_ranks, size_t n,
                   uint32_t limit) {
  const BucketProbe table = kBuckets ? merges.bucket_probe() : BucketProbe{};
  return with_sized<kBuckets, kAhead>(n, [&]<class Merge>() {
    Merge merge(merges, table, ids, pair_ranks, n, limit);
    while (merge.step()) {
    }
    return merge.finish();
  });
}

// kCanonicalTogether pieces, one merge of each per round: each merge waits on
// the probes of the one before it, and on a table that misses the cache the
// pieces' waits overlap. Each round fetches the lines of all the pieces'
// probes before any is probed, which leaves nothing for the probes to fetch
// ahead. All take the size of the longest: a search over more keys costs less
// than a dispatch per piece. A piece that is done is stepped again, finding no
// pair, rather than branched around.
template <bool kBuckets>
void merge_together_sized(const MergeMap& merges, PieceMerge* pieces, uint32_t limit) {
  constexpr size_t kPieces = kCanonicalTogether;
  const BucketProbe table = kBuckets ? merges.bucket_probe() : BucketProbe{};
  size_t longest = 0;
  for (size_t k = 0; k < kPieces; ++k) longest = std::max(longest, pieces[k].n);
  with_pair_sized<kBuckets, false>(longest, [&]<class Merge>() {
    [&]<size_t... kIndex>(std::index_sequence<kIndex...>) {
      Merge merge[kPieces] = {Merge(merges, table, pieces[kIndex].ids, pieces[kIndex].pair_ranks,
                                    pieces[kIndex].n, limit)...};
      bool on[kPieces];
      bool any = true;
      while (any) {
        ((on[kIndex] = merge[kIndex].begin()), ...);
        ((on[kIndex] ? merge[kIndex].end() : void()), ...);
        any = (on[kIndex] | ...);
      }
      ((pieces[kIndex].kept = merge[kIndex].finish()), ...);
    }
    (std::make_index_sequence<kPieces>());
  });
}

}  // namespace

void canonical_merge_short(const MergeMap& merges, uint32_t* ids, const uint32_t* pair_ranks,
                           size_t n, std::vector<uint32_t>& output) {
  canonical_merge_short_limited(merges, ids, pair_ranks, n, kCanonicalKeyRankLimit, output);
}

void canonical_merge_short_limited(const MergeMap& merges, uint32_t* ids,
                                   const uint32_t* pair_ranks, size_t n, uint32_t rank_limit,
                                   std::vector<uint32_t>& output) {
  const size_t kept = canonical_merge_in_place(merges, ids, pair_ranks, n, rank_limit);
  output.insert(output.end(), ids, ids + kept);
}

size_t canonical_merge_in_place(const MergeMap& merges, uint32_t* ids, const uint32_t* pair_ranks,
                                size_t n, uint32_t rank_limit) {
  const uint32_t limit = std::min(rank_limit, kCanonicalKeyRankLimit);
  if (!merges.bucketed()) return merge_sized<false, false>(merges, ids, pair_ranks, n, limit);
  if (merges.bucket_probe().prefetch) {
    return merge_sized<true, true>(merges, ids, pair_ranks, n, limit);
  }
  return merge_sized<true, false>(merges, ids, pair_ranks, n, limit);
}

void canonical_merge_together(const MergeMap& merges, PieceMerge* pieces, uint32_t rank_limit) {
  const uint32_t limit = std::min(rank_limit, kCanonicalKeyRankLimit);
  if (merges.bucketed()) {
    merge_together_sized<true>(merges, pieces, limit);
  } else {
    merge_together_sized<false>(merges, pieces, limit);
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
