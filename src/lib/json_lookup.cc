#include "lib/json_lookup.h"

#include <cstring>

#include <rapidjson/reader.h>

namespace quorvane {
namespace {

// Forwards every event to the document, refusing nesting beyond the limit.
struct DepthLimitedHandler {
  JsonDocument& doc;
  unsigned depth = 0;
  bool too_deep = false;

  bool enter() {
    if (++depth > kJsonMaxDepth) {
      too_deep = true;
      return false;
    }
    return true;
  }

  bool Null() { return doc.Null(); }
  bool Bool(bool b) { return doc.Bool(b); }
  bool Int(int i) { return doc.Int(i); }
  bool Uint(unsigned i) { return doc.Uint(i); }
  bool Int64(int64_t i) { return doc.Int64(i); }
  bool Uint64(uint64_t i) { return doc.Uint64(i); }
  bool Double(double d) { return doc.Double(d); }
  bool RawNumber(const char* s, rapidjson::SizeType n, bool copy) {
    return doc.RawNumber(s, n, copy);
  }
  bool String(const char* s, rapidjson::SizeType n, bool copy) { return doc.String(s, n, copy); }
  bool Key(const char* s, rapidjson::SizeType n, bool copy) { return doc.Key(s, n, copy); }
  bool StartObject() { return enter() && doc.StartObject(); }
  bool EndObject(rapidjson::SizeType n) {
    --depth;
    return doc.EndObject(n);
  }
  bool StartArray() { return enter() && doc.StartArray(); }
  bool EndArray(rapidjson::SizeType n) {
    --depth;
    return doc.EndArray(n);
  }
};

const char* describe(rapidjson::ParseErrorCode code) {
  using namespace rapidjson;
  switch (code) {
    case kParseErrorDocumentEmpty:
      return "EOF while parsing a value";
    case kParseErrorDocumentRootNotSingular:
      return "trailing characters";
    case kParseErrorValueInvalid:
      return "expected value";
    case kParseErrorObjectMissName:
      return "key must be a string";
    case kParseErrorObjectMissColon:
      return "expected `:`";
    case kParseErrorObjectMissCommaOrCurlyBracket:
      return "expected `,` or `}`";
    case kParseErrorArrayMissCommaOrSquareBracket:
      return "expected `,` or `]`";
    case kParseErrorStringUnicodeEscapeInvalidHex:
      return "invalid \\u escape";
    case kParseErrorStringUnicodeSurrogateInvalid:
      return "lone surrogate in \\u escape";
    case kParseErrorStringEscapeInvalid:
      return "invalid escape";
    case kParseErrorStringMissQuotationMark:
      return "control character or end of input inside a string";
    case kParseErrorStringInvalidEncoding:
      return "invalid UTF-8 in a string";
    case kParseErrorNumberTooBig:
      return "number out of range";
    case kParseErrorNumberMissFraction:
    case kParseErrorNumberMissExponent:
      return "invalid number";
    case kParseErrorTermination:
      return "parsing stopped";
    default:
      return "invalid JSON";
  }
}

std::string located(const char* what, const std::string& text, size_t offset) {
  if (offset > text.size()) offset = text.size();
  size_t line = 1;
  size_t line_start = 0;
  for (const char* p = text.data();
       (p = static_cast<const char*>(std::memchr(p, '\n', text.data() + offset - p))) != nullptr;
       ++p) {
    ++line;
    line_start = static_cast<size_t>(p - text.data()) + 1;
  }
  // 1-based column of the byte at `offset`; at the end of the text, of the last byte.
  const size_t column = offset - line_start + (offset < text.size() ? 1 : 0);
  return std::string(what) + " at line " + std::to_string(line) + " column " +
         std::to_string(column);
}

bool json_space(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; }

}  // namespace

Result<Unit> parse_json_in_place(std::string& text, JsonDocument& doc) {
  constexpr unsigned kFlags = rapidjson::kParseIterativeFlag | rapidjson::kParseStopWhenDoneFlag;
  // The in-place stream stops at a NUL byte; the document must then be followed
  // by white space only up to the real end, which is checked below.
  rapidjson::InsituStringStream stream(text.data());
  rapidjson::Reader reader;
  DepthLimitedHandler handler{doc};
  rapidjson::ParseResult result;
  auto generate = [&](JsonDocument&) {
    result = reader.Parse<kFlags | rapidjson::kParseInsituFlag>(stream, handler);
    return !result.IsError();
  };
  doc.Populate(generate);
  if (result.IsError()) {
    if (handler.too_deep) {
      // Reported at the bracket that opens one level too many.
      return Error{located("recursion limit exceeded", text, result.Offset())};
    }
    return Error{located(describe(result.Code()), text, result.Offset())};
  }
  size_t end = stream.Tell();
  // A NUL byte the stream stopped at, or anything else but white space, is trailing text.
  while (end < text.size() && json_space(text[end])) ++end;
  if (end < text.size()) return Error{located("trailing characters", text, end)};
  return Unit{};
}

const JsonValue* json_find(const JsonValue* object, std::string_view key) {
  if (object == nullptr || !object->IsObject()) return nullptr;
  const auto begin = object->MemberBegin();
  for (auto it = object->MemberEnd(); it != begin;) {
    --it;
    if (it->name.IsString() && json_string(it->name) == key) return &it->value;
  }
  return nullptr;
}

}  // namespace quorvane
