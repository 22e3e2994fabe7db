#include "lib/decoder_reading.h"

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "lib/decode.h"
#include "lib/loader.h"

namespace quorvane {
namespace {

constexpr const char* kReplaceMeta =
    R"({"type": "Replace", "pattern": {"String": "\u2581"}, "content": " "})";
constexpr const char* kStrip = R"({"type": "Strip", "content": " ", "start": 1, "stop": 0})";

// A byte_fallback model: byte tokens for 0x20, 0xC3, 0xA9, 0xE2, then "▁a", "▁▁", "a▁b".
std::unique_ptr<Tokenizer> load_with(const std::string& decoder) {
  auto r = load_tokenizer_json_text(
      "t.json", R"({"model": {"byte_fallback": true, "vocab": {"<0x20>": 0, "<0xC3>": 1,
                   "<0xA9>": 2, "<0xE2>": 3, "\u2581a": 4, "\u2581\u2581": 5, "a\u2581b": 6}},
                   "decoder": )" +
                    decoder + "}");
  EXPECT_TRUE(r) << r.error();
  return r ? std::move(r).value() : nullptr;
}

std::string decoder_error(const std::string& decoder) {
  auto r = load_tokenizer_json_text("t.json", R"({"model": {"byte_fallback": true, "vocab": {}},
                                                  "decoder": )" +
                                                  decoder + "}");
  return r ? "" : r.error().substr(0, r.error().find(':'));
}

std::string seq(std::initializer_list<std::string> stages) {
  std::string out = R"({"type": "Sequence", "decoders": [)";
  const char* sep = "";
  for (const auto& s : stages) {
    out += sep + s;
    sep = ", ";
  }
  return out + "]}";
}

TEST(DecoderPlans, SentencePieceSequenceStripsOnceAfterFuse) {
  auto m =
      load_with(seq({kReplaceMeta, R"({"type": "ByteFallback"})", R"({"type": "Fuse"})", kStrip}));
  ASSERT_TRUE(m);
  EXPECT_EQ(decode_bytes(*m, std::vector<uint32_t>{4, 4}), "a a");
  EXPECT_EQ(decode_bytes(*m, std::vector<uint32_t>{5, 4}), "  a");
  EXPECT_EQ(decode_bytes(*m, std::vector<uint32_t>{1, 2}), "\xC3\xA9");
  // A run of byte tokens that is not UTF-8: one U+FFFD per byte, the valid
  // character in it included.
  EXPECT_EQ(decode_bytes(*m, std::vector<uint32_t>{1, 2, 3, 6}),
            "\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD"
            "a b");
  // Ids without an entry do not break a run.
  EXPECT_EQ(decode_bytes(*m, std::vector<uint32_t>{1, 99, 2}), "\xC3\xA9");
}

TEST(DecoderPlans, StripBeforeFuseActsOnEveryToken) {
  auto m = load_with(seq({kReplaceMeta, kStrip}));
  ASSERT_TRUE(m);
  EXPECT_EQ(decode_bytes(*m, std::vector<uint32_t>{4, 4, 5}), "aa ");
}

TEST(DecoderPlans, MetaspaceDropsTheCharacterInTheFirstTokenOnly) {
  auto first =
      load_with(R"({"type": "Metaspace", "replacement": "\u2581", "prepend_scheme": "first"})");
  ASSERT_TRUE(first);
  EXPECT_EQ(decode_bytes(*first, std::vector<uint32_t>{6, 4}), "ab a");
  EXPECT_EQ(decode_bytes(*first, std::vector<uint32_t>{5, 5}), "  ");
  // Without ByteFallback a byte token is its text.
  EXPECT_EQ(decode_bytes(*first, std::vector<uint32_t>{0}), "<0x20>");
  auto never =
      load_with(R"({"type": "Metaspace", "replacement": "\u2581", "prepend_scheme": "never"})");
  ASSERT_TRUE(never);
  EXPECT_EQ(decode_bytes(*never, std::vector<uint32_t>{6, 4}), "a b a");
}

TEST(DecoderPlans, NoDecoderJoinsTokensWithSpaces) {
  auto m = load_with("null");
  ASSERT_TRUE(m);
  EXPECT_EQ(decode_bytes(*m, std::vector<uint32_t>{4, 0, 6}),
            "\xE2\x96\x81"
            "a <0x20> a\xE2\x96\x81"
            "b");
  EXPECT_EQ(decode_bytes(*m, std::vector<uint32_t>{}), "");
}

TEST(DecoderPlans, RefusedStagesAndOrders) {
  const std::string bf = R"({"type": "ByteFallback"})";
  EXPECT_EQ(decoder_error(R"({"type": "WordPiece"})"), "unsupported decoder setting \"type\"");
  EXPECT_EQ(decoder_error(R"({"type": "Replace", "pattern": {"Regex": " "}, "content": ""})"),
            "unsupported decoder Replace setting \"pattern\"");
  EXPECT_EQ(decoder_error(R"({"type": "Strip", "content": "ab", "start": 1, "stop": 0})"),
            "unsupported decoder Strip setting \"content\"");
  EXPECT_EQ(decoder_error(seq({bf, kReplaceMeta})), "unsupported decoder setting \"type\"");
  EXPECT_EQ(decoder_error(seq({bf, R"({"type": "ByteLevel"})"})),
            "unsupported decoder setting \"type\"");
  EXPECT_EQ(decoder_error(seq({R"({"type": "Fuse"})", kReplaceMeta})),
            "unsupported decoder setting \"type\"");
  EXPECT_EQ(decoder_error(seq({bf, R"({"type": "Fuse"})", kStrip})), "");
}

}  // namespace
}  // namespace quorvane
