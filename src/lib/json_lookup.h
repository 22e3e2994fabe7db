// The parsed tokenizer.json: parsing (strict, with a nesting limit) and the three
// tests the loader applies to values: lookup (last duplicate key wins), "type"
// comparison and flags (only the literal true sets one).
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>

#include <rapidjson/document.h>

#include "lib/result.h"

namespace quorvane {

using JsonValue = rapidjson::Value;
using JsonDocument = rapidjson::Document;

// Deepest nesting of arrays and objects accepted; one more level is an error,
// as in the parsers that write these files.
inline constexpr unsigned kJsonMaxDepth = 127;

// Parses `text` in place (strings of the document point into it, so it must
// outlive `doc`). Only JSON white space may follow the document. The error reads
// "{description} at line {l} column {c}".
Result<Unit> parse_json_in_place(std::string& text, JsonDocument& doc);

// The value of `key` in `object`, or null when `object` is null or not an
// object, or has no such key. A key given twice yields its last value.
const JsonValue* json_find(const JsonValue* object, std::string_view key);

inline std::string_view json_string(const JsonValue& v) {
  return std::string_view(v.GetString(), v.GetStringLength());
}

// `v` is a string equal to `text`, byte for byte.
inline bool json_string_is(const JsonValue* v, std::string_view text) {
  return v != nullptr && v->IsString() && json_string(*v) == text;
}

// `v` is an object whose "type" is the string `name`.
inline bool json_type_is(const JsonValue* v, std::string_view name) {
  return json_string_is(json_find(v, "type"), name);
}

// Only the literal true.
inline bool json_is_true(const JsonValue* v) { return v != nullptr && v->IsTrue(); }

// True unless `v` is the literal false (a missing or non-boolean value counts as true).
inline bool json_true_unless_false(const JsonValue* v) { return v == nullptr || !v->IsFalse(); }

// A non-empty object.
inline bool json_nonempty_object(const JsonValue* v) {
  return v != nullptr && v->IsObject() && v->MemberCount() > 0;
}

// The elements of an array (empty for any other value or null).
inline std::span<const JsonValue> json_elements(const JsonValue* v) {
  if (v == nullptr || !v->IsArray() || v->Empty()) return {};
  return std::span<const JsonValue>(&*v->Begin(), v->Size());
}

}  // namespace quorvane
