// BPE over one piece that carries the byte span of every token through the merges.
#pragma once

#include <cstddef>
#include <cstdint>
#include <utility>
#include <vector>

#include "bpe/merge_table.h"
#include "unicode/span.h"

namespace quorvane {

struct OffsetScratch {
  std::vector<uint32_t> ids;  // the piece to merge, filled by the caller with its spans
  std::vector<Span> spans;
  std::vector<std::pair<uint32_t, uint32_t>> pairs;  // (rank, merged id) per adjacent pair
  // Long pieces: linked list and heap of candidate merges.
  std::vector<uint32_t> prev;
  std::vector<uint32_t> next;
  std::vector<MergeHit> heap_pairs;  // per position: its pair's rank and merged id
  std::vector<uint64_t> heap;        // rank << 32 | position
};

// Merges scratch.ids, token i covering the bytes scratch.spans[i], and appends
// the resulting ids and spans to the two outputs. A merged token's span runs
// from its left part's start to its right part's end, covering any byte without
// an id between them. The ids equal those of bpe_merge on the same ids.
void merge_with_offsets(const MergeModel& model, OffsetScratch& scratch,
                        std::vector<uint32_t>& out_ids, std::vector<Span>& out_spans);

}  // namespace quorvane
