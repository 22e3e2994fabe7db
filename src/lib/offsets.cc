#include "lib/offsets.h"

#include <new>
#include <stdexcept>
#include <variant>

#include "bpe/offset_merge.h"
#include "cjk/cjk_pieces.h"
#include "lib/normalize.h"
#include "lib/split_regex.h"
#include "pretok/scanner.h"

namespace quorvane {

namespace {

// Encodes text[start, end) and appends its ids and spans to the two outputs: a
// token's span runs from its first byte to its last, covering any byte without
// an id between them. Requires start <= end <= the text's length.
void encode_piece_with_offsets(const Tokenizer& model, const uint8_t* text, size_t start,
                               size_t end, std::vector<uint32_t>& out_ids,
                               std::vector<Span>& out_spans, OffsetScratch& scratch) {
  if (start >= end) return;
  if (model.piece_ids && !model.piece_ids->empty()) {
    const std::string_view bytes(reinterpret_cast<const char*>(text) + start, end - start);
    const auto it = model.piece_ids->find(bytes);
    if (it != model.piece_ids->end()) {
      out_ids.push_back(it->second);
      out_spans.push_back(Span{start, end});
      return;
    }
  }
  scratch.ids.clear();
  scratch.spans.clear();
  for (size_t i = start; i < end; ++i) {
    const int32_t id = model.byte_ids[text[i]];
    if (id < 0) continue;  // no id, no span; a later merge across it covers it
    scratch.ids.push_back(static_cast<uint32_t>(id));
    scratch.spans.push_back(Span{i, i + 1});
  }
  merge_with_offsets(model, scratch, out_ids, out_spans);
}

const char* offsets_refusal_unchecked(const Tokenizer& model, std::string_view text) {
  if (model.byte_fallback) {
    return "encode_with_offsets is only available for ByteLevel models "
           "(byte_fallback/SentencePiece "
           "transform the text, so offsets wouldn't map to the original)";
  }
  const ByteLevelPrefix prefix = std::visit(
      [](const auto& road) {
        if constexpr (requires { road.prefix; }) return road.prefix;
        return ByteLevelPrefix::kNone;
      },
      model.pre_tokenizer);
  if (model.rewrite_spaces || model.rewrite_prepend || prefix != ByteLevelPrefix::kNone) {
    return "encode_with_offsets: this model inserts or replaces text before pre-tokenizing (a "
           "Replace or Prepend normalizer, or ByteLevel add_prefix_space); byte offsets into the "
           "original text are undefined";
  }
  if (model.normalizer_kind != kNormNone) {
    NormalizedText normalized;
    normalize_text(model.normalizer_kind, text, normalized);
    // Contents count, not the kind of result: a copy with the same bytes is fine.
    if (normalized.text != text) {
      return "encode_with_offsets: input is not already normalized and this model applies a "
             "Unicode normalizer; byte offsets into the original text are undefined (normalize "
             "the text first)";
    }
  }
  if (model.fuse_unk) {
    return "encode_with_offsets: this model fuses runs of bytes without a token into one unknown "
           "token, which the offset path does not implement";
  }
  if (!model.monotonic) {
    return "encode_with_offsets: this model's merge table is non-monotonic and requires the "
           "canonical merger, which the offset path does not implement; offsets would not match "
           "encode() (encode/decode are unaffected)";
  }
  return nullptr;
}

InternalCheck encode_with_offsets_unchecked(const Tokenizer& model, std::string_view text,
                                            std::vector<uint32_t>& ids, std::vector<Span>& spans) {
  const auto* bytes = reinterpret_cast<const uint8_t*>(text.data());
  const size_t n = text.size();
  OffsetScratch scratch;
  auto encode_all = [&](const std::vector<Span>& pieces) -> InternalCheck {
    for (const Span& piece : pieces) {
      if (piece.end < piece.start || piece.end > n)
        return "pre-tokenizer span lies outside the text";
      encode_piece_with_offsets(model, bytes, piece.start, piece.end, ids, spans, scratch);
    }
    return nullptr;
  };
  return std::visit(
      Overloaded{
          [&](const ScannedPieces& scanned) -> InternalCheck {
            for (size_t pos = 0; pos < n;) {
              const size_t end = next_piece_end(scanned.spec, bytes, n, pos);
              if (end <= pos || end > n) return "scanner piece end lies outside (position, length]";
              encode_piece_with_offsets(model, bytes, pos, end, ids, spans, scratch);
              pos = end;
            }
            return nullptr;
          },
          [&](const CjkPieces&) {
            std::vector<Span> pieces;
            std::vector<Span> work;
            cjk_pieces(bytes, n, pieces, work);
            return encode_all(pieces);
          },
          [&](const SplitPieces& split) { return encode_all(regex_pieces(split.regexes, text)); },
          // The byte_fallback roads, which offsets_refusal refuses.
          [](const auto&) -> InternalCheck { return "no offsets on a byte_fallback road"; },
      },
      model.pre_tokenizer);
}

}  // namespace

const char* offsets_refusal(const Tokenizer& model, std::string_view text) {
  try {
    return offsets_refusal_unchecked(model, text);
  } catch (const std::bad_alloc&) {
    return kOutOfMemory;
  } catch (const std::length_error&) {
    return kOutOfMemory;
  }
}

InternalCheck encode_with_offsets(const Tokenizer& model, std::string_view text,
                                  std::vector<uint32_t>& ids, std::vector<Span>& spans) {
  try {
    return encode_with_offsets_unchecked(model, text, ids, spans);
  } catch (const std::bad_alloc&) {
    return kOutOfMemory;
  } catch (const std::length_error&) {
    return kOutOfMemory;
  }
}

}  // namespace quorvane
