#include "lib/config_reading.h"

#include <memory>
#include <string>

#include <gtest/gtest.h>

#include "lib/quoted.h"

namespace quorvane {
namespace {

struct Json {
  std::string text;
  JsonDocument doc;
  explicit Json(std::string t) : text(std::move(t)) {
    auto r = parse_json_in_place(text, doc);
    EXPECT_TRUE(r) << r.error();
  }
};

std::string refusal(const std::string& normalizer) {
  Json j(R"({"normalizer": )" + normalizer + "}");
  auto r = check_normalizer(j.doc);
  return r ? "" : r.error().substr(0, r.error().find(':'));
}

constexpr const char* kReplace =
    R"({"type": "Replace", "pattern": {"String": " "}, "content": "\u2581"})";
constexpr const char* kPrepend = R"({"type": "Prepend", "prepend": "\u2581"})";

TEST(JsonLookup, LastDuplicateKeyWinsAndOnlyTrueIsAFlag) {
  Json j(R"({"k": 1, "k": 2, "t": true, "f": 1, "s": "true"})");
  EXPECT_EQ(json_find(&j.doc, "k")->GetInt(), 2);
  EXPECT_EQ(json_find(&j.doc, "K"), nullptr);
  EXPECT_EQ(json_find(json_find(&j.doc, "k"), "k"), nullptr);
  EXPECT_TRUE(json_is_true(json_find(&j.doc, "t")));
  EXPECT_FALSE(json_is_true(json_find(&j.doc, "f")));
  EXPECT_FALSE(json_is_true(json_find(&j.doc, "s")));
  EXPECT_TRUE(json_true_unless_false(json_find(&j.doc, "missing")));
  EXPECT_TRUE(json_true_unless_false(json_find(&j.doc, "s")));
}

TEST(Quoted, EscapesQuotesControlsAndNonPrintables) {
  EXPECT_EQ(quoted_text("Strip"), "\"Strip\"");
  EXPECT_EQ(quoted_text("a\"b\\c"), R"("a\"b\\c")");
  EXPECT_EQ(quoted_text("\n\r\t"), R"("\n\r\t")");
  EXPECT_EQ(quoted_text(std::string("\0\x01\x7f", 3)), R"("\0\u{1}\u{7f}")");
  EXPECT_EQ(quoted_text("\xC2\xA0\xE2\x80\x8B\xE2\x80\xA8"), R"("\u{a0}\u{200b}\u{2028}")");
  EXPECT_EQ(quoted_text("\xE2\x96\x81 \xE4\xB8\x80"), "\"\xE2\x96\x81 \xE4\xB8\x80\"");
  EXPECT_EQ(quoted_text("\xFF"), R"("\x{ff}")");
}

TEST(NormalizerCheck, AcceptedStages) {
  EXPECT_EQ(refusal("null"), "");
  EXPECT_EQ(refusal(R"({"type": "NFKC"})"), "");
  EXPECT_EQ(refusal(R"({"type": "Sequence"})"), "");
  EXPECT_EQ(refusal(R"({"type": "Sequence", "normalizers": {}})"), "");
  EXPECT_EQ(refusal(R"({"type": "Sequence", "normalizers": []})"), "");
  EXPECT_EQ(refusal(std::string(R"({"type": "Sequence", "normalizers": [{"type": "NFD"}, )") +
                    kPrepend + ", " + kReplace + "]}"),
            "");
}

TEST(NormalizerCheck, RefusedStagesAreNamed) {
  const std::string prefix = "unsupported normalizer stage ";
  EXPECT_EQ(refusal(R"("NFC")"), prefix + "\"<unknown>\"");
  EXPECT_EQ(refusal(R"({})"), prefix + "\"<unknown>\"");
  EXPECT_EQ(refusal(R"({"type": ""})"), prefix + "\"<unknown>\"");
  EXPECT_EQ(refusal(R"({"type": 3})"), prefix + "\"<unknown>\"");
  EXPECT_EQ(refusal(R"({"type": "nfc"})"), prefix + "\"nfc\"");
  EXPECT_EQ(refusal(R"({"type": "NFC "})"), prefix + "\"NFC \"");
  EXPECT_EQ(refusal(R"({"type": "Strip\n"})"), prefix + "\"Strip\\n\"");
  EXPECT_EQ(refusal(R"({"type": "Replace", "pattern": {"Regex": " "}, "content": "\u2581"})"),
            prefix + "\"Replace\"");
  EXPECT_EQ(refusal(R"({"type": "Replace", "pattern": {"String": " "}, "content": "_"})"),
            prefix + "\"Replace\"");
  EXPECT_EQ(refusal(R"({"type": "Prepend", "prepend": "_"})"), prefix + "\"Prepend\"");
  // The first failing stage in list order, nested Sequences included.
  EXPECT_EQ(refusal(R"({"type": "Sequence", "normalizers": [{"type": "NFC"},
                       {"type": "Sequence", "normalizers": []}, {"type": "Lowercase"}]})"),
            prefix + "\"Sequence\"");
}

MetaspaceMode mode_of(const std::string& body) {
  Json j("{" + body + "}");
  return metaspace_mode(j.doc);
}

TEST(MetaspaceModeRules, FromPreTokenizerThenStages) {
  const std::string seq = R"("normalizer": {"type": "Sequence", "normalizers": [)";
  EXPECT_EQ(mode_of(""), 0);
  EXPECT_EQ(mode_of(seq + kPrepend + ", " + kReplace + "]}"), 2);
  EXPECT_EQ(mode_of(seq + kReplace + ", " + kPrepend + "]}"), 2);
  EXPECT_EQ(mode_of(seq + kReplace + "]}"), 1);
  EXPECT_EQ(mode_of(std::string(R"("normalizer": )") + kReplace), 1);
  EXPECT_EQ(mode_of(seq + kPrepend + "]}"), 0);
  EXPECT_EQ(mode_of(R"("pre_tokenizer": {"type": "Metaspace"})"), 3);
  EXPECT_EQ(mode_of(std::string(R"("pre_tokenizer": {"type": "Sequence", "pretokenizers": [
                                   1, {"type": "Metaspace"}]}, )") +
                    seq + kReplace + "]}"),
            3);
}

TEST(NormalizerKindRules, FirstUnicodeFormWins) {
  const auto kind = [](const std::string& n) {
    Json j(R"({"normalizer": )" + n + "}");
    return normalizer_kind(j.doc);
  };
  EXPECT_EQ(kind("null"), kNormNone);
  EXPECT_EQ(kind(R"({"type": "NFKD"})"), kNormNFKD);
  EXPECT_EQ(kind(R"({"type": "Sequence", "normalizers": [{"type": "NFD"}, {"type": "NFKC"}]})"),
            kNormNFD);
  EXPECT_EQ(kind(std::string(R"({"type": "Sequence", "normalizers": [)") + kReplace + ", " +
                 kPrepend + R"(, {"type": "NFKC"}]})"),
            kNormNFKC);
  EXPECT_EQ(kind(R"({"type": "Sequence", "normalizers": {"type": "NFC"}})"), kNormNone);
}

TEST(DecoderStrip, StripSpaceAloneOrInSequence) {
  const auto strip = [](const std::string& d) {
    Json j(R"({"decoder": )" + d + "}");
    return decode_strip_space(j.doc);
  };
  EXPECT_TRUE(strip(R"({"type": "Strip", "content": " ", "start": 9})"));
  EXPECT_FALSE(strip(R"({"type": "Strip", "content": "x"})"));
  EXPECT_FALSE(strip(R"({"type": "Strip", "content": "  "})"));
  EXPECT_TRUE(strip(R"({"type": "Sequence", "decoders": [1, {"type": "ByteFallback"},
                       {"type": "Strip", "content": " "}]})"));
  EXPECT_FALSE(strip(R"({"type": "Sequence", "decoders": {"type": "Strip", "content": " "}})"));
  EXPECT_FALSE(strip("null"));
}

}  // namespace
}  // namespace quorvane
