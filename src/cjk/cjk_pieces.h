// The CJK preset pre-tokenizer (digit runs of at most three, ideograph/kana runs,
// then the punctuation pattern), cut by three hand-written passes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "unicode/span.h"

namespace quorvane {

// Fills `spans` with the pieces of the text in order; `work` is scratch lent by
// the caller. Both are emptied first.
void cjk_pieces(const uint8_t* text, size_t length, std::vector<Span>& spans,
                std::vector<Span>& work);

}  // namespace quorvane
