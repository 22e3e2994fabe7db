#include "lib/pretok_choice.h"

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

bool is_member_type(const JsonValue& m) {
  return json_nonempty_object(&m) &&
         (json_type_is(&m, "Split") || json_type_is(&m, "Digits") || json_type_is(&m, "ByteLevel"));
}

std::span<const JsonValue> sequence_members(const JsonValue* p) {
  if (!json_type_is(p, "Sequence")) return {};
  return json_elements(json_find(p, "pretokenizers"));
}

// The Sequence scan: a fast scanner for a Sequence of at most one Split, Digits
// and ByteLevel members, or nothing (the general road decides).
std::optional<ScannerSpec> scan_sequence(std::span<const JsonValue> members) {
  int splits = 0;
  std::optional<std::string_view> pattern;
  bool individual_digits = false;
  bool use_regex = false;
  bool seen_byte_level = false;
  for (const JsonValue& m : members) {
    if (!is_member_type(m)) return std::nullopt;
    if (json_type_is(&m, "Split")) {
      ++splits;
      const JsonValue* regex = json_find(json_find(&m, "pattern"), "Regex");
      pattern =
          regex != nullptr && regex->IsString() ? std::optional(json_string(*regex)) : std::nullopt;
    } else if (json_type_is(&m, "Digits")) {
      individual_digits = json_is_true(json_find(&m, "individual_digits"));
    } else {
      seen_byte_level = true;
      use_regex = json_true_unless_false(json_find(&m, "use_regex"));
    }
  }
  if (splits >= 2 || !seen_byte_level) return std::nullopt;
  if (!pattern && use_regex && individual_digits) return ScannerSpec{0, 1, 0};
  if (pattern && !use_regex) return scanner_for_pattern(*pattern, individual_digits);
  return std::nullopt;
}

Result<Unit> compile_all(const std::vector<std::string>& texts, PretokChoice& choice) {
  choice.split_regexes.reserve(texts.size());
  for (const std::string& text : texts) {
    auto re = SplitRegex::compile(text);
    if (!re) return Error{"cannot compile split regex " + quoted_text(text) + ": " + re.error()};
    choice.split_regexes.push_back(std::move(re).value());
  }
  return Unit{};
}

}  // namespace

bool split_entry_matches(const JsonValue& m, std::string_view text) {
  return json_type_is(&m, "Split") && json_string_is(json_find(&m, "behavior"), "Isolated") &&
         !json_is_true(json_find(&m, "invert")) &&
         json_string_is(json_find(json_find(&m, "pattern"), "Regex"), text);
}

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

std::optional<std::vector<std::string>> collect_split_regexes(const JsonValue* p) {
  const auto members = sequence_members(p);
  if (members.empty()) return std::nullopt;
  std::vector<std::string> list;
  bool seen_byte_level = false;
  for (const JsonValue& m : members) {
    if (!is_member_type(m)) return std::nullopt;
    if (json_type_is(&m, "Split")) {
      const JsonValue* regex = json_find(json_find(&m, "pattern"), "Regex");
      if (!json_string_is(json_find(&m, "behavior"), "Isolated") ||
          json_is_true(json_find(&m, "invert")) || regex == nullptr || !regex->IsString() ||
          has_text_anchor(json_string(*regex))) {
        return std::nullopt;
      }
      list.emplace_back(json_string(*regex));
    } else if (json_type_is(&m, "Digits")) {
      list.emplace_back(json_is_true(json_find(&m, "individual_digits")) ? R"(\p{N})"
                                                                         : R"(\p{N}+)");
    } else {
      if (json_true_unless_false(json_find(&m, "use_regex")) && !list.empty()) {
        return std::nullopt;
      }
      seen_byte_level = true;
    }
  }
  if (!seen_byte_level || list.empty()) return std::nullopt;
  return list;
}

std::optional<ScannerSpec> scanner_for_pattern(std::string_view pattern, bool individual_digits) {
  const uint32_t limit = contains(pattern, R"(\p{N}{1,3})") ? 3
                         : contains(pattern, R"(\p{N}+)")   ? 0
                                                            : 1;
  const bool case_insensitive = contains(pattern, "(?i:");
  if (contains(pattern, R"([\p{Lu}\p{Lt})")) {
    return ScannerSpec{2, static_cast<uint8_t>(case_insensitive ? 1 : 0), limit};
  }
  if (pattern == kByteLevelPattern) {
    return ScannerSpec{0, static_cast<uint8_t>(individual_digits ? 1 : 0), 0};
  }
  if (case_insensitive && contains(pattern, R"([\p{L}\p{M}]+)") &&
      contains(pattern, R"([^\s\p{L}\p{M}\p{N}])")) {
    return ScannerSpec{1, 1, limit};
  }
  if (case_insensitive && contains(pattern, R"(\p{L}+)")) return ScannerSpec{1, 0, limit};
  return std::nullopt;
}

Result<PretokChoice> choose_pre_tokenizer(const JsonValue* p, bool byte_fallback,
                                          MetaspaceMode mode) {
  PretokChoice choice;
  if (byte_fallback) {
    if (mode != 0) return choice;  // metaspace handling cuts the text; nothing else is read
    auto list = collect_split_regexes(p);
    if (!list) {
      if (p == nullptr || p->IsNull()) return choice;
      return Error{kByteFallbackRefusal};
    }
    if (auto ok = compile_all(*list, choice); !ok) return Error{ok.error()};
    return choice;
  }

  if (is_cjk_preset(p)) {
    choice.cjk_preset = true;
    return choice;
  }
  if (json_type_is(p, "ByteLevel")) {
    if (json_true_unless_false(json_find(p, "use_regex"))) return choice;
  } else if (const auto members = sequence_members(p); !members.empty()) {
    if (auto spec = scan_sequence(members)) {
      choice.scanner = *spec;
      return choice;
    }
  }
  auto list = collect_split_regexes(p);
  if (!list) return Error{kRefusal};
  if (auto ok = compile_all(*list, choice); !ok) return Error{ok.error()};
  return choice;
}

}  // namespace quorvane
