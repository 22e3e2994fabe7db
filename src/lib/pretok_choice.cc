#include "lib/pretok_choice.h"

#include <array>

#include "lib/config_reading.h"
#include "lib/quoted.h"

namespace quorvane {
namespace {

constexpr std::string_view kCjkDigits = R"x(\p{N}{1,3})x";
constexpr std::string_view kCjkIdeographs =
    "[\xE4\xB8\x80-\xE9\xBE\xA5\xE3\x81\x80-\xE3\x82\x9F\xE3\x82\xA0-\xE3\x83\xBF]+";
constexpr std::string_view kCjkPunctuation =
    R"x([!"#$%&'()*+,\-./:;<=>?@\[\\\]^_`{|}~][A-Za-z]+|[^)x"
    "\r\n"
    R"x(\p{L}\p{P}\p{S}]?[\p{L}\p{M}]+| ?[\p{P}\p{S}]+[)x"
    "\r\n"
    R"x(]*|\s*[)x"
    "\r\n"
    R"x(]+|\s+(?!\S)|\s+)x";

constexpr std::string_view kDigitPattern = R"(\p{N})";
constexpr std::string_view kDigitRunPattern = R"(\p{N}+)";

constexpr const char* kByteFallbackRefusal =
    "unsupported pre_tokenizer for byte_fallback model (cannot be reproduced; refusing to "
    "mistokenize)";
constexpr const char* kRefusal = "unsupported pre_tokenizer (ByteLevel or byte_fallback)";

bool contains(std::string_view text, std::string_view part) {
  return text.find(part) != std::string_view::npos;
}

// Anchors the split patterns cannot honour once a text is cut into spans.
bool has_text_anchor(std::string_view pattern) {
  return contains(pattern, "\\A") || contains(pattern, "\\G") || contains(pattern, "\\z") ||
         contains(pattern, "\\Z");
}

// A regular expression that matches `text` literally (a Split's "String").
std::string literal_pattern(std::string_view text) {
  std::string out;
  for (const char c : text) {
    const auto b = static_cast<unsigned char>(c);
    const bool plain =
        (b >= '0' && b <= '9') || (b >= 'A' && b <= 'Z') || (b >= 'a' && b <= 'z') || b >= 0x80;
    if (!plain) {
      static constexpr char kHex[] = "0123456789abcdef";
      out += "\\x{";
      out += kHex[b >> 4];
      out += kHex[b & 15];
      out += '}';
    } else {
      out += c;
    }
  }
  return out;
}

// An Isolated, not inverted Split whose "Regex" is exactly `text`.
bool split_entry_matches(const JsonValue& m, std::string_view text) {
  return json_type_is(&m, "Split") && json_string_is(json_find(&m, "behavior"), "Isolated") &&
         !json_is_true(json_find(&m, "invert")) &&
         json_string_is(json_find(json_find(&m, "pattern"), "Regex"), text);
}

// How a Split's "behavior" and "invert" treat its matches.
enum class SplitKeeps : uint8_t {
  kEverything,   // Isolated, not inverted: matches and the text between them, apart
  kSameIfTiled,  // the same pieces as Isolated when the matches tile the text
};

struct PatternEntry {
  std::string text;
  SplitKeeps keeps = SplitKeeps::kEverything;
};

// The members of a Sequence, or the one member a lone pre-tokenizer is.
std::span<const JsonValue> members_of(const JsonValue* p) {
  if (json_type_is(p, "Sequence")) return json_elements(json_find(p, "pretokenizers"));
  if (p == nullptr || p->IsNull()) return {};
  return std::span<const JsonValue>(p, 1);
}

// The patterns of the Split and Digits members in order, and the ByteLevel that
// must close the list (when `byte_level` is given).
struct Collected {
  std::vector<PatternEntry> patterns;
  const JsonValue* byte_level = nullptr;
};

Result<Collected> collect_members(std::span<const JsonValue> members, const char* refusal) {
  Collected out;
  for (size_t i = 0; i < members.size(); ++i) {
    const JsonValue& m = members[i];
    if (json_type_is(&m, "Split")) {
      const JsonValue* pattern = json_find(&m, "pattern");
      const JsonValue* regex = json_find(pattern, "Regex");
      const JsonValue* literal = json_find(pattern, "String");
      PatternEntry entry;
      if (regex != nullptr && regex->IsString()) {
        entry.text = std::string(json_string(*regex));
      } else if (literal != nullptr && literal->IsString() && literal->GetStringLength() > 0) {
        entry.text = literal_pattern(json_string(*literal));
      } else {
        return unsupported_setting("pre_tokenizer Split", "pattern", pattern);
      }
      const JsonValue* behavior = json_find(&m, "behavior");
      const bool invert = json_is_true(json_find(&m, "invert"));
      if (json_string_is(behavior, "Isolated")) {
        entry.keeps = invert ? SplitKeeps::kSameIfTiled : SplitKeeps::kEverything;
      } else if (json_string_is(behavior, "MergedWithPrevious") ||
                 json_string_is(behavior, "MergedWithNext") ||
                 (json_string_is(behavior, "Removed") && invert)) {
        entry.keeps = SplitKeeps::kSameIfTiled;
      } else {
        return unsupported_setting("pre_tokenizer Split", "behavior", behavior);
      }
      out.patterns.push_back(std::move(entry));
    } else if (json_type_is(&m, "Digits")) {
      const bool single = json_is_true(json_find(&m, "individual_digits"));
      out.patterns.push_back({std::string(single ? kDigitPattern : kDigitRunPattern)});
    } else if (json_type_is(&m, "ByteLevel") && i + 1 == members.size()) {
      out.byte_level = &m;  // it maps the bytes of what the members before it cut
    } else {
      return Error{refusal};
    }
  }
  return out;
}

Result<PreTokenizer> compile_all(const std::vector<PatternEntry>& entries, const char* refusal,
                                 ByteLevelPrefix prefix) {
  for (const PatternEntry& e : entries) {
    if (e.keeps != SplitKeeps::kEverything || has_text_anchor(e.text)) return Error{refusal};
  }
  SplitPieces split{{}, prefix};
  split.regexes.reserve(entries.size());
  for (const PatternEntry& e : entries) {
    auto re = SplitRegex::compile(e.text);
    if (!re) return Error{"cannot compile split regex " + quoted_text(e.text) + ": " + re.error()};
    split.regexes.push_back(std::move(re).value());
  }
  return PreTokenizer(std::move(split));
}

// The texts the scanners were written from, with the variants their parameters
// cover.
struct ScannerPattern {
  std::string text;
  ScannerSpec spec;
};

std::vector<ScannerPattern> scanner_patterns() {
  std::vector<ScannerPattern> out;
  out.push_back({std::string(kByteLevelPattern), ScannerSpec{ScannerKind::kGpt2, 0, 0}});
  const std::array<std::pair<std::string_view, uint32_t>, 3> digit_runs = {
      {{R"(\p{N}{1,3})", 3}, {R"(\p{N}+)", 0}, {R"(\p{N})", 1}}};
  constexpr std::string_view kContractions = "(?i:'s|'t|'re|'ve|'m|'ll|'d)";
  for (const auto& [digits, limit] : digit_runs) {
    for (const uint8_t marks : {0, 1}) {
      const std::string letters = marks ? R"([\p{L}\p{M}]+)" : R"(\p{L}+)";
      const std::string other = marks ? R"([^\s\p{L}\p{M}\p{N}])" : R"([^\s\p{L}\p{N}])";
      out.push_back({std::string(kContractions) + R"(|[^\r\n\p{L}\p{N}]?)" + letters + "|" +
                         std::string(digits) + "| ?" + other +
                         R"(+[\r\n]*|\s*[\r\n]+|\s+(?!\S)|\s+)",
                     ScannerSpec{ScannerKind::kCl100k, marks, limit}});
    }
    for (const uint8_t cased : {0, 1}) {
      const std::string tail = cased ? std::string(kContractions) + "?" : "";
      out.push_back(
          {R"([^\r\n\p{L}\p{N}]?[\p{Lu}\p{Lt}\p{Lm}\p{Lo}\p{M}]*[\p{Ll}\p{Lm}\p{Lo}\p{M}]+)" +
               tail +
               R"(|[^\r\n\p{L}\p{N}]?[\p{Lu}\p{Lt}\p{Lm}\p{Lo}\p{M}]+[\p{Ll}\p{Lm}\p{Lo}\p{M}]*)" +
               tail + "|" + std::string(digits) +
               R"(| ?[^\s\p{L}\p{N}]+[\r\n/]*|\s*[\r\n]+|\s+(?!\S)|\s+)",
           ScannerSpec{ScannerKind::kO200k, cased, limit}});
    }
  }
  return out;
}

// The scanner for the list of patterns, when one gives exactly their pieces.
std::optional<ScannerSpec> scanner_for_list(const std::vector<PatternEntry>& list) {
  if (list.size() == 1) return scanner_for_pattern(list[0].text);
  // Each digit a piece of its own, then the ByteLevel pattern over what lies between.
  if (list.size() == 2 && list[0].text == kDigitPattern && list[1].text == kByteLevelPattern &&
      list[0].keeps == SplitKeeps::kEverything) {
    return ScannerSpec{ScannerKind::kGpt2, 1, 0};
  }
  return std::nullopt;
}

}  // namespace

bool is_cjk_preset(const JsonValue* p) {
  if (!json_type_is(p, "Sequence")) return false;
  const JsonValue* list = json_find(p, "pretokenizers");
  if (list == nullptr || !list->IsArray() || list->Size() != 4) return false;
  const auto m = json_elements(list);
  const JsonValue* use_regex = json_find(&m[3], "use_regex");
  return split_entry_matches(m[0], kCjkDigits) && split_entry_matches(m[1], kCjkIdeographs) &&
         split_entry_matches(m[2], kCjkPunctuation) && json_type_is(&m[3], "ByteLevel") &&
         use_regex != nullptr && use_regex->IsFalse();
}

std::optional<ScannerSpec> scanner_for_pattern(std::string_view pattern) {
  static const std::vector<ScannerPattern> known = scanner_patterns();
  for (const ScannerPattern& k : known) {
    if (k.text == pattern) return k.spec;
  }
  return std::nullopt;
}

Result<PreTokenizer> choose_pre_tokenizer(const JsonValue* p, bool byte_fallback) {
  if (byte_fallback) {
    if (p == nullptr || p->IsNull()) return PreTokenizer(WholeText{});
    auto collected = collect_members(members_of(p), kByteFallbackRefusal);
    if (!collected) return Error{collected.error()};
    // A ByteLevel member would map the text to its byte characters first.
    if (collected.value().byte_level != nullptr || collected.value().patterns.empty()) {
      return Error{kByteFallbackRefusal};
    }
    return compile_all(collected.value().patterns, kByteFallbackRefusal, ByteLevelPrefix::kNone);
  }

  auto collected = collect_members(members_of(p), kRefusal);
  if (!collected) return Error{collected.error()};
  const JsonValue* bl = collected.value().byte_level;
  if (bl == nullptr) return Error{kRefusal};
  const bool use_regex = json_true_unless_false(json_find(bl, "use_regex"));
  const bool prefix_space = json_is_true(json_find(bl, "add_prefix_space"));
  std::vector<PatternEntry>& list = collected.value().patterns;
  ByteLevelPrefix prefix = ByteLevelPrefix::kNone;
  if (prefix_space) {
    // The ByteLevel puts a space before each piece it is given, then (with its
    // regex) cuts that piece again: reproduced for the whole text, or for the
    // final pieces.
    if (use_regex && !list.empty()) {
      return unsupported_setting("pre_tokenizer ByteLevel", "add_prefix_space",
                                 json_find(bl, "add_prefix_space"));
    }
    prefix = use_regex ? ByteLevelPrefix::kText : ByteLevelPrefix::kEachPiece;
  }
  if (is_cjk_preset(p)) return PreTokenizer(CjkPieces{prefix});
  if (use_regex) list.push_back({std::string(kByteLevelPattern)});
  if (list.empty()) return Error{kRefusal};
  if (auto spec = scanner_for_list(list)) return PreTokenizer(ScannedPieces{*spec, prefix});
  return compile_all(list, kRefusal, prefix);
}

}  // namespace quorvane
