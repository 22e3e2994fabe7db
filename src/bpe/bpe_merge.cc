#include "bpe/bpe_merge.h"

#include <algorithm>
#include <cstdint>
#include <utility>

#include "bpe/canonical_merge.h"

namespace quorvane {

namespace {

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

// The streaming merger over a whole piece. Its cost is not bounded by the
// piece length alone: a token waits on its candidate rule until its right
// neighbour's candidate passes it, so in a run of a token that never merges
// with itself (a run of spaces in GPT-2) every new token moves each waiting one
// on by one rule. That is why only a forced strategy takes it.
void stream_merge(const MergeModel& model, MergeScratch& s) {
  const StreamTables& stream = model.stream;
  const size_t first_rule_size = stream.first_rule.size();
  s.pending.clear();
  for (const uint32_t id : s.piece) {
    const uint32_t rule = id < first_rule_size ? stream.first_rule[id] : kNone;
    stream_merge_push(model.merges, stream, id, rule, s.pending, s.work, s.output);
  }
  // The top of `pending` is the rightmost token; no right neighbour will come,
  // so none of its rules can apply any more.
  while (!s.pending.empty()) {
    const uint32_t p = s.pending.back();
    s.pending.pop_back();
    stream_merge_push(model.merges, stream, stream.rules[p].left, kNone, s.pending, s.work,
                      s.output);
  }
}

// The rank of a pair, from the merge table alone.
struct TableRank {
  const MergeMap& merges;
  uint32_t operator()(uint32_t left, uint32_t right) const { return merges.rank(left, right); }
};

// The rank of a pair, with no probe for the pairs that the filter refuses.
struct FilteredRank {
  const MergeMap& merges;
  PairFilter::View filter;
  uint32_t operator()(uint32_t left, uint32_t right) const {
    return filter.may_join(left, right) ? merges.rank(left, right) : kNone;
  }
};

// Repeated passes, each merging every non-overlapping pair of the lowest rank
// left to right. Needs a monotonic table, where every pass's rank is above the
// previous one's. Works in place on ids[0, n), with `ranks` (n - 1 entries) for
// each pair's rank: a pass rewrites both arrays from the left, and a pair whose
// two tokens the pass left untouched keeps its rank without a probe. Every merge
// of a pass is the same rule, so the pass reads its merged id once. `rank_of`
// gives a pair's rank (TableRank or FilteredRank).
// With `ranked`, ranks[0, n - 1) hold the pair ranks on entry.
template <class RankOf, bool ranked = false>
void scan_merge_in_place(const MergeMap& merges, RankOf rank_of, uint32_t* ids, size_t n,
                         uint32_t* ranks, std::vector<uint32_t>& output) {
  if (n == 1) {
    output.push_back(ids[0]);
    return;
  }
  if (n == 2) {
    // One probe decides a pair.
    const uint32_t rank = ranked ? ranks[0] : rank_of(ids[0], ids[1]);
    if (rank != kNone) {
      output.push_back(merges.merged_of(rank));
    } else {
      output.insert(output.end(), ids, ids + 2);
    }
    return;
  }
  if (n == 3) {
    // Two probes pick the first merge (the left pair on a tie), one more the second.
    const uint32_t left = ranked ? ranks[0] : rank_of(ids[0], ids[1]);
    const uint32_t right = ranked ? ranks[1] : rank_of(ids[1], ids[2]);
    if (left == kNone && right == kNone) {
      output.insert(output.end(), ids, ids + 3);
      return;
    }
    const bool merge_left = left <= right;
    const uint32_t a = merge_left ? merges.merged_of(left) : ids[0];
    const uint32_t b = merge_left ? ids[2] : merges.merged_of(right);
    const uint32_t last = rank_of(a, b);
    if (last != kNone) {
      output.push_back(merges.merged_of(last));
    } else {
      output.push_back(a);
      output.push_back(b);
    }
    return;
  }
  uint32_t min_rank = kNone;
  // Each pass starts by reading its rule's merged id, from a per-rank array
  // that most passes of a new word miss: every rank found is fetched ahead.
  for (size_t i = 0; i + 1 < n; ++i) {
    if (!ranked) ranks[i] = rank_of(ids[i], ids[i + 1]);
    merges.prefetch_merged(ranks[i]);
    min_rank = std::min(min_rank, ranks[i]);
  }
  while (min_rank != kNone) {
    const uint32_t target = min_rank;
    const uint32_t made = merges.merged_of(target);
    // Tokens before the pass's first merge stay where they are: start there, with
    // the minimum of the pairs it leaves alone (the pair just before it changes).
    size_t i = 0;
    while (ranks[i] != target) ++i;
    min_rank = kNone;
    for (size_t k = 0; k + 1 < i; ++k) min_rank = std::min(min_rank, ranks[k]);
    // Token w of the pass's result comes from token i (kept) or tokens i, i + 1
    // (merged); w <= i, so reads stay ahead of writes in both arrays. The first
    // merge is at i: taken before the loop, whose test then fails for all but
    // the rare later pairs of the same rank.
    size_t w = i;
    ids[w] = made;
    if (w > 0) {
      ranks[w - 1] = rank_of(ids[w - 1], made);
      merges.prefetch_merged(ranks[w - 1]);
      min_rank = std::min(min_rank, ranks[w - 1]);
    }
    i += 2;
    ++w;
    bool prev_kept = false;  // token w - 1 is the unchanged token i - 1
    while (i < n) {
      if (i + 1 < n && ranks[i] == target) {
        ids[w] = made;
        i += 2;
        ranks[w - 1] = rank_of(ids[w - 1], made);
        merges.prefetch_merged(ranks[w - 1]);
        min_rank = std::min(min_rank, ranks[w - 1]);
        prev_kept = false;
      } else {
        const uint32_t id = ids[i];
        if (prev_kept) {
          ranks[w - 1] = ranks[i - 1];
        } else {
          ranks[w - 1] = rank_of(ids[w - 1], id);
          merges.prefetch_merged(ranks[w - 1]);
        }
        min_rank = std::min(min_rank, ranks[w - 1]);
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

// scan_merge_in_place with `ranks` (n - 1 entries) for the pair ranks, through
// `filter` when given.
void scan_merge_with(const MergeMap& merges, const PairFilter* filter, uint32_t* ids, size_t n,
                     uint32_t* ranks, std::vector<uint32_t>& output) {
  if (filter != nullptr) {
    scan_merge_in_place(merges, FilteredRank{merges, filter->view()}, ids, n, ranks, output);
  } else {
    scan_merge_in_place(merges, TableRank{merges}, ids, n, ranks, output);
  }
}

// Pieces of up to kShortPieceMax ids keep their ranks on the stack.
void scan_merge_short(const MergeMap& merges, const PairFilter* filter, uint32_t* ids, size_t n,
                      std::vector<uint32_t>& output) {
  uint32_t ranks[kShortPieceMax];
  scan_merge_with(merges, filter, ids, n, ranks, output);
}

void scan_merge(const MergeMap& merges, const PairFilter* filter, MergeScratch& s) {
  const size_t n = s.piece.size();
  if (n <= kShortPieceMax) {
    scan_merge_short(merges, filter, s.piece.data(), n, s.output);
    return;
  }
  s.scan_ranks.resize(n);  // forced on a long piece
  scan_merge_with(merges, filter, s.piece.data(), n, s.scan_ranks.data(), s.output);
}

}  // namespace

void scan_merge_ranked(const MergeMap& merges, const PairFilter* filter, uint32_t* ids,
                       uint32_t* ranks, size_t n, std::vector<uint32_t>& output) {
  if (filter != nullptr) {
    scan_merge_in_place<FilteredRank, true>(merges, FilteredRank{merges, filter->view()}, ids, n,
                                            ranks, output);
  } else {
    scan_merge_in_place<TableRank, true>(merges, TableRank{merges}, ids, n, ranks, output);
  }
}

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

void bpe_merge_ids(const MergeModel& model, uint32_t* ids, size_t n, MergeScratch& scratch,
                   MergeStrategy strategy, const PairFilter* filter) {
  if (n == 1) {
    scratch.output.push_back(ids[0]);
    return;
  }
  if (n >= 2 && n <= kShortPieceMax) {
    if (!model.monotonic) {
      if (n <= kCanonicalShortMax) {
        canonical_merge_short(model.merges, ids, nullptr, n, scratch.output);
      } else {
        scratch.piece.assign(ids, ids + n);
        canonical_merge_long(model.merges, scratch);
      }
      return;
    }
    if (model.byte_fallback || strategy != MergeStrategy::kStream) {
      scan_merge_short(model.merges, filter, ids, n, scratch.output);
      return;
    }
  }
  scratch.piece.assign(ids, ids + n);
  bpe_merge(model, scratch, strategy, filter);
}

void bpe_merge(const MergeModel& model, MergeScratch& scratch, MergeStrategy strategy,
               const PairFilter* filter) {
  const size_t n = scratch.piece.size();
  if (n == 0) return;
  if (n == 1) {
    scratch.output.push_back(scratch.piece[0]);
    return;
  }
  if (!model.monotonic) {
    if (n <= kCanonicalShortMax) {
      canonical_merge_short(model.merges, scratch.piece.data(), nullptr, n, scratch.output);
    } else {
      canonical_merge_long(model.merges, scratch);
    }
    return;
  }
  if (model.byte_fallback || strategy == MergeStrategy::kAuto) {
    // Scan-and-merge makes one pass per distinct rank, which is quadratic on a
    // long piece; the heap merger gives the same ids on any table, and on long
    // pieces takes fewer steps than the streaming merger too.
    if (n <= kShortPieceMax) {
      scan_merge(model.merges, filter, scratch);
    } else {
      canonical_merge_long(model.merges, scratch);
    }
    return;
  }
  switch (strategy) {
    case MergeStrategy::kAuto:  // taken above
      break;
    case MergeStrategy::kStream:
      stream_merge(model, scratch);
      break;
    case MergeStrategy::kScan:
      scan_merge(model.merges, filter, scratch);
      break;
  }
}

}  // namespace quorvane
