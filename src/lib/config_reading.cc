#include "lib/config_reading.h"

#include <string>
#include <string_view>

#include "lib/quoted.h"

namespace quorvane {
namespace {

constexpr std::string_view kMetaspace = "\xE2\x96\x81";  // U+2581

constexpr const char* kByteFallbackRefusal =
    "unsupported pre_tokenizer for byte_fallback model (cannot be reproduced; refusing to "
    "mistokenize)";

bool is_replace_space_stage(const JsonValue& stage) {
  return json_type_is(&stage, "Replace") &&
         json_string_is(json_find(&stage, "content"), kMetaspace) &&
         json_string_is(json_find(json_find(&stage, "pattern"), "String"), " ");
}

bool is_prepend_stage(const JsonValue& stage) {
  return json_type_is(&stage, "Prepend") &&
         json_string_is(json_find(&stage, "prepend"), kMetaspace);
}

NormalizerKind unicode_form(const JsonValue* v) {
  const JsonValue* type = json_find(v, "type");
  if (type == nullptr || !type->IsString()) return kNormNone;
  const std::string_view t = json_string(*type);
  if (t == "NFC") return kNormNFC;
  if (t == "NFD") return kNormNFD;
  if (t == "NFKC") return kNormNFKC;
  if (t == "NFKD") return kNormNFKD;
  return kNormNone;
}

bool is_compatibility(NormalizerKind k) { return k == kNormNFKC || k == kNormNFKD; }
bool is_composed(NormalizerKind k) { return k == kNormNFC || k == kNormNFKC; }

// A Split on the one-space string: after the metaspace rewrite has replaced every
// space it finds nothing, whatever its behavior.
bool is_space_split(const JsonValue* p) {
  return json_type_is(p, "Split") &&
         json_string_is(json_find(json_find(p, "pattern"), "String"), " ") &&
         !json_is_true(json_find(p, "invert"));
}

std::string describe_value(const JsonValue* v) {
  if (v == nullptr) return "(missing)";
  if (v->IsString()) return quoted_text(json_string(*v));
  if (v->IsNull()) return "null";
  if (v->IsTrue()) return "true";
  if (v->IsFalse()) return "false";
  if (v->IsUint64()) return std::to_string(v->GetUint64());
  if (v->IsInt64()) return std::to_string(v->GetInt64());
  if (v->IsNumber()) return std::to_string(v->GetDouble());
  if (v->IsArray()) return "[...]";
  const JsonValue* type = json_find(v, "type");
  if (type != nullptr && type->IsString())
    return "{\"type\": " + quoted_text(json_string(*type)) + ", ...}";
  return "{...}";
}

}  // namespace

Error unsupported_setting(std::string_view component, std::string_view key,
                          const JsonValue* value) {
  return Error{"unsupported " + std::string(component) + " setting \"" + std::string(key) +
               "\": " + describe_value(value) +
               " (quorvane does not reproduce it; refusing rather than tokenizing differently)"};
}

NormalizerStages normalizer_stages(const JsonValue& root) {
  const JsonValue* n = json_find(&root, "normalizer");
  if (n == nullptr || n->IsNull()) return {};
  if (json_type_is(n, "Sequence")) {
    const JsonValue* list = json_find(n, "normalizers");
    if (list == nullptr || !list->IsArray()) return {};
    return {true, json_elements(list)};
  }
  return {true, std::span<const JsonValue>(n, 1)};
}

Result<Unit> check_normalizer(const JsonValue& root) {
  for (const JsonValue& stage : normalizer_stages(root).stages) {
    if (unicode_form(&stage) != kNormNone || is_prepend_stage(stage) ||
        is_replace_space_stage(stage)) {
      continue;
    }
    std::string_view name = "<unknown>";
    const JsonValue* type = json_find(&stage, "type");
    if (type != nullptr && type->IsString() && type->GetStringLength() > 0) {
      name = json_string(*type);
    }
    return Error{"unsupported normalizer stage " + quoted_text(name) +
                 ": this model rewrites text in a way quorvane does not reproduce (only "
                 "NFC/NFD/NFKC/NFKD and the SentencePiece metaspace Prepend/Replace are "
                 "modeled)"};
  }
  return Unit{};
}

NormalizerPlan read_normalizer(const JsonValue& root) {
  NormalizerPlan plan;
  bool any_compatibility = false;
  for (const JsonValue& stage : normalizer_stages(root).stages) {
    if (const NormalizerKind form = unicode_form(&stage); form != kNormNone) {
      any_compatibility |= is_compatibility(form);
      const bool composed = is_composed(form);
      plan.kind =
          any_compatibility ? (composed ? kNormNFKC : kNormNFKD) : (composed ? kNormNFC : kNormNFD);
      if (is_compatibility(form) && plan.replace_spaces) plan.rewrite_before_form = true;
    } else if (is_replace_space_stage(stage)) {
      plan.replace_spaces = true;
    } else if (is_prepend_stage(stage)) {
      plan.prepend = true;
    }
  }
  return plan;
}

Result<std::optional<MetaspaceWords>> read_metaspace_pre_tokenizer(const JsonValue* p) {
  const JsonValue* m = p;
  if (json_type_is(p, "Sequence")) {
    const auto members = json_elements(json_find(p, "pretokenizers"));
    bool any = false;
    for (const JsonValue& member : members) any |= json_type_is(&member, "Metaspace");
    if (!any) return std::optional<MetaspaceWords>();
    if (members.size() != 1) {
      return unsupported_setting("pre_tokenizer Sequence", "pretokenizers",
                                 json_find(p, "pretokenizers"));
    }
    m = &members[0];
  }
  if (!json_type_is(m, "Metaspace")) return std::optional<MetaspaceWords>();
  if (const JsonValue* r = json_find(m, "replacement");
      r != nullptr && !json_string_is(r, kMetaspace)) {
    return unsupported_setting("pre_tokenizer Metaspace", "replacement", r);
  }
  const JsonValue* scheme = json_find(m, "prepend_scheme");
  bool prepend = true;
  if (scheme == nullptr) {
    // Files written before the scheme existed say "add_prefix_space".
    prepend = json_true_unless_false(json_find(m, "add_prefix_space"));
  } else if (json_string_is(scheme, "never")) {
    prepend = false;
  } else if (!json_string_is(scheme, "always") && !json_string_is(scheme, "first")) {
    return unsupported_setting("pre_tokenizer Metaspace", "prepend_scheme", scheme);
  }
  return std::optional(
      MetaspaceWords{prepend ? MetaspaceMode::kPreTokenizer : MetaspaceMode::kReplace,
                     json_true_unless_false(json_find(m, "split"))});
}

Result<TextSettings> text_settings(const JsonValue& root, bool byte_fallback) {
  const NormalizerPlan plan = read_normalizer(root);
  const JsonValue* p = json_find(&root, "pre_tokenizer");
  auto metaspace = read_metaspace_pre_tokenizer(p);
  if (!metaspace) return Error{metaspace.error()};
  TextSettings s;
  s.kind = plan.kind;
  std::optional<MetaspaceWords>& words = metaspace.value();
  if (!byte_fallback || (!words && !plan.replace_spaces)) {
    // No metaspace road: the stages rewrite the text before the pre-tokenizer.
    // (A Metaspace pre-tokenizer of a ByteLevel model is refused with the others.)
    s.rewrite_spaces = plan.replace_spaces;
    s.rewrite_prepend = plan.prepend;
    s.rewrite_before_form = plan.rewrite_before_form;
    return s;
  }
  if (words) {
    // The Metaspace replaces every space the normalizer left, a compatibility
    // form's among them, which the word cut after a rewrite would not see.
    if (plan.rewrite_before_form) {
      return unsupported_setting("normalizer", "normalizers", json_find(&root, "normalizer"));
    }
    // A Prepend stage has put U+2581 first already, so the scheme never adds one.
    if (plan.prepend) words->mode = MetaspaceMode::kPrepend;
    s.metaspace = words;
    return s;
  }
  // The normalizer's Replace: the whole text is one piece, unless a pre-tokenizer
  // cuts it. Only a split on the (replaced) space is a no-op.
  if (p != nullptr && !p->IsNull() && (plan.rewrite_before_form || !is_space_split(p))) {
    return Error{kByteFallbackRefusal};
  }
  s.metaspace = MetaspaceWords{plan.prepend ? MetaspaceMode::kPrepend : MetaspaceMode::kReplace};
  s.rewrite_before_form = plan.rewrite_before_form;
  return s;
}

Result<Unit> check_root_settings(const JsonValue& root) {
  for (const char* key : {"truncation", "padding"}) {
    const JsonValue* v = json_find(&root, key);
    if (v != nullptr && !v->IsNull()) return unsupported_setting("tokenizer", key, v);
  }
  return Unit{};
}

}  // namespace quorvane
