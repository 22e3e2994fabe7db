#include "bpe/bpe_merge.h"

#include <algorithm>
#include <cstdint>
#include <utility>

#ifdef __SSE2__
#include <emmintrin.h>
#endif

#include "bpe/heap_merge.h"
#include "lib/tokenizer.h"

namespace quorvane {

namespace {

// Non-monotonic tables: above this many ids the leftmost-minimum search after
// every merge (over block minima, four per instruction) costs more than the
// heap merger's n log n. Measured on mail (base64 lines are words of 76 ids):
// the search beats the heap up to here; positions are stored in bytes.
constexpr size_t kCanonicalShortMax = 248;
static_assert(kCanonicalShortMax < 255, "positions are stored in bytes");

// Ordinary text takes a few streaming steps per id; runs that would take far
// more go to the heap merger instead (see stream_merge).
constexpr uint64_t kStreamStepsPerId = 32;

void append_all(std::vector<uint32_t>& output, const std::vector<uint32_t>& ids) {
  output.insert(output.end(), ids.begin(), ids.end());
}

// Rule `failed` of `left` did not apply because the token to its right is
// `right`, whose own candidate rule is `right_rule`. Returns the next rule of
// `left` that can still apply. Until rank `right_rule` the right neighbour stays
// `right`, so below it only the pair's own rule can apply; from `right_rule` on
// the neighbour may have changed and any rule of `left` may. Skipping the dead
// rules in between changes no decision of the merger, and bounds the work per
// token by a lookup and a binary search instead of the length of its rule list
// (thousands for a token such as a space in large vocabularies).
inline uint32_t next_live_rule(const MergeMap& merges, const StreamTables& stream, uint32_t failed,
                               uint32_t left, uint32_t right, uint32_t right_rule) {
  const uint32_t pair_rank = merges.rank(left, right);
  // A copy of the pair at or below the failed rank: step one rule, as a plain walk does.
  if (pair_rank <= failed) return stream.next_rule[failed];
  if (pair_rank < right_rule) return pair_rank;
  if (right_rule == kNone) return kNone;
  return stream.first_rule_from(left, std::max(failed + 1, right_rule));
}

// The streaming merger over a whole piece. Gives up, appending nothing, once
// it has taken more than `step_budget` steps.
//
// Its cost is not bounded by the piece length alone: a token waits on its
// candidate rule until its right neighbour's candidate passes it, so in a run
// of a token that never merges with itself (a run of spaces in GPT-2) every new
// token moves each waiting one on by one rule. That is the piece length times
// the number of rules with the token on the left, thousands in large
// vocabularies. The budget lets the automatic choice keep the streaming
// merger's speed on ordinary text and fall back to the heap merger there.
bool stream_merge(const Tokenizer& model, MergeScratch& s, uint64_t step_budget) {
  const StreamTables& stream = model.stream;
  const size_t first_rule_size = stream.first_rule.size();
  const size_t output_start = s.output.size();
  uint64_t steps = 0;
  s.pending.clear();
  for (const uint32_t id : s.piece) {
    const uint32_t rule = id < first_rule_size ? stream.first_rule[id] : kNone;
    steps += stream_merge_push(model.merges, stream, id, rule, s.pending, s.work, s.output);
    if (steps > step_budget) break;
  }
  // The top of `pending` is the rightmost token; no right neighbour will come,
  // so none of its rules can apply any more.
  while (!s.pending.empty() && steps <= step_budget) {
    const uint32_t p = s.pending.back();
    s.pending.pop_back();
    steps += stream_merge_push(model.merges, stream, stream.rules[p].left, kNone, s.pending, s.work,
                               s.output);
  }
  if (steps <= step_budget) return true;
  s.output.resize(output_start);
  s.pending.clear();
  return false;
}

// Repeated passes, each merging every non-overlapping pair of the lowest rank
// left to right. Needs a monotonic table, where every pass's rank is above the
// previous one's. Works in place on ids[0, n), with `ranks` and `merged` (n - 1
// entries each) for each pair's rank and merged id: a pass rewrites the arrays
// from the left, and a pair whose two tokens the pass left untouched keeps its
// entry without a probe.
void scan_merge_in_place(const MergeMap& merges, uint32_t* ids, size_t n, uint32_t* ranks,
                         uint32_t* merged, std::vector<uint32_t>& output) {
  if (n == 2) {
    // One probe decides a pair.
    const MergeHit hit = merges.find(ids[0], ids[1]);
    if (hit.rank != kNone) {
      output.push_back(hit.merged);
    } else {
      output.insert(output.end(), ids, ids + 2);
    }
    return;
  }
  if (n == 3) {
    // Two probes pick the first merge (the left pair on a tie), one more the second.
    const MergeHit left = merges.find(ids[0], ids[1]);
    const MergeHit right = merges.find(ids[1], ids[2]);
    if (left.rank == kNone && right.rank == kNone) {
      output.insert(output.end(), ids, ids + 3);
      return;
    }
    const bool merge_left = left.rank <= right.rank;
    const uint32_t a = merge_left ? left.merged : ids[0];
    const uint32_t b = merge_left ? ids[2] : right.merged;
    const MergeHit last = merges.find(a, b);
    if (last.rank != kNone) {
      output.push_back(last.merged);
    } else {
      output.push_back(a);
      output.push_back(b);
    }
    return;
  }
  uint32_t min_rank = kNone;
  for (size_t i = 0; i + 1 < n; ++i) {
    const MergeHit hit = merges.find(ids[i], ids[i + 1]);
    ranks[i] = hit.rank;
    merged[i] = hit.merged;
    min_rank = std::min(min_rank, hit.rank);
  }
  while (min_rank != kNone) {
    const uint32_t target = min_rank;
    // Tokens before the pass's first merge stay where they are: start there, with
    // the minimum of the pairs it leaves alone (the pair just before it changes).
    size_t i = 0;
    while (ranks[i] != target) ++i;
    min_rank = kNone;
    for (size_t k = 0; k + 1 < i; ++k) min_rank = std::min(min_rank, ranks[k]);
    // Token w of the pass's result comes from token i (kept) or tokens i, i + 1
    // (merged); w <= i, so reads stay ahead of writes in all arrays.
    size_t w = i;
    bool prev_kept = i > 0;  // token w - 1 is the unchanged token i - 1
    while (i < n) {
      if (i + 1 < n && ranks[i] == target) {
        ids[w] = merged[i];
        i += 2;
        if (w > 0) {
          const MergeHit hit = merges.find(ids[w - 1], ids[w]);
          ranks[w - 1] = hit.rank;
          merged[w - 1] = hit.merged;
          min_rank = std::min(min_rank, hit.rank);
        }
        prev_kept = false;
      } else {
        const uint32_t id = ids[i];
        if (w > 0) {
          if (prev_kept) {
            ranks[w - 1] = ranks[i - 1];
            merged[w - 1] = merged[i - 1];
          } else {
            const MergeHit hit = merges.find(ids[w - 1], id);
            ranks[w - 1] = hit.rank;
            merged[w - 1] = hit.merged;
          }
          min_rank = std::min(min_rank, ranks[w - 1]);
        }
        ids[w] = id;
        i += 1;
        prev_kept = true;
      }
      ++w;
    }
    n = w;
  }
  // A few ids: pushing each costs less than a range insert.
  for (size_t i = 0; i < n; ++i) output.push_back(ids[i]);
}

// Pieces of up to kShortPieceMax ids keep their ranks on the stack.
void scan_merge_short(const MergeMap& merges, uint32_t* ids, size_t n,
                      std::vector<uint32_t>& output) {
  uint32_t ranks[kShortPieceMax];
  uint32_t merged[kShortPieceMax];
  scan_merge_in_place(merges, ids, n, ranks, merged, output);
}

void scan_merge(const MergeMap& merges, MergeScratch& s) {
  const size_t n = s.piece.size();
  if (n <= kShortPieceMax) {
    scan_merge_short(merges, s.piece.data(), n, s.output);
    return;
  }
  s.scan_ranks.resize(2 * n);  // forced on a long piece: ranks, then merged ids
  scan_merge_in_place(merges, s.piece.data(), n, s.scan_ranks.data(), s.scan_ranks.data() + n,
                      s.output);
}

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

// Canonical merger for short pieces, in place on ids[0, n): the leftmost
// minimum of the pair ranks, merged one at a time. Positions keep their slots:
// a merged-away position's pair rank becomes kNone and the survivors are
// linked, so a merge moves nothing, and each pair's merged id is kept beside
// its rank. The ranks are kept in blocks of 8 with each block's minimum, so
// that a merge rescans only the blocks whose ranks it changed, and the search
// for the next one reads the block minima.
void canonical_merge_short(const MergeMap& merges, uint32_t* ids, size_t n,
                           std::vector<uint32_t>& output) {
  constexpr size_t kBlock = 8;
  constexpr size_t kPlainScanMax = 24;
  constexpr size_t kMaxBlocks = (kCanonicalShortMax + kBlock - 1) / kBlock;
  // Rank of the pair starting at each position, kNone past the last one.
  uint32_t ranks[kMaxBlocks * kBlock];
  uint32_t block_min[(kMaxBlocks + 3) & ~size_t{3}];
  uint32_t merged[kCanonicalShortMax];
  uint8_t next[kCanonicalShortMax];
  uint8_t prev[kCanonicalShortMax];
  const size_t blocks = (n + kBlock - 1) / kBlock;
  const size_t padded_blocks = (blocks + 3) & ~size_t{3};
  for (size_t i = 0; i + 1 < n; ++i) {
    const MergeHit hit = merges.find(ids[i], ids[i + 1]);
    ranks[i] = hit.rank;
    merged[i] = hit.merged;
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
    ids[at] = merged[at];
    ranks[gone] = kNone;
    next[at] = static_cast<uint8_t>(after);
    if (after < n) {
      prev[after] = static_cast<uint8_t>(at);
      const MergeHit hit = merges.find(ids[at], ids[after]);
      ranks[at] = hit.rank;
      merged[at] = hit.merged;
    } else {
      ranks[at] = kNone;
    }
    size_t before_block = block;
    if (at > 0) {
      const size_t before = prev[at];
      const MergeHit hit = merges.find(ids[before], ids[at]);
      ranks[before] = hit.rank;
      merged[before] = hit.merged;
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

// Canonical merger for long pieces: linked list and heap, n log n.
void canonical_merge_long(const MergeMap& merges, MergeScratch& s) {
  heap_merge(merges, s.piece, s.prev, s.next, s.pairs, s.heap, [](uint32_t, uint32_t) {});
  const auto end = static_cast<uint32_t>(s.piece.size());
  s.collected.clear();
  for (uint32_t i = 0; i != end; i = s.next[i]) s.collected.push_back(s.piece[i]);
  std::swap(s.piece, s.collected);
  append_all(s.output, s.piece);
}

}  // namespace

uint64_t stream_merge_push(const MergeMap& merges, const StreamTables& stream, uint32_t token,
                           uint32_t rule, std::vector<uint32_t>& pending,
                           std::vector<std::pair<uint32_t, uint32_t>>& work,
                           std::vector<uint32_t>& output) {
  uint64_t steps = 0;
  work.clear();
  work.emplace_back(token, rule);
  while (!work.empty()) {
    ++steps;
    const auto [t, c] = work.back();
    work.pop_back();
    if (pending.empty()) {
      if (c == kNone) {
        output.push_back(t);  // nothing waits to its left and it can merge no more
      } else {
        pending.push_back(c);
      }
      continue;
    }
    const uint32_t p = pending.back();
    if (c < p) {
      pending.push_back(c);  // t's own rule ranks before the one waiting on its left
      continue;
    }
    pending.pop_back();
    const MergeRule& waiting = stream.rules[p];
    if (t == waiting.right) {
      work.emplace_back(waiting.merged, stream.follow_rule[p]);
    } else {
      work.emplace_back(t, c);
      work.emplace_back(waiting.left, next_live_rule(merges, stream, p, waiting.left, t, c));
    }
  }
  return steps;
}

void bpe_merge_ids(const Tokenizer& model, uint32_t* ids, size_t n, MergeScratch& scratch,
                   MergeStrategy strategy) {
  if (n == 1) {
    scratch.output.push_back(ids[0]);
    return;
  }
  if (n >= 2 && n <= kShortPieceMax) {
    if (!model.monotonic) {
      if (n <= kCanonicalShortMax) {
        canonical_merge_short(model.merges, ids, n, scratch.output);
      } else {
        scratch.piece.assign(ids, ids + n);
        canonical_merge_long(model.merges, scratch);
      }
      return;
    }
    if (model.byte_fallback || (strategy & 0xFFu) != kMergeStream) {
      scan_merge_short(model.merges, ids, n, scratch.output);
      return;
    }
  }
  scratch.piece.assign(ids, ids + n);
  bpe_merge(model, scratch, strategy);
}

void bpe_merge(const Tokenizer& model, MergeScratch& scratch, MergeStrategy strategy) {
  const size_t n = scratch.piece.size();
  if (n == 0) return;
  if (n == 1) {
    scratch.output.push_back(scratch.piece[0]);
    return;
  }
  if (!model.monotonic) {
    if (n <= kCanonicalShortMax) {
      canonical_merge_short(model.merges, scratch.piece.data(), n, scratch.output);
    } else {
      canonical_merge_long(model.merges, scratch);
    }
    return;
  }
  if (model.byte_fallback) {
    // Scan-and-merge makes one pass per distinct rank, which is quadratic on a
    // long piece; the heap merger gives the same ids on any table.
    if (n <= kShortPieceMax) {
      scan_merge(model.merges, scratch);
    } else {
      canonical_merge_long(model.merges, scratch);
    }
    return;
  }
  switch (strategy & 0xFFu) {
    case kMergeAuto:
      if (n <= kShortPieceMax) {
        scan_merge(model.merges, scratch);
      } else if (!stream_merge(model, scratch, kStreamStepsPerId * n)) {
        canonical_merge_long(model.merges, scratch);
      }
      break;
    case kMergeStream:
      stream_merge(model, scratch, UINT64_MAX);
      break;
    default:
      scan_merge(model.merges, scratch);
      break;
  }
}

}  // namespace quorvane
