#include "bpe/offset_merge.h"

#include <algorithm>

#include "bpe/bpe_merge.h"
#include "bpe/heap_merge.h"

namespace quorvane {

namespace {

// Passes that merge every non-overlapping pair of the lowest rank, left to
// right, each looking every pair up again. Short pieces of monotonic tables only.
void merge_by_passes(const MergeMap& merges, OffsetScratch& s) {
  std::vector<uint32_t>& ids = s.ids;
  std::vector<Span>& spans = s.spans;
  while (ids.size() > 1) {
    s.pairs.clear();
    uint32_t min_rank = kNone;
    for (size_t i = 0; i + 1 < ids.size(); ++i) {
      const MergeHit hit = merges.find(ids[i], ids[i + 1]);
      s.pairs.emplace_back(hit.rank, hit.merged);
      min_rank = std::min(min_rank, hit.rank);
    }
    if (min_rank == kNone) break;
    size_t w = 0;
    size_t i = 0;
    const size_t n = ids.size();
    while (i < n) {
      if (i + 1 < n && s.pairs[i].first == min_rank) {
        ids[w] = s.pairs[i].second;
        spans[w] = Span{spans[i].start, spans[i + 1].end};
        i += 2;
      } else {
        ids[w] = ids[i];
        spans[w] = spans[i];
        i += 1;
      }
      ++w;
    }
    ids.resize(w);
    spans.resize(w);
  }
}

}  // namespace

void merge_with_offsets(const MergeModel& model, OffsetScratch& scratch,
                        std::vector<uint32_t>& out_ids, std::vector<Span>& out_spans) {
  const size_t n = scratch.ids.size();
  if (n >= 2 && model.monotonic && n <= kShortPieceMax) {
    merge_by_passes(model.merges, scratch);
  } else if (n >= 2) {
    // Long pieces (passes would be quadratic) and non-monotonic tables (passes
    // would differ from the canonical merge that encoding uses).
    std::vector<Span>& spans = scratch.spans;
    heap_merge(model.merges, scratch.ids, scratch.prev, scratch.next, scratch.heap_pairs,
               scratch.heap, [&spans](uint32_t pos, uint32_t q) { spans[pos].end = spans[q].end; });
    for (uint32_t i = 0; i != n; i = scratch.next[i]) {
      out_ids.push_back(scratch.ids[i]);
      out_spans.push_back(scratch.spans[i]);
    }
    return;
  }
  out_ids.insert(out_ids.end(), scratch.ids.begin(), scratch.ids.end());
  out_spans.insert(out_spans.end(), scratch.spans.begin(), scratch.spans.end());
}

}  // namespace quorvane
