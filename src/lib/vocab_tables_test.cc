#include "lib/vocab_tables.h"

#include <memory>
#include <string>

#include <gtest/gtest.h>

#include "lib/decode.h"
#include "lib/loader.h"

namespace quorvane {
namespace {

// Loads a model from its "model" object and "added_tokens" array.
std::unique_ptr<Tokenizer> load(const std::string& model, const std::string& added = "[]") {
  const bool bf = model.find("\"byte_fallback\": true") != std::string::npos;
  auto r = load_tokenizer_json_text(
      "t.json", "{\"model\": " + model + ", \"added_tokens\": " + added +
                    (bf ? "}" : R"(, "pre_tokenizer": {"type": "ByteLevel"}})"));
  EXPECT_TRUE(r) << r.error();
  return r ? std::move(r).value() : nullptr;
}

// The token bytes of an id (what encoding matches; the decoder may add its own rules).
std::string bytes(const Tokenizer& m, uint32_t id) {
  return id < m.n_vocab ? std::string(m.token_bytes.bytes_of(id)) : std::string();
}

TEST(ByteLevelAlphabet, PairsEveryByteWithOneCharacter) {
  EXPECT_EQ(byte_level_char(0x00), 0x100u);
  EXPECT_EQ(byte_level_char(0x20), 0x120u);
  EXPECT_EQ(byte_level_char(0x7F), 0x121u);
  EXPECT_EQ(byte_level_char(0xA0), 0x142u);
  EXPECT_EQ(byte_level_char(0xAD), 0x143u);
  EXPECT_EQ(byte_level_char('a'), uint32_t{'a'});
  for (int b = 0; b < 256; ++b) EXPECT_EQ(byte_level_byte(byte_level_char(b)), b);
  EXPECT_EQ(byte_level_byte(' '), -1);
  EXPECT_EQ(byte_level_byte(0x144), -1);
  EXPECT_EQ(byte_level_byte(0xAD), -1);
}

TEST(ByteTokens, HexFormsAndLookalikes) {
  uint8_t b = 0;
  EXPECT_TRUE(parse_byte_token("<0x41>", b));
  EXPECT_EQ(b, 0x41);
  EXPECT_TRUE(parse_byte_token("<0x0a>", b));
  EXPECT_EQ(b, 0x0A);
  EXPECT_TRUE(parse_byte_token("<0xfF>", b));
  EXPECT_EQ(b, 0xFF);
  EXPECT_TRUE(parse_byte_token("<0x+F>", b));
  EXPECT_EQ(b, 0x0F);
  for (const char* text : {"<0xA>", "<0xGG>", "<0X41>", "<0x-1>", "<0x++>", "<0x41", "<0x410>"}) {
    EXPECT_FALSE(parse_byte_token(text, b)) << text;
  }
}

TEST(VocabTables, SizesAndEmptyIds) {
  auto m = load(R"({"vocab": {"a": 0, "b": 5}})");
  ASSERT_TRUE(m);
  EXPECT_EQ(m->n_vocab, 6u);
  EXPECT_EQ(bytes(*m, 3), "");
  m = load(R"({"vocab": {"a": 0, "b": 5}})", R"([{"id": 9, "content": "z"}])");
  EXPECT_EQ(m->n_vocab, 10u);
  EXPECT_EQ(bytes(*m, 9), "z");
  m = load(R"({"vocab": {"a": 0, "b": 5}})", R"([{"id": 9}])");
  EXPECT_EQ(m->n_vocab, 10u);
  EXPECT_EQ(bytes(*m, 9), "");
  // Irregular values count as id 0; the last of a repeated text counts.
  m = load(R"({"vocab": {"x": "7", "y": 2, "y": 1}})");
  EXPECT_EQ(m->n_vocab, 2u);
  EXPECT_EQ(bytes(*m, 0), "x");
  EXPECT_EQ(bytes(*m, 1), "y");
}

TEST(VocabTables, AddedTokensFillOnlyEmptyIds) {
  auto m = load(R"({"vocab": {"a": 0, "": 2}})",
                R"([{"id": 0, "content": "X"}, {"id": 1, "content": "\u0120first"},
                    {"id": 1, "content": "second"}, {"id": 2, "content": "two"},
                    {"content": "no id"}, {"id": 1.0, "content": "float"}])");
  ASSERT_TRUE(m);
  EXPECT_EQ(bytes(*m, 0), "a");
  EXPECT_EQ(bytes(*m, 1),
            "\xC4\xA0"
            "first");              // verbatim, no ByteLevel decoding
  EXPECT_EQ(bytes(*m, 2), "two");  // the empty text left id 2 empty
}

TEST(VocabTables, ByteLevelDecodingAndByteIds) {
  auto m = load(R"({"vocab": {"\u0120": 3, "\u0100": 4, " x": 5, "\u4e00": 6, "\u00ad": 7,
                              "a": 8}, "ignore_merges": true})",
                R"([{"id": 1, "content": " "}, {"id": 0, "content": "a"}])");
  ASSERT_TRUE(m);
  EXPECT_EQ(bytes(*m, 3), " ");
  EXPECT_EQ(bytes(*m, 4), std::string(1, '\0'));
  EXPECT_EQ(bytes(*m, 5), " x");
  EXPECT_EQ(bytes(*m, 6), "\xE4\xB8\x80");
  EXPECT_EQ(bytes(*m, 7), "\xC2\xAD");  // U+00AD is not an alphabet character
  // A byte's id is its alphabet character's, never an added token's or a text
  // that merely decodes to it.
  EXPECT_EQ(m->byte_ids[' '], 3);
  EXPECT_EQ(m->byte_ids['a'], 8);
  EXPECT_EQ(m->byte_ids[0], 4);
  EXPECT_LT(m->byte_ids[0xAD], 0);
  // Whole pieces: "vocab" texts made of alphabet characters only.
  EXPECT_EQ(m->piece_ids->at(std::string_view(" ")), 3u);
  EXPECT_EQ(m->piece_ids->at(std::string_view("a")), 8u);
  EXPECT_EQ(m->piece_ids->size(), 3u);
  for (int c = 0; c < 128; ++c) EXPECT_LT(m->ascii_ids[c], 0);
  EXPECT_TRUE(m->char_ids.empty());
}

TEST(VocabTables, ByteFallbackDecodingAndByteTokens) {
  auto m = load(R"({"byte_fallback": true, "vocab": {"<0x41>": 5, "A": 7, "<0x42>": 9, "B": 3,
      "\u2581the": 10, "a\u2581b": 11, "<0xA>": 12, "<0xZZ>": 13, "\u2581": 14, "<0x+F>": 15,
      "\u00e9": 16}})");
  ASSERT_TRUE(m);
  EXPECT_EQ(bytes(*m, 5), "A");
  EXPECT_EQ(bytes(*m, 10), " the");
  EXPECT_EQ(bytes(*m, 11), "a b");
  EXPECT_EQ(bytes(*m, 12), "<0xA>");
  EXPECT_EQ(bytes(*m, 13), "<0xZZ>");
  EXPECT_EQ(bytes(*m, 15), "\x0F");
  // Only "<0xNN>" with upper-case digits is a byte's token.
  EXPECT_EQ(m->byte_ids['A'], 5);
  EXPECT_EQ(m->byte_ids['B'], 9);
  EXPECT_LT(m->byte_ids[' '], 0);
  EXPECT_LT(m->byte_ids[0x0A], 0);
  EXPECT_LT(m->byte_ids[0x0F], 0);
  EXPECT_EQ(m->ascii_ids['A'], 7);
  EXPECT_EQ(m->ascii_ids['B'], 3);
  EXPECT_LT(m->ascii_ids['<'], 0);
  EXPECT_EQ(m->char_ids.at(0x2581), 14u);
  EXPECT_EQ(m->char_ids.at(0xE9), 16u);
  EXPECT_EQ(m->char_ids.size(), 2u);
  EXPECT_FALSE(m->piece_ids.has_value());
}

TEST(VocabTables, TokenBytesArePackedInIdOrder) {
  auto m = load(R"({"vocab": {"c": 2, "ab": 0}})");
  ASSERT_TRUE(m);
  EXPECT_EQ(m->token_bytes.arena, "abc");
  ASSERT_EQ(m->token_bytes.spans.size(), 3u);
  EXPECT_EQ(m->token_bytes.spans[1].offset, 2u);
  EXPECT_EQ(m->token_bytes.spans[1].len, 0u);
  EXPECT_EQ(m->token_bytes.spans[2].offset, 2u);
}

}  // namespace
}  // namespace quorvane
