#include "lib/encode.h"

#include <algorithm>
#include <cstring>
#include <memory>
#include <new>
#ifdef __SSE2__
#include <emmintrin.h>
#endif
#include <stdexcept>
#include <string>
#include <utility>
#include <variant>

#include "bpe/canonical_merge.h"
#include "cjk/cjk_pieces.h"
#include "lib/normalize.h"
#include "lib/piece_cache.h"
#include "lib/split_regex.h"
#include "lib/token_cache.h"
#include "pretok/scan_kind0.h"
#include "pretok/scan_kind1.h"
#include "pretok/scan_kind2.h"
#include "pretok/scanner.h"
#include "unicode/span.h"
#include "unicode/utf8.h"

namespace quorvane {
namespace {

constexpr char kMeta[] = "\xE2\x96\x81";  // U+2581, the metaspace
constexpr size_t kMetaLen = 3;

constexpr const char* kBadSpan = "pre-tokenizer span lies outside the text";
constexpr const char* kBadScannerEnd = "scanner piece end lies outside (position, length]";

bool meta_at(const char* p, size_t i, size_t n) {
  return n - i >= kMetaLen && std::memcmp(p + i, kMeta, kMetaLen) == 0;
}

// Appends the cached ids of `piece` when the thread's cache holds them.
bool take_cached(const PieceCache& cache, const Tokenizer& model, uint64_t hash,
                 std::string_view piece, std::vector<uint32_t>& output) {
  const PieceCache::Entry* hit = cache.find(
      model.cache_serial, hash, reinterpret_cast<const uint8_t*>(piece.data()), piece.size());
  if (hit == nullptr) return false;
  // Most hits are a few ids: a vector's range insert costs more.
  const size_t n_ids = hit->n_ids();
  for (size_t i = 0; i < n_ids; ++i) output.push_back(hit->ids[i]);
  return true;
}

// Caches the ids that merging `piece` appended to `output` from `first_id` on.
void remember(PieceCache& cache, const Tokenizer& model, uint64_t hash, std::string_view piece,
              const std::vector<uint32_t>& output, size_t first_id) {
  cache.insert(model.cache_serial, hash, reinterpret_cast<const uint8_t*>(piece.data()),
               piece.size(), output.data() + first_id, output.size() - first_id);
}

// encode_byte_fallback with the piece's piece_hash already computed (any value
// for a piece of fewer than 2 or more than hash_max_of bytes).
void encode_fallback_hashed(const Tokenizer& model, std::string_view piece, uint64_t hash,
                            MergeScratch& scratch, MergeStrategy strategy);

// Merges the pieces held in scratch.held, if any, each on its own, and stops
// holding.
void release_held(const Tokenizer& model, MergeScratch& scratch);

// Piece of a model without byte_fallback: whole-piece lookup, else byte ids and BPE.
// With fuse_unk, a run of bytes without a token gives one unknown id.
void encode_fusing_unknown_bytes(const Tokenizer& model, std::string_view piece,
                                 MergeScratch& scratch, MergeStrategy strategy) {
  scratch.piece.clear();
  bool after_unknown = false;
  for (unsigned char b : piece) {
    const bool unknown = model.unknown_bytes[b];
    if (!unknown || !after_unknown)
      scratch.piece.push_back(static_cast<uint32_t>(model.byte_ids[b]));
    after_unknown = unknown;
  }
  bpe_merge(model, scratch, strategy);
}

// The thread's cache when it may hold `piece`, else null.
PieceCache* cache_for(const MergeScratch& scratch, std::string_view piece) {
  return piece.size() <= PieceCache::kMaxBytes ? scratch.piece_cache : nullptr;
}

// A piece that is not one token and not in the cache: its byte ids and BPE,
// appended to scratch.output and remembered in `cache` (when not null, with
// `hash` its piece_hash). Out of line: the encode loop inlines only the roads
// that end in a lookup.
[[gnu::noinline]] void merge_byte_level_piece(const Tokenizer& model, std::string_view piece,
                                              uint64_t hash, PieceCache* cache,
                                              MergeScratch& scratch, MergeStrategy strategy) {
  const size_t first_id = scratch.output.size();
  // With char_merges (every byte has an id), the bytes from the first one beyond
  // ASCII on are gathered with the characters that merge first as one id.
  const auto* bytes = reinterpret_cast<const uint8_t*>(piece.data());
  const bool chars = !model.char_merges.empty();
  const PairFilter* const filter = model.pair_filter.empty() ? nullptr : &model.pair_filter;
  if (piece.size() <= kShortPieceMax) {
    uint32_t ids[kShortPieceMax];
    size_t n = 0;
    size_t i = 0;
    if (!model.ascii_byte_pairs.empty() && strategy != MergeStrategy::kStream) {
      // The run of ASCII bytes first, each its byte id (every ASCII byte has
      // one where the table exists). A piece that is all ASCII, as most of
      // English, takes its first ranks from the dense table instead of probes.
      for (; i < piece.size() && bytes[i] < 0x80; ++i) {
        ids[i] = static_cast<uint32_t>(model.byte_ids[bytes[i]]);
      }
      n = i;
      if (n == piece.size()) {
        uint32_t ranks[kShortPieceMax];
        const uint32_t* const pairs = model.ascii_byte_pairs.data();
        for (size_t k = 0; k + 1 < n; ++k) ranks[k] = pairs[bytes[k] << 7 | bytes[k + 1]];
        scan_merge_ranked(model.merges, filter, ids, ranks, n, scratch.output);
        if (cache != nullptr) remember(*cache, model, hash, piece, scratch.output, first_id);
        return;
      }
    }
    for (; i < piece.size(); ++i) {
      const uint8_t b = bytes[i];
      if (b >= 0x80 && chars) {
        n += model.char_merges.gather(bytes, i, piece.size(), model.byte_ids, ids + n);
        break;
      }
      const int32_t id = model.byte_ids[b];
      ids[n] = static_cast<uint32_t>(id);
      n += id >= 0 ? 1 : 0;
    }
    bpe_merge_ids(model, ids, n, scratch, strategy, filter);
  } else {
    scratch.piece.clear();
    if (chars) {
      scratch.piece.resize(piece.size());
      scratch.piece.resize(
          model.char_merges.gather(bytes, 0, piece.size(), model.byte_ids, scratch.piece.data()));
    } else {
      for (unsigned char b : piece) {
        const int32_t id = model.byte_ids[b];
        if (id >= 0) scratch.piece.push_back(static_cast<uint32_t>(id));
      }
    }
    bpe_merge(model, scratch, strategy, filter);
  }
  if (cache != nullptr) remember(*cache, model, hash, piece, scratch.output, first_id);
}

// Whether a ByteLevel model's pieces take look_up_plain_piece first: no "ignore_merges"
// map to look pieces up in first, and no unknown bytes to fuse.
bool plain_byte_level(const Tokenizer& model) {
  return (!model.piece_ids.has_value() || model.piece_ids->empty()) && !model.fuse_unk;
}

// The longest piece whose hash a piece needs: for the whole-piece table or the cache.
size_t hash_max_of(const Tokenizer& model) {
  return std::max(model.whole_pieces.max_len(), PieceCache::kMaxBytes);
}

// The lookups that settle most pieces of a model where plain_byte_level holds:
// one byte is its byte id; two bytes are one rank, from the dense table of
// ASCII byte pairs or a merge-table probe, which gives what the whole-piece
// table would (their merged id is the id of both bytes); longer
// pieces may be whole pieces (up to `whole_max` bytes), those of up to
// TokenCache::kMaxBytes looked for first in `tokens` (when not null) and put
// there when found. Writes the ids at `w` (at most two) and returns their end,
// or returns null when the piece must be merged; `*hash` is then its
// piece_hash when it has at most `hash_max` bytes (hash_max_of).
[[gnu::always_inline]] inline uint32_t* look_up_plain_piece(const Tokenizer& model,
                                                            const uint8_t* p, size_t len,
                                                            size_t whole_max, size_t hash_max,
                                                            TokenCache* tokens, uint32_t* w,
                                                            uint64_t* hash) {
  if (len <= 2) {
    const int32_t first = model.byte_ids[p[0]];
    if (len == 1) {
      if (first >= 0) *w++ = static_cast<uint32_t>(first);
      return w;
    }
    const int32_t second = model.byte_ids[p[1]];
    if ((p[0] | p[1]) < 0x80 && !model.ascii_byte_pairs.empty()) {
      // Two ASCII bytes (both have ids where the table exists): their rank from
      // the dense table instead of a probe of the merge table.
      const uint32_t rank = model.ascii_byte_pairs[p[0] << 7 | p[1]];
      if (rank != kNone) {
        *w++ = model.merges.merged_of(rank);
      } else {
        *w++ = static_cast<uint32_t>(first);
        *w++ = static_cast<uint32_t>(second);
      }
      return w;
    }
    if (first >= 0 && second >= 0) {
      const MergeHit hit =
          model.merges.find(static_cast<uint32_t>(first), static_cast<uint32_t>(second));
      if (hit.rank != kNone) {
        *w++ = hit.merged;
      } else {
        *w++ = static_cast<uint32_t>(first);
        *w++ = static_cast<uint32_t>(second);
      }
      return w;
    }
  }
  // One hash serves the whole-piece table and the cache.
  *hash = 0;
  if (len <= hash_max) *hash = piece_hash(p, len);
  const bool short_piece = tokens != nullptr && len <= TokenCache::kMaxBytes;
  if (short_piece) {
    const uint32_t id = tokens->find(model.cache_serial, *hash, len);
    if (id != TokenCache::kMissing) {
      *w++ = id;
      return w;
    }
  }
  if (len <= whole_max) {
    const uint32_t id = model.whole_pieces.find_hashed(
        std::string_view(reinterpret_cast<const char*>(p), len), *hash);
    if (id != kNone) {
      if (short_piece) tokens->insert(model.cache_serial, *hash, len, id);
      *w++ = id;
      return w;
    }
  }
  return nullptr;
}

void encode_byte_level_piece(const Tokenizer& model, std::string_view piece, MergeScratch& scratch,
                             MergeStrategy strategy) {
  if (model.piece_ids.has_value() && !model.piece_ids->empty()) {
    auto it = model.piece_ids->find(piece);
    if (it != model.piece_ids->end()) {
      scratch.output.push_back(it->second);
      return;
    }
  }
  if (model.fuse_unk) {  // set only when some byte has no token
    encode_fusing_unknown_bytes(model, piece, scratch, strategy);
    return;
  }
  uint32_t ids[2];
  uint64_t hash;
  const auto* bytes = reinterpret_cast<const uint8_t*>(piece.data());
  if (uint32_t* end = look_up_plain_piece(model, bytes, piece.size(), model.whole_pieces.max_len(),
                                          hash_max_of(model), nullptr, ids, &hash)) {
    scratch.output.insert(scratch.output.end(), ids, end);
    return;
  }
  PieceCache* const cache = cache_for(scratch, piece);
  if (cache != nullptr && take_cached(*cache, model, hash, piece, scratch.output)) return;
  merge_byte_level_piece(model, piece, hash, cache, scratch, strategy);
}

void encode_piece(const Tokenizer& model, std::string_view piece, MergeScratch& scratch,
                  MergeStrategy strategy) {
  if (model.byte_fallback) {
    encode_byte_fallback(model, piece, scratch, strategy);
  } else {
    encode_byte_level_piece(model, piece, scratch, strategy);
  }
}

// Spaces become U+2581; with the prefix a U+2581 goes first (kPreTokenizer:
// only when the text would not already start with one). The result is held in
// `buffer`.
std::string_view metaspace_rewrite(std::string_view text, MetaspaceMode mode, bool add_prefix,
                                   std::unique_ptr<char[]>& buffer) {
  bool prefix = false;
  if (add_prefix && mode == MetaspaceMode::kPrepend) prefix = true;
  if (add_prefix && mode == MetaspaceMode::kPreTokenizer) {
    prefix = text[0] != ' ' && !meta_at(text.data(), 0, text.size());
  }
  const char* const p = text.data();
  const size_t n = text.size();
  size_t spaces = 0;
  size_t i = 0;
#ifdef __SSE2__
  // Words are short: a call per space would cost more than the copying. The
  // spaces are counted first so that the output is sized once, with 16 bytes
  // to spare for whole-vector stores.
  const __m128i space = _mm_set1_epi8(' ');
  __m128i counts = _mm_setzero_si128();
  for (; n - i >= 16; i += 16) {
    const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + i));
    const __m128i ones = _mm_and_si128(_mm_cmpeq_epi8(v, space), _mm_set1_epi8(1));
    counts = _mm_add_epi64(counts, _mm_sad_epu8(ones, _mm_setzero_si128()));
  }
  spaces = static_cast<size_t>(_mm_cvtsi128_si64(counts)) +
           static_cast<size_t>(_mm_cvtsi128_si64(_mm_unpackhi_epi64(counts, counts)));
#endif
  for (; i < n; ++i) spaces += p[i] == ' ' ? 1 : 0;
  const size_t size = (prefix ? kMetaLen : 0) + n + (kMetaLen - 1) * spaces;
  // Every byte is written before it is read: a string's resize would clear
  // them all first.
  buffer.reset(new char[size + 16]);
  char* o = buffer.get();
  if (prefix) {
    std::memcpy(o, kMeta, kMetaLen);
    o += kMetaLen;
  }
  i = 0;
#ifdef __SSE2__
  // Each step stores 16 bytes and keeps those before the first space among
  // them, then writes U+2581 for that space.
  while (n - i >= 16) {
    const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + i));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(o), v);
    const int hits = _mm_movemask_epi8(_mm_cmpeq_epi8(v, space));
    if (hits == 0) {
      o += 16;
      i += 16;
      continue;
    }
    const auto before = static_cast<size_t>(__builtin_ctz(static_cast<unsigned>(hits)));
    o += before;
    std::memcpy(o, kMeta, kMetaLen);
    o += kMetaLen;
    i += before + 1;
  }
#endif
  for (; i < n; ++i) {
    if (p[i] == ' ') {
      std::memcpy(o, kMeta, kMetaLen);
      o += kMetaLen;
    } else {
      *o++ = p[i];
    }
  }
  return std::string_view(buffer.get(), size);
}

// The first U+2581 at or after i, or n. Its first byte never continues a
// character, so a search for that byte finds only whole characters.
size_t next_meta(const char* p, size_t i, size_t n) {
  while (i < n) {
    const void* hit = std::memchr(p + i, kMeta[0], n - i);
    if (hit == nullptr) return n;
    i = static_cast<size_t>(static_cast<const char*>(hit) - p);
    if (meta_at(p, i, n)) return i;
    ++i;
  }
  return n;
}

// A metaspace word: a run of U+2581 (with `cut_each`, one U+2581), then a run
// of anything else. Without `cut_each` a U+2581 that a merge may join to the
// byte before it does not start a word.
struct MetaspaceWord {
  size_t start;
  size_t body;    // where the word's leading U+2581 run ends
  size_t end;     // where the next word starts
  size_t cut;     // the word's first cut (see cut_at), else `end`
  uint64_t hash;  // hash_ahead of the word's first piece
};

// The first position in [from, end) where the byte pair p[j - 1], p[j] is a cut,
// else `end`. The table has no cut before a continuation byte: cuts fall
// between characters.
[[gnu::always_inline]] inline size_t cut_at(const std::array<uint64_t, 1024>& cuts,
                                            const uint8_t* p, size_t from, size_t end) {
  for (size_t j = from; j < end; ++j) {
    const unsigned pair = static_cast<unsigned>(p[j - 1]) << 8 | p[j];
    if ((cuts[pair >> 6] >> (pair & 63) & 1) != 0) return j;
  }
  return end;
}

// The word that starts at `pos` (< n). Cuts are looked for only after the
// word's leading U+2581 run and the character after it: no cut is next to
// U+2581.
[[gnu::always_inline]] inline MetaspaceWord word_at(const char* p, size_t pos, size_t n,
                                                    const MetaspaceWords& words) {
  const bool cut_each = words.cut_each;
  size_t i = pos;
  if (cut_each) {
    if (meta_at(p, i, n)) i += kMetaLen;
  } else {
    while (meta_at(p, i, n)) i += kMetaLen;
  }
  const size_t body = i;
  for (;;) {
    i = next_meta(p, i, n);
    if (i == n || cut_each || !words.joins_after[static_cast<uint8_t>(p[i - 1])]) break;
    while (meta_at(p, i, n)) i += kMetaLen;
  }
  size_t cut = i;
  if (words.any_cut) cut = cut_at(words.cuts, reinterpret_cast<const uint8_t*>(p), body + 1, i);
  return {pos, body, i, cut, 0};
}

// The piece_hash of a piece p[start, end) that is looked up (2 to hash_max
// bytes), else 0; the table lines of its lookups start coming.
[[gnu::always_inline]] inline uint64_t hash_ahead(const Tokenizer& model, const PieceCache* cache,
                                                  size_t hash_max, const uint8_t* p, size_t start,
                                                  size_t end) {
  const size_t len = end - start;
  if (len < 2 || len > hash_max) return 0;
  const uint64_t hash = piece_hash(p + start, len);
  model.whole_pieces.prefetch(hash);
  if (cache != nullptr) cache->prefetch(hash);
  return hash;
}

// A word with cuts, in the pieces between them. Most words of mail and code
// carry punctuation, and without it their pieces are tokens or repeats that the
// caches hold, where the whole word is new. `word.hash` is that of its first
// piece; each piece's lines are fetched while the piece before it is encoded.
// Inlined into both word loops of encode_words (left to itself, the compiler
// calls it once there are two, for 1.3% more instructions on llama2).
[[gnu::always_inline]] inline void encode_cut_word(const Tokenizer& model,
                                                   const std::array<uint64_t, 1024>& cuts,
                                                   const char* text, const MetaspaceWord& word,
                                                   size_t hash_max, MergeScratch& scratch,
                                                   MergeStrategy strategy) {
  const auto* p = reinterpret_cast<const uint8_t*>(text);
  size_t start = word.start;
  size_t end = word.cut;
  uint64_t hash = word.hash;
  for (;;) {
    size_t next_end = end;
    uint64_t next_hash = 0;
    if (end != word.end) {
      next_end = cut_at(cuts, p, end + 1, word.end);
      next_hash = hash_ahead(model, scratch.piece_cache, hash_max, p, end, next_end);
    }
    // One ASCII character is its own id, or its byte's: cuts exist only where
    // every byte has one (and only with byte_fallback).
    if (end - start == 1 && p[start] < 0x80) {
      const int32_t id = model.ascii_ids[p[start]];
      scratch.output.push_back(static_cast<uint32_t>(id >= 0 ? id : model.byte_ids[p[start]]));
    } else {
      encode_fallback_hashed(model, std::string_view(text + start, end - start), hash, scratch,
                             strategy);
    }
    if (end == word.end) return;
    start = end;
    end = next_end;
    hash = next_hash;
  }
}

// Encodes the words of a text of n bytes, from `find(pos)` (the word at pos,
// its lines on their way), each found kAhead words before `encode` takes it.
// Out of line: the loop of the words found one ahead keeps its registers.
template <size_t kAhead, class Find, class Encode>
[[gnu::noinline]] void encode_words_ahead(size_t n, const Find& find, const Encode& encode) {
  static_assert((kAhead & (kAhead - 1)) == 0, "the ring's index is masked");
  MetaspaceWord ring[kAhead];
  size_t found = 0;
  size_t pos = 0;
  for (; found < kAhead && pos < n; ++found) {
    ring[found] = find(pos);
    pos = ring[found].end;
  }
  for (size_t done = 0; done < found; ++done) {
    const MetaspaceWord word = ring[done & (kAhead - 1)];
    if (pos < n) {
      MetaspaceWord& next = ring[found & (kAhead - 1)];
      next = find(pos);
      pos = next.end;
      ++found;
    }
    encode(word);
  }
}

// Each word is one piece, or where the model has a cut table, the pieces
// between its cuts. A byte_fallback model's words are found ahead, and the
// table lines that a word's lookups read are fetched while the words before it
// are encoded: with a large vocabulary the whole-piece table misses L2 on most
// probes of text in many scripts. Not inlined: inside the driver it
// compiles to more instructions (0.4% more per byte on llama2).
[[gnu::noinline]] void encode_words(const Tokenizer& model, std::string_view text,
                                    const MetaspaceWords& words, MergeScratch& scratch,
                                    MergeStrategy strategy) {
  const char* p = text.data();
  const size_t n = text.size();
  if (n == 0) return;
  if (!model.byte_fallback) {
    for (size_t pos = 0; pos < n;) {
      const size_t end = word_at(p, pos, n, words).end;
      encode_piece(model, text.substr(pos, end - pos), scratch, strategy);
      pos = end;
    }
    return;
  }
  const size_t hash_max = hash_max_of(model);
  const auto* bytes = reinterpret_cast<const uint8_t*>(p);
  auto find = [&](size_t pos) __attribute__((always_inline)) {
    MetaspaceWord word = word_at(p, pos, n, words);
    word.hash = hash_ahead(model, scratch.piece_cache, hash_max, bytes, pos, word.cut);
    return word;
  };
  // Short pieces merge several at a time (see canonical_merge_together): the
  // bucketed tables are those of large vocabularies, whose probes miss the cache.
  HeldPieces held;
  const bool hold = model.merges.bucketed();
  if (hold) scratch.held = &held;
  auto encode = [&](const MetaspaceWord& word) __attribute__((always_inline)) {
    if (word.cut != word.end) {
      encode_cut_word(model, words.cuts, p, word, hash_max, scratch, strategy);
    } else {
      encode_fallback_hashed(model, text.substr(word.start, word.end - word.start), word.hash,
                             scratch, strategy);
    }
  };
  // Where the whole-piece table is larger than L2, a word settled from the
  // cache, or held for merging, takes less time than its successor's lines
  // take to come: one word ahead, most lookups still waited on them.
  constexpr size_t kFarTableBytes = size_t{2} << 20;
  if (model.whole_pieces.size_bytes() >= kFarTableBytes) {
    encode_words_ahead<4>(n, find, encode);
  } else {
    MetaspaceWord word = find(0);
    for (;;) {
      const bool last = word.end == n;
      MetaspaceWord next{};
      if (!last) next = find(word.end);
      encode(word);
      if (last) break;
      word = next;
    }
  }
  if (hold) release_held(model, scratch);
}

// ByteLevel "add_prefix_space" after other members: a piece that does not start
// with a space is encoded with one before it.
void encode_with_prefix_space(const Tokenizer& model, std::string_view piece, std::string& buffer,
                              MergeScratch& scratch, MergeStrategy strategy) {
  if (!piece.empty() && piece[0] == ' ') {
    encode_byte_level_piece(model, piece, scratch, strategy);
    return;
  }
  buffer.assign(1, ' ');
  buffer.append(piece);
  encode_byte_level_piece(model, buffer, scratch, strategy);
}

// Empty spans give nothing.
InternalCheck encode_spans(const Tokenizer& model, std::string_view text,
                           const std::vector<Span>& spans, ByteLevelPrefix prefix,
                           MergeScratch& scratch, MergeStrategy strategy) {
  std::string buffer;
  for (const Span& span : spans) {
    if (span.end < span.start || span.end > text.size()) return kBadSpan;
    if (span.end == span.start) continue;
    const std::string_view piece = text.substr(span.start, span.end - span.start);
    if (prefix == ByteLevelPrefix::kEachPiece) {
      encode_with_prefix_space(model, piece, buffer, scratch, strategy);
    } else {
      encode_piece(model, piece, scratch, strategy);
    }
  }
  return nullptr;
}

// `step` by value: its captures then stay in registers, where through a
// reference they were loaded again for every piece (the stores of ids might
// have changed them, as far as the compiler knew).
template <class Step>
InternalCheck scan_and_encode(const Tokenizer& model, std::string_view text, ByteLevelPrefix prefix,
                              MergeScratch& scratch, MergeStrategy strategy, Step step) {
  const auto* bytes = reinterpret_cast<const uint8_t*>(text.data());
  const size_t n = text.size();
  if (prefix == ByteLevelPrefix::kEachPiece) {
    std::string buffer;
    for (size_t pos = 0; pos < n;) {
      const size_t end = step(bytes, n, pos);
      if (end <= pos || end > n) return kBadScannerEnd;
      encode_with_prefix_space(model, text.substr(pos, end - pos), buffer, scratch, strategy);
      pos = end;
    }
    return nullptr;
  }
  size_t pos = 0;
  if (!plain_byte_level(model)) {
    while (pos < n) {
      const size_t end = step(bytes, n, pos);
      if (end <= pos || end > n) return kBadScannerEnd;
      encode_byte_level_piece(model, text.substr(pos, end - pos), scratch, strategy);
      pos = end;
    }
    return nullptr;
  }
  // Most pieces end in look_up_plain_piece or the cache, inlined here: cheaper
  // than a call. Their ids go to a block on the stack, kept in registers
  // instead of a vector's fields; the block joins the call's ids when it fills.
  // Merged pieces are appended to scratch.output, emptied for them here, and
  // moved on from there.
  constexpr size_t kBlock = 512;
  constexpr size_t kRoom = PieceCache::kMaxIds;  // the most ids a lookup gives
  uint32_t block[kBlock];
  uint32_t* w = block;
  std::vector<uint32_t> ids = std::move(scratch.output);
  scratch.output.clear();
  auto flush = [&] {
    ids.insert(ids.end(), block, w);
    w = block;
  };
  const size_t whole_max = model.whole_pieces.max_len();
  const size_t hash_max = hash_max_of(model);
  PieceCache* const cache = scratch.piece_cache;
  // Set where the piece cache is: for models with a serial, on the automatic strategy.
  TokenCache* const tokens = cache != nullptr ? TokenCache::for_thread() : nullptr;
  const uint32_t serial = model.cache_serial;
  InternalCheck check = nullptr;
  while (pos < n) {
    if (w > block + kBlock - kRoom) flush();
    const size_t end = step(bytes, n, pos);
    if (end <= pos || end > n) {
      check = kBadScannerEnd;
      break;
    }
    const uint8_t* p = bytes + pos;
    const size_t len = end - pos;
    pos = end;
    uint64_t hash;
    if (uint32_t* next =
            look_up_plain_piece(model, p, len, whole_max, hash_max, tokens, w, &hash)) {
      w = next;
      continue;
    }
    PieceCache* const piece_cache = len <= PieceCache::kMaxBytes ? cache : nullptr;
    if (piece_cache != nullptr) {
      if (const PieceCache::Entry* hit = piece_cache->find(serial, hash, p, len)) {
        for (size_t i = 0; i < hit->n_ids(); ++i) w[i] = hit->ids[i];
        w += hit->n_ids();
        continue;
      }
    }
    merge_byte_level_piece(model, std::string_view(reinterpret_cast<const char*>(p), len), hash,
                           piece_cache, scratch, strategy);
    const size_t merged = scratch.output.size();
    if (merged <= static_cast<size_t>(block + kBlock - w)) {
      // An empty output has no buffer, and memcpy takes no null pointer.
      if (merged != 0) std::memcpy(w, scratch.output.data(), merged * sizeof(uint32_t));
      w += merged;
    } else {
      flush();
      ids.insert(ids.end(), scratch.output.begin(), scratch.output.end());
    }
    scratch.output.clear();
  }
  flush();
  scratch.output = std::move(ids);
  return check;
}

// The fast scanner: pieces are encoded as soon as their ends are known. One loop
// per scanner kind, with the step inlined into it (a call per piece costs 3 to 5%
// on English).
InternalCheck encode_scanned(const Tokenizer& model, std::string_view text,
                             const ScannedPieces& scanned, MergeScratch& scratch,
                             MergeStrategy strategy) {
  const bool flag = scanned.spec.flag == 1;
  const uint32_t digits = scanned.spec.digit_limit;
  const ByteLevelPrefix prefix = scanned.prefix;
  switch (scanned.spec.kind) {
    case ScannerKind::kGpt2:
      return scan_and_encode(
          model, text, prefix, scratch,
          strategy, [flag](const uint8_t* t, size_t n, size_t pos) __attribute__((always_inline)) {
            return scan::scan_kind0(flag, t, n, pos);
          });
    case ScannerKind::kCl100k:
      return scan_and_encode(
          model, text, prefix, scratch, strategy,
          [ flag, digits ](const uint8_t* t, size_t n, size_t pos)
              __attribute__((always_inline)) { return scan::scan_kind1(flag, digits, t, n, pos); });
    case ScannerKind::kO200k:
      break;
  }
  return scan_and_encode(
      model, text, prefix, scratch, strategy,
      [ flag, digits ](const uint8_t* t, size_t n, size_t pos)
          __attribute__((always_inline)) { return scan::scan_kind2(flag, digits, t, n, pos); });
}

// The normalizer's rewrites outside the metaspace road: spaces become U+2581 and
// U+2581 goes before a non-empty text. Without them, `text` itself.
std::string_view normalizer_rewrite(const Tokenizer& model, std::string_view text,
                                    std::string& out) {
  if (text.empty() || (!model.rewrite_prepend && !model.rewrite_spaces)) return text;
  if (model.rewrite_prepend) out.append(kMeta, kMetaLen);
  if (!model.rewrite_spaces) return out.append(text);
  for (const char c : text) {
    if (c == ' ') {
      out.append(kMeta, kMetaLen);
    } else {
      out.push_back(c);
    }
  }
  return out;
}

// The normalized text with `rewrite` (which returns its result) applied after the
// normalizer, or before it when a compatibility form follows the Replace: the
// spaces the form makes stay spaces.
template <class Rewrite>
std::string_view normalize_and_rewrite(const Tokenizer& model, std::string_view text,
                                       NormalizedText& normalized, std::string& rewritten,
                                       const Rewrite& rewrite) {
  if (model.rewrite_before_form) {
    normalize_text(model.normalizer_kind, rewrite(text, rewritten), normalized);
    return normalized.text;
  }
  normalize_text(model.normalizer_kind, text, normalized);
  return rewrite(normalized.text, rewritten);
}

InternalCheck encode_text_unchecked(const Tokenizer& model, std::string_view text,
                                    MergeStrategy strategy, bool add_prefix,
                                    std::vector<uint32_t>& out) {
  // The scratch's output vector is the caller's: ids are appended to what it holds.
  MergeScratch scratch;
  scratch.output = std::move(out);
  // Forced strategies are there to be compared, so they always merge.
  if (model.cache_serial != 0 && strategy == MergeStrategy::kAuto) {
    scratch.piece_cache = PieceCache::for_thread();
  }
  // About one id per four bytes of ordinary text; growth covers the rest.
  scratch.output.reserve(scratch.output.size() + text.size() / 4 + 16);
  NormalizedText normalized;
  std::string rewritten;
  std::string prefixed;
  // Every road but the metaspace one: the text as the normalizer leaves it, with
  // the ByteLevel space before it.
  auto prepared = [&](ByteLevelPrefix prefix) {
    std::string_view input = normalize_and_rewrite(
        model, text, normalized, rewritten,
        [&](std::string_view t, std::string& out) { return normalizer_rewrite(model, t, out); });
    if (prefix == ByteLevelPrefix::kText && !input.empty() && input[0] != ' ') {
      input = prefixed.assign(1, ' ').append(input);
    }
    return input;
  };
  const InternalCheck check = std::visit(
      Overloaded{
          [&](const ScannedPieces& scanned) {
            return encode_scanned(model, prepared(scanned.prefix), scanned, scratch, strategy);
          },
          [&](const CjkPieces& cjk) {
            const std::string_view input = prepared(cjk.prefix);
            std::vector<Span> spans;
            std::vector<Span> work;
            cjk_pieces(reinterpret_cast<const uint8_t*>(input.data()), input.size(), spans, work);
            return encode_spans(model, input, spans, cjk.prefix, scratch, strategy);
          },
          [&](const SplitPieces& split) {
            const std::string_view input = prepared(split.prefix);
            return encode_spans(model, input, regex_pieces(split.regexes, input), split.prefix,
                                scratch, strategy);
          },
          [&](const WholeText&) -> InternalCheck {
            encode_byte_fallback(model, prepared(ByteLevelPrefix::kNone), scratch, strategy);
            return nullptr;
          },
          [&](const MetaspaceWords& words) -> InternalCheck {
            std::unique_ptr<char[]> buffer;
            const auto rewrite = [&](std::string_view t, std::string&) {
              return t.empty() ? t : metaspace_rewrite(t, words.mode, add_prefix, buffer);
            };
            encode_words(model, normalize_and_rewrite(model, text, normalized, rewritten, rewrite),
                         words, scratch, strategy);
            return nullptr;
          },
      },
      model.pre_tokenizer);
  out = std::move(scratch.output);
  return check;
}

}  // namespace

InternalCheck encode_text(const Tokenizer& model, std::string_view text, MergeStrategy strategy,
                          bool add_prefix, std::vector<uint32_t>& out) {
  // The encode paths allocate as they go; running out becomes an error value
  // here instead of an exception on every hot path.
  try {
    return encode_text_unchecked(model, text, strategy, add_prefix, out);
  } catch (const std::bad_alloc&) {
    return kOutOfMemory;
  } catch (const std::length_error&) {
    return kOutOfMemory;
  }
}

namespace {

// The ranks of every pair of ASCII bytes whose ids `ids` gives (kNone where
// either has none), indexed by the two bytes.
std::vector<uint32_t> pair_ranks_of(const Tokenizer& model, const int32_t* ids) {
  std::vector<uint32_t> ranks(128 * 128, kNone);
  for (size_t a = 0; a < 128; ++a) {
    for (size_t b = 0; b < 128; ++b) {
      if (ids[a] < 0 || ids[b] < 0) continue;
      ranks[a << 7 | b] =
          model.merges.rank(static_cast<uint32_t>(ids[a]), static_cast<uint32_t>(ids[b]));
    }
  }
  return ranks;
}

}  // namespace

std::vector<uint32_t> ascii_pair_ranks(const Tokenizer& model) {
  return pair_ranks_of(model, model.ascii_ids.data());
}

std::vector<uint32_t> ascii_byte_pair_ranks(const Tokenizer& model) {
  // Only where every ASCII byte has an id: the encoder then takes a piece's
  // ids one per byte.
  for (size_t b = 0; b < 128; ++b) {
    if (model.byte_ids[b] < 0) return {};
  }
  return pair_ranks_of(model, model.byte_ids.data());
}

std::array<bool, 256> metaspace_join_bytes(const Tokenizer& model) {
  std::array<bool, 256> joins{};
  const std::string_view meta(kMeta, kMetaLen);
  // Decoded token bytes of byte_fallback models show U+2581 as a space.
  auto starts_meta = [&](std::string_view t) {
    if (model.byte_fallback && t[0] == ' ') return true;
    return t.size() >= kMetaLen ? t.substr(0, kMetaLen) == meta : meta.substr(0, t.size()) == t;
  };
  auto ends_meta = [&](std::string_view t) {
    if (model.byte_fallback && t.back() == ' ') return true;
    return t.size() >= kMetaLen && t.substr(t.size() - kMetaLen) == meta;
  };
  const size_t n = model.token_bytes.spans.size();
  for (const MergeRule& rule : model.stream.rules) {
    if (rule.left >= n || rule.right >= n) continue;
    const std::string_view left = model.token_bytes.bytes_of(rule.left);
    const std::string_view right = model.token_bytes.bytes_of(rule.right);
    if (left.empty() || right.empty()) continue;
    if (starts_meta(right) && !ends_meta(left)) joins[static_cast<uint8_t>(left.back())] = true;
  }
  return joins;
}

std::array<uint64_t, 1024> cut_pairs(const Tokenizer& model) {
  std::array<uint64_t, 1024> cuts{};
  if (!model.byte_fallback || model.piece_ids.has_value()) return cuts;
  for (int32_t id : model.byte_ids) {
    if (id < 0) return cuts;
  }
  // A merge across a cut joins a token whose bytes end with the byte before it
  // to one whose bytes start with the byte after it. Byte tokens are their
  // byte; U+2581 shows as a space in token bytes, so no cut is next to a space
  // or to U+2581's first or last byte.
  std::vector<bool> joined(256 * 256);
  const size_t n = model.token_bytes.spans.size();
  for (const MergeRule& rule : model.stream.rules) {
    if (rule.left >= n || rule.right >= n) return cuts;
    const std::string_view left = model.token_bytes.bytes_of(rule.left);
    const std::string_view right = model.token_bytes.bytes_of(rule.right);
    if (left.empty() || right.empty()) return cuts;
    joined[static_cast<uint8_t>(left.back()) << 8 | static_cast<uint8_t>(right.front())] = true;
  }
  const uint8_t meta_first = static_cast<uint8_t>(kMeta[0]);
  const uint8_t meta_last = static_cast<uint8_t>(kMeta[kMetaLen - 1]);
  for (unsigned x = 0; x < 256; ++x) {
    for (unsigned y = 0; y < 256; ++y) {
      if (x == ' ' || y == ' ' || x == meta_last || y == meta_first || joined[x << 8 | y]) continue;
      if ((y & 0xC0) == 0x80) continue;  // inside a character
      const unsigned pair = x << 8 | y;
      cuts[pair >> 6] |= uint64_t{1} << (pair & 63);
    }
  }
  return cuts;
}

void encode_byte_fallback(const Tokenizer& model, std::string_view piece, MergeScratch& scratch,
                          MergeStrategy strategy) {
  const size_t n = piece.size();
  uint64_t hash = 0;
  if (n >= 2 && n <= hash_max_of(model)) {
    hash = piece_hash(reinterpret_cast<const uint8_t*>(piece.data()), n);
  }
  encode_fallback_hashed(model, piece, hash, scratch, strategy);
}

namespace {

// Puts the merged ids of the held pieces where they belong in the output, each
// before the ids of the pieces that came after it, remembers them, and empties
// the hold.
void place_held(const Tokenizer& model, HeldPieces& held, const size_t* kept,
                MergeScratch& scratch) {
  if (held.count == 0) return;
  // The output from the first held piece on is laid out again in `placed`, by
  // copies of fixed size that overlap, each starting where the ids so far end:
  // a few ids each, mostly, where a copy of their length costs a mispredicted
  // branch or two.
  constexpr size_t kGapCopy = 16;
  std::vector<uint32_t>& output = scratch.output;
  const size_t first = held.pieces[0].position;
  const size_t end = output.size();
  size_t total = end - first;
  for (size_t k = 0; k < held.count; ++k) total += kept[k];
  std::vector<uint32_t>& placed = held.placed;
  if (placed.size() < total + kCanonicalPairMax + kGapCopy) {
    placed.resize(total + kCanonicalPairMax + kGapCopy);
  }
  output.resize(end + kGapCopy);  // the last gap's copy reads past it
  const uint32_t* const o = output.data();
  uint32_t* const to = placed.data();
  size_t w = 0;
  for (size_t k = 0; k < held.count; ++k) {
    const HeldPieces::Piece& piece = held.pieces[k];
    std::memcpy(to + w, piece.ids, sizeof(piece.ids));
    w += kept[k];
    const size_t gap_end = k + 1 < held.count ? held.pieces[k + 1].position : end;
    const size_t gap = gap_end - piece.position;
    std::memcpy(to + w, o + piece.position, kGapCopy * sizeof(uint32_t));
    if (__builtin_expect(gap > kGapCopy, 0)) {
      std::memcpy(to + w + kGapCopy, o + piece.position + kGapCopy,
                  (gap - kGapCopy) * sizeof(uint32_t));
    }
    w += gap;
  }
  output.resize(first + total);
  std::memcpy(output.data() + first, to, total * sizeof(uint32_t));
  for (size_t k = 0; k < held.count; ++k) {
    const HeldPieces::Piece& piece = held.pieces[k];
    if (piece.cached) {
      scratch.piece_cache->insert(model.cache_serial, piece.hash,
                                  reinterpret_cast<const uint8_t*>(piece.text.data()),
                                  piece.text.size(), piece.ids, kept[k]);
    }
  }
  held.count = 0;
}

// Holds the piece back, and once kCanonicalTogether are held merges them side
// by side. Their ids land in text order: each piece's go where the output
// stood when it was held. `ids` and `pair_ranks` hold kCanonicalPairMax
// entries, of which the piece's are the first.
[[gnu::noinline]] void hold_piece(const Tokenizer& model, std::string_view text, uint64_t hash,
                                  bool cached, const uint32_t* ids, const uint32_t* pair_ranks,
                                  size_t n, MergeScratch& scratch) {
  HeldPieces& held = *scratch.held;
  HeldPieces::Piece& piece = held.pieces[held.count++];
  // Whole arrays: a copy of fixed size has no branches on the length.
  std::memcpy(piece.ids, ids, sizeof(piece.ids));
  std::memcpy(piece.pair_ranks, pair_ranks, sizeof(piece.pair_ranks));
  piece.n = n;
  piece.position = scratch.output.size();
  piece.text = text;
  piece.hash = hash;
  piece.cached = cached;
  if (held.count < kCanonicalTogether) return;
  PieceMerge merges[kCanonicalTogether];
  for (size_t k = 0; k < kCanonicalTogether; ++k) {
    merges[k] = {held.pieces[k].ids, held.pieces[k].pair_ranks, held.pieces[k].n, 0};
  }
  canonical_merge_together(model.merges, merges);
  size_t kept[kCanonicalTogether];
  for (size_t k = 0; k < kCanonicalTogether; ++k) kept[k] = merges[k].kept;
  place_held(model, held, kept, scratch);
}

void release_held(const Tokenizer& model, MergeScratch& scratch) {
  HeldPieces& held = *scratch.held;
  size_t kept[kCanonicalTogether];
  for (size_t k = 0; k < held.count; ++k) {
    HeldPieces::Piece& piece = held.pieces[k];
    kept[k] = canonical_merge_in_place(model.merges, piece.ids, piece.pair_ranks, piece.n);
  }
  place_held(model, held, kept, scratch);
  scratch.held = nullptr;
}

void encode_fallback_hashed(const Tokenizer& model, std::string_view piece, uint64_t hash,
                            MergeScratch& scratch, MergeStrategy strategy) {
  const auto* p = reinterpret_cast<const uint8_t*>(piece.data());
  const size_t n = piece.size();
  PieceCache* const cache = n >= 2 && n <= PieceCache::kMaxBytes ? scratch.piece_cache : nullptr;
  // The cache first: a hit there reads one line, where a whole piece costs a
  // slot and its record, and a miss in the table a slot or more.
  if (cache != nullptr && take_cached(*cache, model, hash, piece, scratch.output)) return;
  if (n >= 2 && n <= model.whole_pieces.max_len()) {
    const uint32_t whole = model.whole_pieces.find_hashed(piece, hash);
    if (whole != kNone) {
      scratch.output.push_back(whole);
      return;
    }
  }
  const size_t first_id = scratch.output.size();
  // At most one id per byte: short pieces gather their ids on the stack.
  uint32_t stack_ids[kShortPieceMax];
  uint32_t* ids = stack_ids;
  if (n > kShortPieceMax) {
    scratch.piece.resize(n);
    ids = scratch.piece.data();
  }
  // Short pieces of a non-monotonic table: the rank of each pair of ASCII
  // characters comes from the model's dense table, for the canonical merger.
  uint32_t pair_ranks[kShortPieceMax];
  const uint32_t* const ascii_pairs =
      ids == stack_ids && !model.ascii_pairs.empty() ? model.ascii_pairs.data() : nullptr;
  size_t count = 0;
  // The ASCII byte whose character id is ids[count - 1], else -1.
  int last_ascii = -1;
  auto push = [&](uint32_t id, int ascii) {
    if (ascii_pairs != nullptr && count > 0) {
      pair_ranks[count - 1] = ascii >= 0 && last_ascii >= 0
                                  ? ascii_pairs[static_cast<size_t>(last_ascii) << 7 | ascii]
                                  : kRankUnknown;
    }
    ids[count++] = id;
    last_ascii = ascii;
  };
  // A character with neither a text nor a byte token for each of its bytes
  // becomes the unknown id (or nothing, without one). As in the reference, that
  // id waits until the next character that has a text: characters taken as byte
  // tokens go out before it, and with fuse_unk the unknown characters around
  // them fuse into one id.
  bool unknown_waits = false;
  auto unknown = [&] {
    if (model.unk_id < 0) return;
    if (unknown_waits && !model.fuse_unk) push(static_cast<uint32_t>(model.unk_id), -1);
    unknown_waits = true;
  };
  auto known = [&](uint32_t id, int ascii) {
    if (unknown_waits) {
      push(static_cast<uint32_t>(model.unk_id), -1);
      unknown_waits = false;
    }
    push(id, ascii);
  };
  const bool search_chars = !model.char_table.empty();
  size_t i = 0;
  while (i < n) {
    const uint8_t lead = p[i];
    if (lead < 0x80) {
      const int32_t id = model.ascii_ids[lead];
      if (id >= 0) {
        known(static_cast<uint32_t>(id), lead);
      } else if (model.byte_ids[lead] >= 0) {
        push(static_cast<uint32_t>(model.byte_ids[lead]), -1);
      } else {
        unknown();
      }
      ++i;
      continue;
    }
    // An ill-formed byte stands alone and falls back to its byte id (it must never
    // be taken for the character of its value).
    const auto [cp, well_formed_len] = utf8::decode_well_formed(p, n, i);
    const bool valid = well_formed_len != 0;
    const size_t len = valid ? well_formed_len : 1;
    if (valid && search_chars) {
      const int32_t id = model.char_table.find(cp);
      if (id >= 0) {
        known(static_cast<uint32_t>(id), -1);
        i += len;
        continue;
      }
    }
    bool all_bytes = true;
    for (size_t k = 0; k < len; ++k) all_bytes &= model.byte_ids[p[i + k]] >= 0;
    if (all_bytes) {
      for (size_t k = 0; k < len; ++k) push(static_cast<uint32_t>(model.byte_ids[p[i + k]]), -1);
    } else {
      unknown();
    }
    i += len;
  }
  if (unknown_waits) push(static_cast<uint32_t>(model.unk_id), -1);
  if (ascii_pairs != nullptr && count >= 2 && count <= kCanonicalShortMax) {
    if (scratch.held != nullptr && count <= kCanonicalPairMax) {
      hold_piece(model, piece, hash, cache != nullptr, ids, pair_ranks, count, scratch);
      return;
    }
    canonical_merge_short(model.merges, ids, pair_ranks, count, scratch.output);
  } else if (ids == stack_ids) {
    bpe_merge_ids(model, ids, count, scratch, strategy);
  } else {
    scratch.piece.resize(count);
    bpe_merge(model, scratch, strategy);
  }
  if (cache != nullptr) remember(*cache, model, hash, piece, scratch.output, first_id);
}

}  // namespace

}  // namespace quorvane
