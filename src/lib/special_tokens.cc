#include "lib/special_tokens.h"

#include <string>
#include <utility>

#include "lib/encode.h"
#include "lib/special_matcher.h"

namespace quorvane {
namespace {

// Only the six ASCII whitespace bytes are stripped next to a special token.
bool is_strip_space(unsigned char b) { return b == ' ' || (b >= 0x09 && b <= 0x0D); }

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

InternalCheck encode_with_specials(const Tokenizer& model, std::string_view text,
                                   std::vector<uint32_t>& out) {
  if (!model.special_matcher) return encode_text(model, text, kMergeAuto, true, out);

  const SpecialTokenMatcher& matcher = *model.special_matcher;
  const size_t n = text.size();
  const auto* bytes = reinterpret_cast<const unsigned char*>(text.data());
  // With scheme 2 only the gap at offset 0 may take the metaspace prefix.
  auto gap_prefix = [&](size_t start) { return start == 0 || model.prefix_scheme != 2; };

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
    if (model.special_lstrip[i]) {
      while (gap_end > last && is_strip_space(bytes[gap_end - 1])) --gap_end;
    }
    size_t next = match.end;
    if (model.special_rstrip[i]) {
      while (next < n && is_strip_space(bytes[next])) ++next;
    }
    if (gap_end > last) {
      InternalCheck check =
          encode_text(model, text.substr(last, gap_end - last), kMergeAuto, gap_prefix(last), out);
      if (check != nullptr) return check;
    }
    out.push_back(model.special_ids[i]);
    // A match may begin inside whitespace already consumed by the previous rstrip.
    if (next > last) last = next;
    from = match.end;
  }
  if (last < n) return encode_text(model, text.substr(last), kMergeAuto, gap_prefix(last), out);
  return nullptr;
}

}  // namespace quorvane
