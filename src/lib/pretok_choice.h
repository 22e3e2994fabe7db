// Choosing the pre-tokenizer from "pre_tokenizer": the CJK preset scanner, one of
// the fast scanners (with its parameters), or an ordered list of compiled split
// patterns; every other pre-tokenizer is refused.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "lib/json_lookup.h"
#include "lib/result.h"
#include "lib/split_regex.h"
#include "lib/tokenizer.h"
#include "pretok/scanner.h"

namespace quorvane {

// The pattern a ByteLevel pre-tokenizer with "use_regex" applies (71 bytes).
inline constexpr std::string_view kByteLevelPattern =
    R"x('(?:[sdmt]|ll|ve|re)| ?\p{L}+| ?\p{N}+| ?[^\s\p{L}\p{N}]+|\s+(?!\S)|\s+)x";

struct PretokChoice {
  bool cjk_preset = false;
  ScannerSpec scanner;  // kind 0, flag 0, limit 0 unless a scanner was chosen
  std::vector<SplitRegex> split_regexes;
  ByteLevelPrefix byte_level_prefix = kNoPrefixSpace;
};

// `pre_tokenizer` is the root's value (null when absent). On the metaspace road
// (`mode` not 0) the caller has checked it already.
Result<PretokChoice> choose_pre_tokenizer(const JsonValue* pre_tokenizer, bool byte_fallback,
                                          MetaspaceMode mode);

// The exact four-member Sequence that the CJK preset scanner reproduces.
bool is_cjk_preset(const JsonValue* pre_tokenizer);

// An Isolated, not inverted Split whose "Regex" is exactly `text`.
bool split_entry_matches(const JsonValue& member, std::string_view text);

// The fast scanner that gives exactly the pieces of `pattern`: only for the
// pattern texts the scanners were written from.
std::optional<ScannerSpec> scanner_for_pattern(std::string_view pattern);

// A regular expression that matches `text` literally (a Split's "String").
std::string literal_pattern(std::string_view text);

}  // namespace quorvane
