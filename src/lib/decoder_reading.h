// What the loader takes from "decoder": the stages the engine reproduces, read
// into a plan, and the per-id tables that let decoding stay one pass over the ids.
//
// Stages that act on each token (Replace of a string, Strip, Metaspace) may come
// first, then ByteFallback, then a join (Fuse, or ByteLevel, which also maps
// its characters to bytes), then only a Strip of the joined text. Every other
// decoder, or order, is refused.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "lib/json_lookup.h"
#include "lib/result.h"
#include "lib/tokenizer.h"
#include "lib/vocab_tables.h"

namespace quorvane {

struct DecoderStage {
  enum Kind : uint8_t { kReplace, kStrip, kMetaspace } kind;
  std::string from;  // Replace: the text replaced; Strip and Metaspace: the character
  std::string to;    // Replace: its replacement
  uint32_t start = 0;
  uint32_t stop = 0;
  bool drop_first = false;  // Metaspace: the first token loses the character instead
};

struct DecoderPlan {
  bool join_with_spaces = false;  // no decoder at all
  std::vector<DecoderStage> per_token;
  bool byte_fallback = false;
  bool byte_level = false;
  std::string strip_content;  // of the joined text
  uint32_t strip_start = 0;
  uint32_t strip_stop = 0;
};

Result<DecoderPlan> read_decoder(const JsonValue& root);

// One token's text under the plan's per-token stages, ByteFallback and ByteLevel,
// into `out`; `first` when it is the first token of the decode. Sets `is_byte`
// for a byte token.
void decode_token_text(const DecoderPlan& plan, std::string_view text, bool first, bool& is_byte,
                       std::string& out);

// Fills `model.decode` from the plan and every "vocab" text. `vb` holds each id's
// token bytes; a table of its own is kept only where the decoder's text differs.
void build_decode_tables(const DecoderPlan& plan, const JsonValue* vocab, const VocabBuild& vb,
                         Tokenizer& model);

}  // namespace quorvane
