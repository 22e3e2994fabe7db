#include "lib/config_reading.h"

#include <string>
#include <string_view>

#include "lib/quoted.h"

namespace quorvane {
namespace {

constexpr std::string_view kMetaspace = "\xE2\x96\x81";  // U+2581

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

}  // namespace

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

bool has_strip_space_decoder(std::span<const JsonValue> members) {
  for (const JsonValue& m : members) {
    if (json_type_is(&m, "Strip") && json_string_is(json_find(&m, "content"), " ")) return true;
  }
  return false;
}

bool has_metaspace_pre_tokenizer(std::span<const JsonValue> members) {
  for (const JsonValue& m : members) {
    if (json_type_is(&m, "Metaspace")) return true;
  }
  return false;
}

bool metaspace_pre_tokenizer_splits(const JsonValue& root) {
  const JsonValue* pre = json_find(&root, "pre_tokenizer");
  if (json_type_is(pre, "Sequence")) {
    const JsonValue* members = json_find(pre, "pretokenizers");
    if (members == nullptr || !members->IsArray()) return true;
    for (const JsonValue& m : json_elements(members)) {
      if (json_type_is(&m, "Metaspace")) return json_true_unless_false(json_find(&m, "split"));
    }
    return true;
  }
  return json_true_unless_false(json_find(pre, "split"));
}

MetaspaceMode metaspace_mode(const JsonValue& root) {
  const JsonValue* pre = json_find(&root, "pre_tokenizer");
  if (json_type_is(pre, "Metaspace")) return 3;
  if (json_type_is(pre, "Sequence")) {
    const JsonValue* members = json_find(pre, "pretokenizers");
    if (members != nullptr && members->IsArray() &&
        has_metaspace_pre_tokenizer(json_elements(members))) {
      return 3;
    }
  }
  bool has_replace = false;
  bool has_prepend = false;
  for (const JsonValue& stage : normalizer_stages(root).stages) {
    has_replace |= is_replace_space_stage(stage);
    has_prepend |= is_prepend_stage(stage);
  }
  if (!has_replace) return 0;
  return has_prepend ? 2 : 1;
}

NormalizerKind normalizer_kind(const JsonValue& root) {
  const JsonValue* n = json_find(&root, "normalizer");
  const NormalizerKind direct = unicode_form(n);
  if (direct != kNormNone) return direct;
  if (json_type_is(n, "Sequence")) {
    for (const JsonValue& stage : json_elements(json_find(n, "normalizers"))) {
      const NormalizerKind k = unicode_form(&stage);
      if (k != kNormNone) return k;
    }
  }
  return kNormNone;
}

bool decode_strip_space(const JsonValue& root) {
  const JsonValue* d = json_find(&root, "decoder");
  if (d == nullptr) return false;
  if (json_type_is(d, "Strip")) return json_string_is(json_find(d, "content"), " ");
  if (json_type_is(d, "Sequence")) {
    return has_strip_space_decoder(json_elements(json_find(d, "decoders")));
  }
  return false;
}

}  // namespace quorvane
