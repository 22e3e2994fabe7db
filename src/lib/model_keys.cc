#include "lib/model_keys.h"

#include <string>

#include <rapidjson/stringbuffer.h>
#include <rapidjson/writer.h>

#include "unicode/utf8.h"

namespace quorvane {
namespace {

// The value as JSON text, cut short when long.
std::string json_text(const JsonValue& v) {
  rapidjson::StringBuffer buffer;
  rapidjson::Writer<rapidjson::StringBuffer> writer(buffer);
  v.Accept(writer);
  std::string text(buffer.GetString(), buffer.GetSize());
  constexpr size_t kShown = 60;
  if (text.size() > kShown) {
    size_t cut = kShown;
    while (cut > 0 && utf8::is_continuation(text[cut])) --cut;
    text.resize(cut);
    text += "...";
  }
  return text;
}

Error refuse(std::string_view key, const JsonValue& value, std::string_view why) {
  return Error{"unsupported model \"" + std::string(key) + "\": " + json_text(value) + " (" +
               std::string(why) + ")"};
}

bool null_or_bool(const JsonValue& v) { return v.IsNull() || v.IsBool(); }
// Null or the empty string: an affix that changes nothing.
bool no_affix(const JsonValue& v) {
  return v.IsNull() || (v.IsString() && v.GetStringLength() == 0);
}

}  // namespace

Result<ModelKeys> read_model_keys(const JsonValue* model) {
  ModelKeys keys;
  const JsonValue* vocab = json_find(model, "vocab");
  if (vocab == nullptr || !vocab->IsObject()) return keys;

  for (const auto& member : model->GetObject()) {
    const std::string_view key = json_string(member.name);
    const JsonValue& v = *json_find(model, key);  // a repeated key counts with its last value
    // "quorvane_tiktoken" marks the files this package writes for tiktoken
    // encodings; the reference ignores it as well.
    if (key == "vocab" || key == "merges" || key == "quorvane_tiktoken") continue;
    if (key == "type") {
      if (!json_string_is(&v, "BPE")) return refuse(key, v, "only BPE models are supported");
    } else if (key == "dropout") {
      // Any other rate makes the merges random.
      if (!v.IsNull() && !(v.IsNumber() && v.GetDouble() == 0.0)) {
        return refuse(key, v, "BPE dropout is random; only null or 0 is supported");
      }
    } else if (key == "continuing_subword_prefix" || key == "end_of_word_suffix") {
      if (!no_affix(v)) return refuse(key, v, "only null or \"\" is supported");
    } else if (key == "unk_token") {
      if (v.IsString()) {
        keys.unk_token = json_string(v);
      } else if (!v.IsNull()) {
        return refuse(key, v, "must be a string or null");
      }
    } else if (key == "fuse_unk" || key == "byte_fallback" || key == "ignore_merges") {
      if (!null_or_bool(v)) return refuse(key, v, "must be true, false or null");
      if (key == "fuse_unk") keys.fuse_unk = v.IsTrue();
    } else {
      return refuse(key, v, "not a key quorvane reproduces");
    }
  }
  // The reference takes whole pre-tokenized words from "vocab" here, and this
  // engine cuts metaspace text where merges allow, not where those words end.
  if (json_is_true(json_find(model, "ignore_merges")) &&
      json_is_true(json_find(model, "byte_fallback"))) {
    return Error{"unsupported model \"ignore_merges\": true (in a byte_fallback model)"};
  }
  return keys;
}

}  // namespace quorvane
