// Registered special tokens: replacing the model's special-token group, and the
// special-aware encoder that splices their ids between ordinarily encoded gaps.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "lib/result.h"
#include "lib/tokenizer.h"

namespace quorvane {

// Replaces the five special-token fields at once; on failure nothing changes.
Result<Unit> build_special_matcher(Tokenizer& model, std::vector<std::string> contents,
                                   std::vector<uint32_t> ids, std::vector<uint8_t> lstrip,
                                   std::vector<uint8_t> rstrip, PrefixScheme scheme);

// Appends the ids of `text` to `out`, special tokens matched leftmost-longest.
InternalCheck encode_with_specials(const Tokenizer& model, std::string_view text,
                                   std::vector<uint32_t>& out);

}  // namespace quorvane
