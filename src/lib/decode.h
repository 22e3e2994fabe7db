// Decoding ids to the concatenation of their bytes.
#pragma once

#include <cstdint>
#include <span>
#include <string>

#include "lib/tokenizer.h"

namespace quorvane {

// Ids without an entry (at or above n_vocab) contribute nothing.
std::string decode_bytes(const Tokenizer& model, std::span<const uint32_t> ids);

}  // namespace quorvane
