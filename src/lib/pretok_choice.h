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

// `pre_tokenizer` is the root's value (null when absent); off the metaspace road,
// which the caller has chosen already.
Result<PreTokenizer> choose_pre_tokenizer(const JsonValue* pre_tokenizer, bool byte_fallback);

// The exact four-member Sequence that the CJK preset scanner reproduces.
bool is_cjk_preset(const JsonValue* pre_tokenizer);

// The fast scanner that gives exactly the pieces of `pattern`: only for the
// pattern texts the scanners were written from.
std::optional<ScannerSpec> scanner_for_pattern(std::string_view pattern);

}  // namespace quorvane
