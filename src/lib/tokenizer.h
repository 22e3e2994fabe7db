// The tokenizer model: everything encoding and decoding need, reduced at load
// time to lookup tables, flags and compiled patterns.
//
// Built only by `load_tokenizer_json` (loader.h); read-only afterwards except
// for the special-token group, which `build_special_matcher` (special_tokens.h)
// replaces as a whole under the Python object's exclusive borrow.
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include <absl/container/flat_hash_map.h>

#include "bpe/char_merges.h"
#include "bpe/merge_table.h"
#include "bpe/pair_filter.h"
#include "lib/char_id_table.h"
#include "lib/fx_hash.h"
#include "lib/normalize.h"
#include "lib/split_regex.h"
#include "lib/whole_pieces.h"
#include "pretok/scanner.h"

namespace quorvane {

class SpecialTokenMatcher;

struct TokenSpan {
  uint32_t offset;
  uint32_t len;
};

// The decoded bytes of every id, packed into one arena.
struct TokenBytes {
  std::string arena;
  std::vector<TokenSpan> spans;  // one per id, in id order

  std::string_view bytes_of(uint32_t id) const {
    const TokenSpan& s = spans[id];
    return std::string_view(arena.data() + s.offset, s.len);
  }
};

// Negative entries mean "no id".
using ByteIdTable = std::array<int32_t, 256>;
using AsciiIdTable = std::array<int32_t, 128>;
using CharIdMap = absl::flat_hash_map<uint32_t, uint32_t, FxHash>;
using PieceMap = absl::flat_hash_map<std::string, uint32_t, FxHash, std::equal_to<>>;

// Which gaps between special tokens may take the metaspace prefix (values 0, 1
// and 2 as set_special_tokens takes them): with kFirst only a gap at offset 0;
// otherwise every gap, as the model's mode says.
enum class PrefixScheme : uint8_t { kNone, kAlways, kFirst };

// ByteLevel "add_prefix_space": a space before the text, or before every piece
// that does not start with one.
enum class ByteLevelPrefix : uint8_t { kNone, kText, kEachPiece };

// Whether a U+2581 goes before the text on the metaspace road.
enum class MetaspaceMode : uint8_t {
  kReplace,       // never: spaces only become U+2581
  kPrepend,       // when the caller allows it
  kPreTokenizer,  // as kPrepend, unless the text already starts with U+2581
};

// How the encoder cuts the normalized text into the pieces it merges: one road
// per alternative, each with only the settings it reads. A bare model gets the
// first, the GPT-2 scanner.
struct ScannedPieces {  // a hand-written scanner (ByteLevel models)
  ScannerSpec spec;
  ByteLevelPrefix prefix = ByteLevelPrefix::kNone;
};
struct CjkPieces {  // the CJK preset scanner (ByteLevel models)
  ByteLevelPrefix prefix = ByteLevelPrefix::kNone;
};
struct SplitPieces {  // the pieces of the split patterns, in their order
  std::vector<SplitRegex> regexes;
  ByteLevelPrefix prefix = ByteLevelPrefix::kNone;
};
struct WholeText {};  // one piece (byte_fallback models without a pre-tokenizer)
// byte_fallback models: spaces become U+2581 and the text is cut into words, a
// run of U+2581 then a run of anything else.
struct MetaspaceWords {
  MetaspaceMode mode = MetaspaceMode::kReplace;
  // The Metaspace pre-tokenizer with "split" cuts before every U+2581, so a run
  // of them is one piece per U+2581.
  bool cut_each = false;
  // Otherwise a word is cut before a U+2581 only where no merge can join across
  // the cut: entry b is set when some merge joins a token ending in byte b to a
  // token starting with U+2581, and no cut follows such a byte. So the words
  // give exactly the ids of the whole rewritten text.
  std::array<bool, 256> joins_after{};
  // Bit x << 8 | y: a word may be cut between a character ending in byte x and
  // one starting with byte y, because no merge joins a token ending in x to a
  // token starting with y: merges never cross that boundary, and each side
  // merges to the same ids on its own. All zero where the model allows no cut.
  std::array<uint64_t, 1024> cuts{};
  bool any_cut = false;
};
using PreTokenizer = std::variant<ScannedPieces, CjkPieces, SplitPieces, WholeText, MetaspaceWords>;

// Visits a variant with one lambda per alternative.
template <class... F>
struct Overloaded : F... {
  using F::operator()...;
};
// Clang before 17 does not deduce an aggregate's template arguments by itself.
template <class... F>
Overloaded(F...) -> Overloaded<F...>;

// What the decoder makes of ids beyond each id's decoded bytes.
struct DecodeTables {
  // Each id's text under the decoder, when it differs from token_bytes.
  std::optional<TokenBytes> bytes;
  // The first id's text, where it differs (the Metaspace decoder drops U+2581
  // from the first token instead of turning it into a space).
  absl::flat_hash_map<uint32_t, std::string, FxHash> first;
  // ByteFallback: 1 for ids that stand for one byte. A run of them that is not
  // UTF-8 becomes one U+FFFD per byte.
  std::vector<uint8_t> byte_token;
  // No decoder: tokens are joined by spaces (each id's text starts with one).
  bool drop_first_byte = false;
  // Strip after the tokens are joined: up to `strip_start` copies of
  // `strip_content` at the start and `strip_stop` at the end.
  std::string strip_content;
  uint32_t strip_start = 0;
  uint32_t strip_stop = 0;
};

// The merge tables and the flags that choose a merger are the MergeModel base,
// so that a model is passed to the mergers as it stands.
struct Tokenizer : MergeModel {
  // Identity and size.
  std::string path;
  // Set once loading is complete (next_model_serial); 0 while loading, when
  // merged pieces are not cached.
  uint32_t cache_serial = 0;
  uint64_t n_vocab = 1;

  // Vocabulary and per-id tables.
  TokenBytes token_bytes;
  ByteIdTable byte_ids;
  AsciiIdTable ascii_ids;
  CharIdMap char_ids;
  CharIdTable char_table;             // char_ids for the encoder (byte_fallback models)
  std::optional<PieceMap> piece_ids;  // only when "ignore_merges" is true
  // The id of text without a token (-1: such text is dropped); with `fuse_unk`
  // a run of such characters in a piece gives one.
  int32_t unk_id = -1;
  bool fuse_unk = false;
  // ByteLevel models: the bytes whose `byte_ids` entry is the unknown id.
  std::array<bool, 256> unknown_bytes{};
  WholePieces whole_pieces;  // pieces that encode to one id
  // ByteLevel models with a monotonic table: characters whose bytes are merged
  // into one id before a piece's BPE. Empty otherwise.
  CharMerges char_merges;
  // ByteLevel models with a monotonic table: the pairs that scan-and-merge
  // need not probe. Empty otherwise.
  PairFilter pair_filter;
  // ByteLevel models with a monotonic table where every ASCII byte has an id:
  // merges.rank of the byte ids of ASCII bytes a and b at [a << 7 | b], so that
  // a piece of ASCII text starts scan-and-merge without probing the merge
  // table. Empty otherwise.
  std::vector<uint32_t> ascii_byte_pairs;

  // byte_fallback models whose table is not monotonic: merges.rank of the ids
  // of ASCII characters a and b at [a << 7 | b], so that the first probes of a
  // piece, most of them between ASCII characters, read a small dense table.
  // Empty otherwise.
  std::vector<uint32_t> ascii_pairs;

  // Text-processing settings (and byte_fallback in MergeModel).
  NormalizerKind normalizer_kind = kNormNone;
  // The normalizer's Replace and Prepend outside the metaspace road: spaces become
  // U+2581, U+2581 goes before a non-empty text; before the Unicode form when a
  // compatibility form follows the Replace (also on the metaspace road).
  bool rewrite_spaces = false;
  bool rewrite_prepend = false;
  bool rewrite_before_form = false;
  PreTokenizer pre_tokenizer;
  DecodeTables decode;

  // Special tokens (replaced together).
  std::shared_ptr<const SpecialTokenMatcher> special_matcher;
  std::vector<uint32_t> special_ids;
  std::vector<uint8_t> special_lstrip;
  std::vector<uint8_t> special_rstrip;
  PrefixScheme prefix_scheme = PrefixScheme::kNone;

  Tokenizer() {
    byte_ids.fill(-1);
    ascii_ids.fill(-1);
  }
  Tokenizer(const Tokenizer&) = delete;
  Tokenizer& operator=(const Tokenizer&) = delete;
  Tokenizer(Tokenizer&&) = default;
  Tokenizer& operator=(Tokenizer&&) = default;
  ~Tokenizer();
};

}  // namespace quorvane
