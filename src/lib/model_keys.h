// The keys of a tokenizer.json "model" besides "vocab" and "merges": each one is
// either reproduced (its value lands in ModelKeys) or the load is refused with a
// message that names the key and its value. Unknown keys are refused too, so no
// setting of the file is passed over in silence.
#pragma once

#include <optional>
#include <string_view>

#include "lib/json_lookup.h"
#include "lib/result.h"

namespace quorvane {

struct ModelKeys {
  bool fuse_unk = false;
  std::optional<std::string_view> unk_token;  // points into the parsed document
};

// Checks every key of `model`. A model that is not an object holding a "vocab"
// object is let through untouched: the vocabulary step refuses it.
Result<ModelKeys> read_model_keys(const JsonValue* model);

}  // namespace quorvane
