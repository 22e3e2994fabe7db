// Encoding with the byte span of every token (ByteLevel models only).
#pragma once

#include <cstdint>
#include <string_view>
#include <vector>

#include "lib/result.h"
#include "lib/tokenizer.h"
#include "unicode/span.h"

namespace quorvane {

// The reason the model or text cannot be encoded with offsets, or null;
// kOutOfMemory when the normalizer check could not allocate. Runs the
// normalizer check, so the caller holds whatever that needs.
const char* offsets_refusal(const Tokenizer& model, std::string_view text);

// Pieces by the model's pre-tokenizer, each merged by merge_with_offsets.
// Allocation failure returns kOutOfMemory.
InternalCheck encode_with_offsets(const Tokenizer& model, std::string_view text,
                                  std::vector<uint32_t>& ids, std::vector<Span>& spans);

}  // namespace quorvane
