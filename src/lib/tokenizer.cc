#include "lib/tokenizer.h"

#include "lib/special_matcher.h"

namespace quorvane {

// Out of line so that SpecialTokenMatcher is complete where the model is destroyed.
Tokenizer::~Tokenizer() = default;

}  // namespace quorvane
