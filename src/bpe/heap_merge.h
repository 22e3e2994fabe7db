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

using HeapEntry = std::pair<uint32_t, uint32_t>;  // (rank, position)

// Merges `ids` in place. Afterwards the surviving ids are found from position 0
// along `next` up to ids.size(); a position that was merged into its left
// neighbour has `alive` 0. `on_merge(pos, q)` runs when position q is merged
// into pos. Requires ids.size() < 2^32.
template <class OnMerge>
inline void heap_merge(const MergeMap& merges, std::vector<uint32_t>& ids,
                       std::vector<uint32_t>& prev, std::vector<uint32_t>& next,
                       std::vector<uint8_t>& alive, std::vector<HeapEntry>& heap,
                       OnMerge&& on_merge) {
  const auto n = static_cast<uint32_t>(ids.size());
  const uint32_t none = n;  // "no neighbour"
  prev.resize(n);
  next.resize(n);
  alive.assign(n, 1);
  heap.clear();
  for (uint32_t i = 0; i < n; ++i) {
    prev[i] = i == 0 ? none : i - 1;
    next[i] = i + 1;
  }
  for (uint32_t i = 0; i + 1 < n; ++i) {
    const uint32_t rank = merges.rank(ids[i], ids[i + 1]);
    if (rank != kNone) heap.emplace_back(rank, i);
  }
  // Ordered by rank, then position: positions keep text order, so the least
  // entry is the leftmost of the lowest rank.
  const std::greater<HeapEntry> later;
  std::make_heap(heap.begin(), heap.end(), later);

  while (!heap.empty()) {
    std::pop_heap(heap.begin(), heap.end(), later);
    const auto [rank, pos] = heap.back();
    heap.pop_back();
    if (!alive[pos]) continue;
    const uint32_t q = next[pos];
    if (q == none || !alive[q]) continue;
    const MergeHit hit = merges.find(ids[pos], ids[q]);
    if (hit.rank != rank) continue;  // stale: the pair changed since it was queued

    ids[pos] = hit.merged;
    alive[q] = 0;
    on_merge(pos, q);
    next[pos] = next[q];
    if (next[pos] != none) prev[next[pos]] = pos;

    if (prev[pos] != none) {
      const uint32_t left_rank = merges.rank(ids[prev[pos]], ids[pos]);
      if (left_rank != kNone) {
        heap.emplace_back(left_rank, prev[pos]);
        std::push_heap(heap.begin(), heap.end(), later);
      }
    }
    if (next[pos] != none) {
      const uint32_t right_rank = merges.rank(ids[pos], ids[next[pos]]);
      if (right_rank != kNone) {
        heap.emplace_back(right_rank, pos);
        std::push_heap(heap.begin(), heap.end(), later);
      }
    }
  }
}

}  // namespace quorvane
