#include "lib/special_tokens.h"

#include <new>
#include <stdexcept>
#include <string>
#include <utility>

#include "lib/encode.h"
#include "lib/special_matcher.h"
#include "unicode/char_class.h"
#include "unicode/utf8.h"

namespace quorvane {
namespace {

// lstrip and rstrip take whole White_Space characters (U+00A0, U+3000, U+0085
// and the rest, not only ASCII), as the models' own tooling strips them.

// A stray byte reads as a one-byte character of its own value: never whitespace
// unless it is ASCII.
bool is_space_char(DecodedChar c) { return (c.len > 1 || c.cp < 0x80) && is_whitespace(c.cp); }

// The end of the whitespace run that starts at `pos`.
size_t skip_space_forward(const uint8_t* text, size_t n, size_t pos) {
  while (pos < n) {
    const DecodedChar c = utf8::decode_or_byte(text, n, pos);
    if (!is_space_char(c)) break;
    pos += c.len;
  }
  return pos;
}

// The start of the whitespace run that ends at `pos`, not below `floor`.
size_t skip_space_backward(const uint8_t* text, size_t floor, size_t pos) {
  while (pos > floor) {
    size_t start = pos - 1;
    while (start > floor && pos - start < 4 && utf8::is_continuation(text[start])) --start;
    const DecodedChar c = utf8::decode_or_byte(text, pos, start);
    if (start + c.len != pos || !is_space_char(c)) break;
    pos = start;
  }
  return pos;
}

}  // namespace

Result<Unit> build_special_matcher(Tokenizer& model, std::vector<std::string> contents,
                                   std::vector<uint32_t> ids, std::vector<uint8_t> lstrip,
                                   std::vector<uint8_t> rstrip, PrefixScheme scheme) {
  // A match must always find its id and flags, so the four lists go together.
  if (ids.size() != contents.size() || lstrip.size() != contents.size() ||
      rstrip.size() != contents.size()) {
    return Error{
        "set_special_tokens: contents, ids, lstrip and rstrip must have the same length (got " +
        std::to_string(contents.size()) + ", " + std::to_string(ids.size()) + ", " +
        std::to_string(lstrip.size()) + " and " + std::to_string(rstrip.size()) + ")"};
  }
  std::shared_ptr<const SpecialTokenMatcher> matcher;
  if (!contents.empty()) {
    auto built = SpecialTokenMatcher::build(contents);
    if (!built.ok()) return Error{"special-token matcher: " + built.error()};
    matcher = std::move(built).value();
  }
  model.special_matcher = std::move(matcher);
  model.special_ids = std::move(ids);
  model.special_lstrip = std::move(lstrip);
  model.special_rstrip = std::move(rstrip);
  model.prefix_scheme = scheme;
  return Unit{};
}

namespace {

InternalCheck encode_with_specials_unchecked(const Tokenizer& model, std::string_view text,
                                             std::vector<uint32_t>& out) {
  if (!model.special_matcher) return encode_text(model, text, MergeStrategy::kAuto, true, out);

  const SpecialTokenMatcher& matcher = *model.special_matcher;
  const size_t n = text.size();
  const auto* bytes = reinterpret_cast<const uint8_t*>(text.data());
  auto gap_prefix = [&](size_t start) {
    return start == 0 || model.prefix_scheme != PrefixScheme::kFirst;
  };

  size_t last = 0;
  size_t from = 0;
  SpecialMatch match{};
  while (from < n && matcher.find(text, from, match)) {
    const uint32_t i = match.pattern;
    if (i >= model.special_ids.size() || i >= model.special_lstrip.size() ||
        i >= model.special_rstrip.size()) {
      return "special-token match without a registered id";
    }
    size_t gap_end = match.start;
    if (model.special_lstrip[i] && gap_end > last) {
      gap_end = skip_space_backward(bytes, last, gap_end);
    }
    const size_t next =
        model.special_rstrip[i] ? skip_space_forward(bytes, n, match.end) : match.end;
    if (gap_end > last) {
      InternalCheck check = encode_text(model, text.substr(last, gap_end - last),
                                        MergeStrategy::kAuto, gap_prefix(last), out);
      if (check != nullptr) return check;
    }
    // A match may begin inside whitespace the previous rstrip passed over: what
    // follows it is encoded again, so only what a match covers is consumed. With
    // lstrip, a match that ends inside that whitespace is consumed with it.
    if (!model.special_lstrip[i] || next > last) out.push_back(model.special_ids[i]);
    last = next;
    from = match.end;
  }
  if (last < n)
    return encode_text(model, text.substr(last), MergeStrategy::kAuto, gap_prefix(last), out);
  return nullptr;
}

}  // namespace

InternalCheck encode_with_specials(const Tokenizer& model, std::string_view text,
                                   std::vector<uint32_t>& out) {
  try {
    return encode_with_specials_unchecked(model, text, out);
  } catch (const std::bad_alloc&) {
    return kOutOfMemory;
  } catch (const std::length_error&) {
    return kOutOfMemory;
  }
}

}  // namespace quorvane
