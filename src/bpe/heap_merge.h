// Canonical BPE over a linked list of positions with a min-heap of candidate
// pairs: lowest rank first, leftmost among equal ranks, correct on every table,
// and O(n log n) in the piece length. Shared by the long-piece merger and the
// offset-carrying merge, which also moves a span with every merge.
#pragma once

#include <algorithm>
#include <cstdint>
#include <functional>
#include <utility>
#include <vector>

#include "bpe/merge_table.h"

namespace quorvane {

// rank << 32 | position: one compare orders by rank, then position.
using HeapEntry = uint64_t;

// Merges `ids` in place. Afterwards the surviving ids are found from position 0
// along `next` up to ids.size(). `pairs[i]` holds the rank and merged id of the
// pair that starts at position i (rank kNone when there is none, or when i was
// merged into its left neighbour), so a heap entry is current exactly when its
// rank is its position's, and a merge takes its merged id from there instead
// of probing again. `on_merge(pos, q)` runs when position q is merged into pos.
// Requires ids.size() < 2^32.
template <class OnMerge>
inline void heap_merge(const MergeMap& merges, std::vector<uint32_t>& ids,
                       std::vector<uint32_t>& prev, std::vector<uint32_t>& next,
                       std::vector<MergeHit>& pairs, std::vector<HeapEntry>& heap,
                       OnMerge&& on_merge) {
  const auto n = static_cast<uint32_t>(ids.size());
  const uint32_t none = n;  // "no neighbour"
  prev.resize(n);
  next.resize(n);
  pairs.resize(n);
  heap.clear();
  for (uint32_t i = 0; i < n; ++i) {
    prev[i] = i == 0 ? none : i - 1;
    next[i] = i + 1;
  }
  const auto queue = [&](uint32_t pos, uint32_t right) {
    const MergeHit hit = merges.find(ids[pos], ids[right]);
    pairs[pos] = hit;
    if (hit.rank != kNone) heap.push_back(static_cast<uint64_t>(hit.rank) << 32 | pos);
  };
  for (uint32_t i = 0; i + 1 < n; ++i) queue(i, i + 1);
  if (n > 0) pairs[n - 1] = {kNone, kNone};
  // Positions keep text order, so the least entry is the leftmost of the lowest rank.
  const std::greater<HeapEntry> later;
  std::make_heap(heap.begin(), heap.end(), later);

  while (!heap.empty()) {
    std::pop_heap(heap.begin(), heap.end(), later);
    const HeapEntry entry = heap.back();
    heap.pop_back();
    const auto pos = static_cast<uint32_t>(entry);
    // Stale: the pair changed (or its position went) since it was queued. A
    // rank names one pair, so an equal rank means the same pair.
    if (pairs[pos].rank != static_cast<uint32_t>(entry >> 32)) continue;

    const uint32_t q = next[pos];
    ids[pos] = pairs[pos].merged;
    pairs[q].rank = kNone;
    on_merge(pos, q);
    next[pos] = next[q];
    if (next[pos] != none) {
      prev[next[pos]] = pos;
      queue(pos, next[pos]);
      if (pairs[pos].rank != kNone) std::push_heap(heap.begin(), heap.end(), later);
    } else {
      pairs[pos].rank = kNone;
    }
    if (prev[pos] != none) {
      queue(prev[pos], pos);
      if (pairs[prev[pos]].rank != kNone) std::push_heap(heap.begin(), heap.end(), later);
    }
  }
}

}  // namespace quorvane
