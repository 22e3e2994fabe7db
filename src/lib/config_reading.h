// What the loader takes from "normalizer", the Metaspace pre-tokenizer and the
// root's own settings: the normalizer check (which refuses stages the engine does
// not reproduce), the Unicode normal form the stages add up to, the metaspace
// rewrite and its prefix rule, and the refusal of settings that change ids
// ("truncation", "padding").
#pragma once

#include <optional>
#include <span>
#include <string_view>

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

// What the accepted stages add up to, applied in their order.
struct NormalizerPlan {
  // Unicode forms in a row are one form: compatibility when any of them is,
  // composed or decomposed as the last one is.
  NormalizerKind kind = kNormNone;
  bool replace_spaces = false;  // Replace(" " -> U+2581)
  bool prepend = false;         // Prepend(U+2581), to a non-empty text
  // A compatibility form follows the Replace, so spaces it makes stay spaces:
  // the rewrite runs before the form. (Prepend and the canonical forms commute
  // with everything here.)
  bool rewrite_before_form = false;
};
NormalizerPlan read_normalizer(const JsonValue& root);

// The words of a Metaspace pre-tokenizer, alone or as the one member of a
// Sequence: kPreTokenizer when it prepends ("prepend_scheme" always or first, or
// the legacy "add_prefix_space"), cut_each from "split". Refuses a Metaspace that
// stands beside other members or whose keys the engine does not reproduce
// ("replacement" other than U+2581, an unknown scheme).
Result<std::optional<MetaspaceWords>> read_metaspace_pre_tokenizer(const JsonValue* pre_tokenizer);

// The metaspace road of byte_fallback models and the normalizer rewrite of the
// others, from the normalizer plan and the Metaspace pre-tokenizer.
struct TextSettings {
  NormalizerKind kind = kNormNone;
  // The metaspace road, without the joins (they need the merge table).
  std::optional<MetaspaceWords> metaspace;
  bool rewrite_spaces = false;
  bool rewrite_prepend = false;
  bool rewrite_before_form = false;
};
Result<TextSettings> text_settings(const JsonValue& root, bool byte_fallback);

// "truncation" and "padding" change the reference's ids; only null is accepted.
Result<Unit> check_root_settings(const JsonValue& root);

// The refusal of one key's value: names the component, the key and the value.
Error unsupported_setting(std::string_view component, std::string_view key, const JsonValue* value);

}  // namespace quorvane
