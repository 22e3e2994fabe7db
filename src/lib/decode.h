// Decoding ids to the concatenation of their bytes.
#pragma once

#include <cstdint>
#include <span>
#include <string>

#include "lib/result.h"
#include "lib/tokenizer.h"

namespace quorvane {

// Replaces `out` with the decoded bytes of `ids` (the model's decoder rules
// applied); ids without an entry (at or above n_vocab) contribute nothing.
// Allocation failure returns kOutOfMemory.
InternalCheck decode_bytes(const Tokenizer& model, std::span<const uint32_t> ids, std::string& out);

// The same as a value, for tests and tools: allocation failure throws.
std::string decode_bytes(const Tokenizer& model, std::span<const uint32_t> ids);

}  // namespace quorvane
