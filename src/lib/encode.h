// The encode driver: text -> ids for every ordinary encode.
//
// normalization -> metaspace rewrite and word cut (metaspace models) or
// pre-tokenization (CJK preset, split patterns or a fast scanner) -> whole-piece
// lookup -> byte table or byte fallback -> BPE per piece.
#pragma once

#include <array>
#include <cstdint>
#include <string_view>
#include <vector>

#include "bpe/bpe_merge.h"
#include "lib/result.h"
#include "lib/tokenizer.h"

namespace quorvane {

// Encodes `text` and appends its ids to `out`. `add_prefix` allows the metaspace
// prefix (modes 2 and 3 only). Allocation failure returns kOutOfMemory.
InternalCheck encode_text(const Tokenizer& model, std::string_view text, MergeStrategy strategy,
                          bool add_prefix, std::vector<uint32_t>& out);

// The piece encoder of byte_fallback models: character ids, falling back to the
// ids of a character's UTF-8 bytes, then BPE. Appends to scratch.output.
void encode_byte_fallback(const Tokenizer& model, std::string_view piece, MergeScratch& scratch,
                          MergeStrategy strategy);

// The model's `ascii_pairs` table: merges.rank of the ids of every two ASCII
// characters that have one (kNone where either has none).
std::vector<uint32_t> ascii_pair_ranks(const Tokenizer& model);

// The model's `ascii_byte_pairs` table: merges.rank of the byte ids of every
// two ASCII bytes; empty when some ASCII byte has no id.
std::vector<uint32_t> ascii_byte_pair_ranks(const Tokenizer& model);

// True when some merge joins a token that does not end in U+2581 to one that
// starts with it (or with a prefix of its bytes): then a word cut before U+2581
// could separate what the merges would join.
// For each byte: some merge joins a token ending in that byte (and not in
// U+2581) to a token starting with U+2581.
std::array<bool, 256> metaspace_join_bytes(const Tokenizer& model);

// The `cuts` of a byte_fallback model's metaspace words: every pair of bytes
// that no merge joins across, except next to a space or U+2581 (which token
// bytes show as a space) and before a continuation byte (inside a character).
// None when a character could become the unknown id (it waits for the next
// character, so it crosses cuts), with "ignore_merges" (a whole word may be one
// token), or when a rule has an empty side.
std::array<uint64_t, 1024> cut_pairs(const Tokenizer& model);

}  // namespace quorvane
