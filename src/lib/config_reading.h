// What the loader takes from "normalizer" and "decoder": the normalizer check
// (which refuses stages the engine does not reproduce), the metaspace mode, the
// Unicode normal form and the decode space-strip flag.
#pragma once

#include <span>

#include "lib/json_lookup.h"
#include "lib/normalize.h"
#include "lib/result.h"
#include "lib/tokenizer.h"

namespace quorvane {

// The stages of the root's "normalizer": none for a missing or null normalizer
// or a Sequence without a "normalizers" array (`present` false); the array of a
// Sequence; otherwise the one value itself.
struct NormalizerStages {
  bool present = false;
  std::span<const JsonValue> stages;
};
NormalizerStages normalizer_stages(const JsonValue& root);

// The first stage that is not accepted refuses the load, naming the stage.
Result<Unit> check_normalizer(const JsonValue& root);

// A member of `members` is an object of "type" "Strip" with "content" " ".
bool has_strip_space_decoder(std::span<const JsonValue> members);
// A member of `members` is an object of "type" "Metaspace".
bool has_metaspace_pre_tokenizer(std::span<const JsonValue> members);

MetaspaceMode metaspace_mode(const JsonValue& root);
// Whether the Metaspace pre-tokenizer (alone or the first one in a Sequence)
// splits the text before every U+2581: its "split", true unless false.
bool metaspace_pre_tokenizer_splits(const JsonValue& root);
NormalizerKind normalizer_kind(const JsonValue& root);
bool decode_strip_space(const JsonValue& root);

}  // namespace quorvane
