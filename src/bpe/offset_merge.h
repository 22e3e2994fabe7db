// BPE over one piece that carries the byte span of every token through the merges.
#pragma once

#include <cstddef>
#include <cstdint>
#include <utility>
#include <vector>

#include "bpe/merge_table.h"
#include "lib/span.h"

namespace quorvane {

struct Tokenizer;

struct OffsetScratch {
  std::vector<uint32_t> ids;
  std::vector<Span> spans;
  std::vector<std::pair<uint32_t, uint32_t>> pairs;  // (rank, merged id) per adjacent pair
  // Long pieces: linked list and heap of candidate merges.
  std::vector<uint32_t> prev;
  std::vector<uint32_t> next;
  std::vector<MergeHit> heap_pairs;  // per position: its pair's rank and merged id
  std::vector<uint64_t> heap;        // rank << 32 | position
};

// Encodes text[start, end) and appends its ids and spans to the two outputs.
// A token's span runs from its first byte to its last, covering any byte
// without an id between them. The ids equal those of bpe_merge on the same
// byte ids. Requires start <= end <= the text's length.
void encode_piece_with_offsets(const Tokenizer& model, const uint8_t* text, size_t start,
                               size_t end, std::vector<uint32_t>& out_ids,
                               std::vector<Span>& out_spans, OffsetScratch& scratch);

}  // namespace quorvane
