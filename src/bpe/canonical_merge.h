// The canonical merger: canonical BPE (lowest rank first, leftmost among equal
// ranks) one merge at a time, correct on every table, monotonic or not.
//   canonical_merge_short     in place on up to kCanonicalShortMax ids, no allocation
//   canonical_merge_in_place  the same, leaving the result at the front of the ids
//   canonical_merge_together  kCanonicalTogether short pieces side by side
//   canonical_merge_long      any length, through the heap merger (n log n)
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>
#include <utility>
#include <vector>

#include "bpe/bpe_merge.h"
#include "bpe/merge_table.h"

namespace quorvane {

// Above this many ids the leftmost-minimum search after every merge (over
// block minima, four per instruction) costs more than the heap merger's
// n log n. Measured on mail (base64 lines are words of 76 ids): the search
// beats the heap up to here; positions are stored in bytes.
inline constexpr size_t kCanonicalShortMax = 248;
static_assert(kCanonicalShortMax < 255, "positions are stored in bytes");

// canonical_merge_short packs a pair's rank and position into 32 bits. Ranks
// from here on (beyond any real vocabulary) do not fit: the merger compares
// those pairs by probing again, slowly but exactly.
inline constexpr uint32_t kCanonicalKeyRankLimit = 0x7EFFFE;

// A pair the caller did not look up: the merger probes the table for it.
inline constexpr uint32_t kRankUnknown = 0xFFFFFFFEu;

// Merges ids[0, n), 2 <= n <= kCanonicalShortMax, and appends the result to
// `output`. `pair_ranks`, when given, holds what merges.rank gives for each
// pair (ids[i], ids[i + 1]) that the caller already knows, and kRankUnknown
// for the others.
void canonical_merge_short(const MergeMap& merges, uint32_t* ids, const uint32_t* pair_ranks,
                           size_t n, std::vector<uint32_t>& output);

// canonical_merge_short with the packed ranks capped at
// min(rank_limit, kCanonicalKeyRankLimit), so that tests reach the path for
// ranks beyond the cap on small tables.
void canonical_merge_short_limited(const MergeMap& merges, uint32_t* ids,
                                   const uint32_t* pair_ranks, size_t n, uint32_t rank_limit,
                                   std::vector<uint32_t>& output);

// canonical_merge_short_limited that leaves the result in ids[0, kept) and
// returns kept.
size_t canonical_merge_in_place(const MergeMap& merges, uint32_t* ids, const uint32_t* pair_ranks,
                                size_t n, uint32_t rank_limit = kCanonicalKeyRankLimit);

// How many pieces canonical_merge_together merges, and the most ids of each.
inline constexpr size_t kCanonicalTogether = 16;
inline constexpr size_t kCanonicalPairMax = 32;

// One piece of canonical_merge_together: ids[0, n), 2 <= n <= kCanonicalPairMax,
// with pair_ranks as for canonical_merge_short; the merge leaves its result in
// ids[0, kept).
struct PieceMerge {
  uint32_t* ids;
  const uint32_t* pair_ranks;
  size_t n;
  size_t kept;
};

// canonical_merge_in_place on kCanonicalTogether pieces at once, one merge of
// each in turn: on a table that misses the cache a merge waits on its probes,
// and the pieces' waits overlap.
void canonical_merge_together(const MergeMap& merges, PieceMerge* pieces,
                              uint32_t rank_limit = kCanonicalKeyRankLimit);

// Short pieces that a driver holds back until it has kCanonicalTogether of
// them to merge side by side: each one's ids, the ranks of their pairs as the
// driver gave them, where its ids go in the output, and what the driver
// remembers it by.
struct HeldPieces {
  struct Piece {
    uint32_t ids[kCanonicalPairMax];
    uint32_t pair_ranks[kCanonicalPairMax];
    size_t n;
    size_t position;
    std::string_view text;
    uint64_t hash;
    bool cached;
  };
  Piece pieces[kCanonicalTogether];
  size_t count = 0;
  // Room for the driver to lay the output out again when it places the ids.
  std::vector<uint32_t> placed;
};

// Merges s.piece (at least 2 ids) and appends the result to s.output; s.piece
// is left holding the result.
void canonical_merge_long(const MergeMap& merges, MergeScratch& s);

}  // namespace quorvane
