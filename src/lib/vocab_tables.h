// The vocabulary step of loading: "vocab" and "added_tokens" become n_vocab,
// the decoded bytes of every id and the per-id lookup tables of the model
// (byte_ids, ascii_ids, char_ids, piece_ids, token_bytes). Also builds the
// load-time VocabIndex that merge rules are resolved against.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include <absl/container/flat_hash_map.h>

#include "lib/fx_hash.h"
#include "lib/json_lookup.h"
#include "lib/result.h"
#include "lib/tokenizer.h"

namespace quorvane {

// Token text (views into the parsed document) -> id; "vocab" entries only.
using VocabIndex = absl::flat_hash_map<std::string_view, uint32_t, FxHash, std::equal_to<>>;

// Ids are 32-bit in the model, and tables with signed entries cannot tell an id
// of 2^31 or more from "none".
inline constexpr uint64_t kIdLimit = uint64_t{1} << 31;

// The ByteLevel alphabet: the character that stands for byte `b`.
uint32_t byte_level_char(uint8_t b);
// The byte a ByteLevel character stands for, or -1 when `cp` is not one of the 256.
int byte_level_byte(uint32_t cp);

// A byte_fallback byte token "<0xNN>" (hex digits in either case, or "+" and one
// digit): sets `byte` and returns true.
bool parse_byte_token(std::string_view text, uint8_t& byte);

// The decoded bytes of a token text. The ByteLevel decoder tells whether every
// character was one of the alphabet's.
bool decode_byte_level_text(std::string_view text, std::string& out);
void decode_metaspace_text(std::string_view text, std::string& out);

// Load-time state shared by the vocabulary steps and the merge reading.
struct VocabBuild {
  VocabIndex index;
  uint64_t n_vocab = 1;
  std::string scratch;           // decoded bytes, appended as computed
  std::vector<uint64_t> offset;  // per id: where its bytes start in `scratch`
  std::vector<uint32_t> length;  // per id: 0 = no bytes (yet)
  // per id: its "vocab" text is made of ByteLevel characters only (ByteLevel
  // models), so that it is the text some bytes map to
  std::vector<uint8_t> byte_level_text;
  uint64_t total_bytes = 0;  // sum of `length`

  std::string_view bytes_of(uint64_t id) const {
    return std::string_view(scratch.data() + offset[id], length[id]);
  }
};

// Reads "vocab" (refusing with "no vocab" when `model` is not an object holding a
// "vocab" object) and "added_tokens", fixes n_vocab, decodes every id and fills
// `out.n_vocab`, `byte_ids`, `ascii_ids` and `char_ids`.
Result<Unit> read_vocabulary(const JsonValue* model, const JsonValue* added_tokens,
                             bool byte_fallback, VocabBuild& vb, Tokenizer& out);

// Pieces that "ignore_merges" takes whole (ByteLevel models): the bytes of every
// "vocab" text made only of ByteLevel characters, to its id.
PieceMap build_piece_ids(const VocabBuild& vb);

// The unknown-token id for text the vocabulary has no token for (`unk_token`
// looked up in "vocab"). Refuses a `unk_token` missing from "vocab" when some
// text would need it. In ByteLevel models a byte without a token takes the
// unknown id directly in `byte_ids` and is marked in `unknown_bytes`.
Result<Unit> set_unknown_id(std::optional<std::string_view> unk_token, bool fuse_unk,
                            const VocabBuild& vb, Tokenizer& out);

// Packs the decoded bytes of every id into `out.token_bytes`.
void pack_token_bytes(const VocabBuild& vb, Tokenizer& out);

}  // namespace quorvane
