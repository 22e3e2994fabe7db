// Small tokenizer.json models for the fuzz targets, one per pre-tokenizer road,
// and a mapping from fuzz bytes to valid UTF-8 over an alphabet of characters
// that tend to break tokenizers.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "lib/loader.h"
#include "unicode/utf8.h"

namespace quorvane::fuzz {

// The GPT-2 ByteLevel alphabet: byte -> character.
inline std::string byte_level_char(uint8_t b) {
  uint32_t cp;
  if ((b >= 0x21 && b <= 0x7E) || (b >= 0xA1 && b <= 0xAC) || b >= 0xAE) {
    cp = b;
  } else {
    uint32_t n = 0;
    for (uint32_t x = 0; x < b; ++x) {
      bool direct = (x >= 0x21 && x <= 0x7E) || (x >= 0xA1 && x <= 0xAC) || x >= 0xAE;
      if (!direct) ++n;
    }
    cp = 0x100 + n;
  }
  std::string out;
  utf8::append(out, cp);
  return out;
}

inline std::string json_escape(const std::string& s) {
  std::string out;
  for (unsigned char c : s) {
    if (c == '"' || c == '\\') {
      out += '\\';
      out += static_cast<char>(c);
    } else if (c < 0x20) {
      char buf[8];
      snprintf(buf, sizeof buf, "\\u%04x", c);
      out += buf;
    } else {
      out += static_cast<char>(c);
    }
  }
  return out;
}

// Byte-level merges that build common English pieces; each merge's result is a
// new token, so the table is monotonic.
inline const std::vector<std::pair<std::string, std::string>>& english_merges() {
  static const std::vector<std::pair<std::string, std::string>> merges = {
      {" ", "t"},   {"h", "e"},           {" t", "he"},     {"i", "n"},  {" ", "a"},
      {"e", "r"},   {"o", "n"},           {" ", "s"},       {"r", "e"},  {"a", "n"},
      {" ", "w"},   {"in", "g"},          {"1", "2"},       {"12", "3"}, {" ", " "},
      {"  ", "  "}, {"\n", "\n"},         {"'", "s"},       {"e", "s"},  {" a", "n"},
      {"0", "0"},   {"\xe4\xb8", "\xad"}, {"\xc3", "\xa9"}, {"a", "a"},  {"aa", "aa"}};
  return merges;
}

inline std::string byte_level_text(const std::string& bytes) {
  std::string out;
  for (unsigned char c : bytes) out += byte_level_char(c);
  return out;
}

// A ByteLevel model over all 256 bytes with `pre_tokenizer` (a JSON value) and
// `normalizer` (a JSON value or "null").
inline std::string byte_level_model_json(const std::string& pre_tokenizer,
                                         const std::string& normalizer = "null") {
  std::string vocab, merges;
  int id = 0;
  for (int b = 0; b < 256; ++b) {
    vocab += (id ? "," : "") + std::string("\"") + json_escape(byte_level_char(b)) +
             "\":" + std::to_string(id);
    ++id;
  }
  for (const auto& [l, r] : english_merges()) {
    std::string lt = byte_level_text(l), rt = byte_level_text(r);
    vocab += ",\"" + json_escape(lt + rt) + "\":" + std::to_string(id++);
    merges += (merges.empty() ? "" : ",") + std::string("\"") + json_escape(lt + " " + rt) + "\"";
  }
  return "{\"normalizer\":" + normalizer + ",\"pre_tokenizer\":" + pre_tokenizer +
         ",\"decoder\":{\"type\":\"ByteLevel\"},\"model\":{\"type\":\"BPE\",\"vocab\":{" + vocab +
         "},\"merges\":[" + merges + "]}}";
}

// A byte_fallback model: byte tokens <0xNN>, a few characters, metaspace words.
inline std::string byte_fallback_model_json(const std::string& normalizer,
                                            const std::string& pre_tokenizer) {
  std::string vocab = "\"<unk>\":0";
  int id = 1;
  char buf[16];
  for (int b = 0; b < 256; ++b) {
    snprintf(buf, sizeof buf, "<0x%02X>", b);
    vocab += ",\"" + std::string(buf) + "\":" + std::to_string(id++);
  }
  const char* chars[] = {"\xe2\x96\x81", "a", "b", "c", "e", "h", "t", "\xc3\xa9", "\xe4\xb8\xad"};
  for (const char* c : chars) vocab += ",\"" + std::string(c) + "\":" + std::to_string(id++);
  const std::pair<std::string, std::string> merges_list[] = {
      {"\xe2\x96\x81", "t"}, {"h", "e"}, {"\xe2\x96\x81t", "he"}, {"a", "b"}, {"ab", "c"}};
  std::string merges;
  for (const auto& [l, r] : merges_list) {
    vocab += ",\"" + l + r + "\":" + std::to_string(id++);
    merges += (merges.empty() ? "" : ",") + std::string("[\"") + l + "\",\"" + r + "\"]";
  }
  return "{\"normalizer\":" + normalizer + ",\"pre_tokenizer\":" + pre_tokenizer +
         ",\"decoder\":null,\"model\":{\"type\":\"BPE\",\"byte_fallback\":true,\"vocab\":{" +
         vocab + "},\"merges\":[" + merges + "]}}";
}

inline const char* const kByteLevelPattern =
    R"('(?:[sdmt]|ll|ve|re)| ?\\p{L}+| ?\\p{N}+| ?[^\\s\\p{L}\\p{N}]+|\\s+(?!\\S)|\\s+)";
inline const char* const kCl100kPattern =
    R"((?i:'s|'t|'re|'ve|'m|'ll|'d)|[^\\r\\n\\p{L}\\p{N}]?\\p{L}+|\\p{N}{1,3}| ?[^\\s\\p{L}\\p{N}]+[\\r\\n]*|\\s*[\\r\\n]+|\\s+(?!\\S)|\\s+)";
inline const char* const kO200kPattern =
    R"([^\\r\\n\\p{L}\\p{N}]?[\\p{Lu}\\p{Lt}\\p{Lm}\\p{Lo}\\p{M}]*[\\p{Ll}\\p{Lm}\\p{Lo}\\p{M}]+(?i:'s|'t|'re|'ve|'m|'ll|'d)?|[^\\r\\n\\p{L}\\p{N}]?[\\p{Lu}\\p{Lt}\\p{Lm}\\p{Lo}\\p{M}]+[\\p{Ll}\\p{Lm}\\p{Lo}\\p{M}]*(?i:'s|'t|'re|'ve|'m|'ll|'d)?|\\p{N}{1,3}| ?[^\\s\\p{L}\\p{N}]+[\\r\\n/]*|\\s*[\\r\\n]+|\\s+(?!\\S)|\\s+)";

inline std::string split_json(const std::string& pattern_json_escaped) {
  return "{\"type\":\"Split\",\"pattern\":{\"Regex\":\"" + pattern_json_escaped +
         "\"},\"behavior\":\"Isolated\",\"invert\":false}";
}
inline std::string sequence_json(const std::string& members) {
  return "{\"type\":\"Sequence\",\"pretokenizers\":[" + members + "]}";
}
inline const char* const kByteLevelNoRegex = R"({"type":"ByteLevel","use_regex":false})";

struct FuzzModel {
  const char* name;
  std::string json;
  std::unique_ptr<Tokenizer> model;
  std::string pattern;  // the pattern a fast scanner replaces, when one is used
};

inline std::unique_ptr<Tokenizer> load_or_die(const std::string& json);

inline FuzzModel make_model(const char* name, std::string json, std::string pattern = "") {
  auto model = load_or_die(json);
  return {name, std::move(json), std::move(model), std::move(pattern)};
}

inline std::unique_ptr<Tokenizer> load_or_die(const std::string& json) {
  auto loaded = load_tokenizer_json_text("fuzz-model.json", json);
  if (!loaded.ok()) {
    fprintf(stderr, "fuzz model failed to load: %s\n", loaded.error().c_str());
    abort();
  }
  return std::move(loaded).value();
}

inline std::string unescape_json_pattern(const char* p) {
  std::string out;
  for (; *p; ++p) {
    if (*p == '\\' && p[1] == '\\') ++p;
    out += *p;
  }
  return out;
}

inline std::vector<FuzzModel>& fuzz_models() {
  static std::vector<FuzzModel> models = [] {
    std::vector<FuzzModel> m;
    m.push_back(make_model("kind0", (byte_level_model_json(R"({"type":"ByteLevel"})")),
                           unescape_json_pattern(kByteLevelPattern)));
    m.push_back(make_model("kind1",
                           (byte_level_model_json(sequence_json(split_json(kCl100kPattern) + "," +
                                                                kByteLevelNoRegex))),
                           unescape_json_pattern(kCl100kPattern)));
    m.push_back(make_model(
        "kind2",
        (byte_level_model_json(sequence_json(split_json(kO200kPattern) + "," + kByteLevelNoRegex))),
        unescape_json_pattern(kO200kPattern)));
    m.push_back(make_model("nfkc-kind0",
                           (byte_level_model_json(R"({"type":"ByteLevel"})", R"({"type":"NFKC"})")),
                           ""));
    m.push_back(make_model(
        "cjk",
        (byte_level_model_json(sequence_json(
            split_json(R"(\\p{N}{1,3})") + "," +
            split_json("[\xe4\xb8\x80-\xe9\xbe\xa5\xe3\x81\x80-\xe3\x82\x9f\xe3\x82\xa0-"
                       "\xe3\x83\xbf]+") +
            "," +
            split_json(
                R"([!\"#$%&'()*+,\\-./:;<=>?@\\[\\\\\\]^_`{|}~][A-Za-z]+|[^\r\n\\p{L}\\p{P}\\p{S}]?[\\p{L}\\p{M}]+| ?[\\p{P}\\p{S}]+[\r\n]*|\\s*[\r\n]+|\\s+(?!\\S)|\\s+)") +
            "," + kByteLevelNoRegex))),
        ""));
    m.push_back(
        make_model("two-splits",
                   (byte_level_model_json(sequence_json(split_json(R"(\\p{N})") + "," +
                                                        split_json(R"(\\s+(?!\\S)|\\s+|[^\\s]+)") +
                                                        "," + kByteLevelNoRegex))),
                   ""));
    m.push_back(make_model(
        "metaspace-prepend",
        (byte_fallback_model_json(
            R"({"type":"Sequence","normalizers":[{"type":"Prepend","prepend":"▁"},{"type":"Replace","pattern":{"String":" "},"content":"▁"}]})",
            "null")),
        ""));
    m.push_back(make_model(
        "metaspace-pretok",
        (byte_fallback_model_json(
            "null", R"({"type":"Metaspace","replacement":"▁","prepend_scheme":"always"})")),
        ""));
    m.push_back(make_model(
        "byte-fallback-split",
        (byte_fallback_model_json(
            "null", sequence_json(split_json(R"(\\p{N}|[^\\p{N}]+)")))),
        ""));
    return m;
  }();
  return models;
}

// Characters that stress scanners and normalizers. Only characters whose
// properties are the same in Unicode 14 and 15, and no U+180E, so that the
// pattern engine's tables agree with ours.
inline const std::vector<uint32_t>& alphabet() {
  static const std::vector<uint32_t> chars = {
      'a',     'b',     'e',     'h',     't',     's',     'A',    'Z',    'I',    'M',    'R',
      'E',     'd',     'l',     'v',     'm',     'r',     '0',    '1',    '2',    '9',    ' ',
      ' ',     ' ',     '\t',    '\n',    '\r',    '\'',    '"',    '.',    ',',    '!',    '/',
      '-',     '$',     '_',     '(',     0x0B,    0x0C,    0x1F,   0x7F,   0x85,   0xA0,   0xAD,
      0xBC,    0xB2,    0xE9,    0xC9,    0x300,   0x301,   0x316,  0x345,  0x1C5,  0x2B0,  0x391,
      0x3B1,   0x430,   0x5D0,   0x627,   0x660,   0x903,   0x966,  0xE01,  0x1680, 0x2000, 0x200B,
      0x200D,  0x2028,  0x2029,  0x202F,  0x205F,  0x2160,  0x2581, 0x3000, 0x3001, 0x3042, 0x30A2,
      0x30FB,  0x4E00,  0x4E2D,  0x9FA5,  0x9FA6,  0xAC00,  0xFB01, 0xFEFF, 0xFF21, 0xFF10, 0x10400,
      0x1D400, 0x1F600, 0x1F468, 0x1F3FB, 0x20000, 0xE0001, 0xF0000};
  return chars;
}

inline std::string text_from_bytes(const uint8_t* data, size_t size) {
  std::string out;
  const auto& chars = alphabet();
  for (size_t i = 0; i < size; ++i) utf8::append(out, chars[data[i] % chars.size()]);
  return out;
}

}  // namespace quorvane::fuzz
