#include "lib/config_reading.h"

#include <memory>
#include <string>

#include <gtest/gtest.h>

#include "lib/quoted.h"
#include "lib/test_models.h"

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

TextSettings settings_of(const std::string& body, bool byte_fallback = true) {
  Json j("{" + body + "}");
  auto r = text_settings(j.doc, byte_fallback);
  EXPECT_TRUE(r) << r.error();
  return r ? r.value() : TextSettings{};
}

// The metaspace road as testing::describe gives it, or "none".
std::string road_of(const std::string& body) {
  const auto words = settings_of(body).metaspace;
  return words ? testing::describe(*words) : "none";
}

std::string settings_error(const std::string& body, bool byte_fallback = true) {
  Json j("{" + body + "}");
  auto r = text_settings(j.doc, byte_fallback);
  return r ? "" : r.error().substr(0, r.error().find(':'));
}

TEST(TextSettings, MetaspaceRoadFromNormalizerAndPreTokenizer) {
  const std::string seq = R"("normalizer": {"type": "Sequence", "normalizers": [)";
  EXPECT_EQ(road_of(""), "none");
  EXPECT_EQ(road_of(seq + kPrepend + ", " + kReplace + "]}"), "words 1");
  EXPECT_EQ(road_of(seq + kReplace + ", " + kPrepend + "]}"), "words 1");
  EXPECT_EQ(road_of(std::string(R"("normalizer": )") + kReplace), "words 0");
  // Prepend alone rewrites the text; there is no metaspace road.
  const TextSettings prepend = settings_of(seq + kPrepend + "]}");
  EXPECT_FALSE(prepend.metaspace);
  EXPECT_TRUE(prepend.rewrite_prepend);
  const auto pre = [](const char* scheme, const char* split) {
    return std::string(R"("pre_tokenizer": {"type": "Metaspace", "replacement": "\u2581", )") +
           R"("prepend_scheme": ")" + scheme + R"(", "split": )" + split + "}";
  };
  EXPECT_EQ(road_of(pre("always", "true")), "words 2 each");
  EXPECT_EQ(road_of(pre("first", "false")), "words 2");
  EXPECT_EQ(road_of(pre("never", "true")), "words 0 each");
  // With a Prepend stage the text starts with U+2581 before the Metaspace sees it.
  EXPECT_EQ(road_of(pre("never", "true") + ", " + seq + kPrepend + "]}"), "words 1 each");
  EXPECT_EQ(road_of(R"("pre_tokenizer": {"type": "Metaspace", "add_prefix_space": false})"),
            "words 0 each");
  EXPECT_EQ(settings_error(R"("pre_tokenizer": {"type": "Metaspace", "replacement": "_"})"),
            "unsupported pre_tokenizer Metaspace setting \"replacement\"");
  EXPECT_EQ(settings_error(R"("pre_tokenizer": {"type": "Sequence", "pretokenizers": [
                              {"type": "Metaspace"}, {"type": "Digits"}]})"),
            "unsupported pre_tokenizer Sequence setting \"pretokenizers\"");
  // The normalizer's Replace leaves only a split on the space with nothing to do.
  EXPECT_EQ(settings_error(std::string(R"("normalizer": )") + kReplace +
                           R"(, "pre_tokenizer": {"type": "Split", "pattern": {"String": " "},
                              "behavior": "MergedWithPrevious"})"),
            "");
  EXPECT_EQ(settings_error(std::string(R"("normalizer": )") + kReplace +
                           R"(, "pre_tokenizer": {"type": "Digits"})"),
            "unsupported pre_tokenizer for byte_fallback model (cannot be reproduced; refusing "
            "to mistokenize)");
}

TEST(TextSettings, StagesApplyInTheirOrder) {
  const auto plan = [](const std::string& stages) {
    Json j(R"({"normalizer": {"type": "Sequence", "normalizers": [)" + stages + "]}}");
    return read_normalizer(j.doc);
  };
  EXPECT_EQ(plan(R"({"type": "NFD"}, {"type": "NFKC"})").kind, kNormNFKC);
  EXPECT_EQ(plan(R"({"type": "NFKC"}, {"type": "NFD"})").kind, kNormNFKD);
  EXPECT_EQ(plan(R"({"type": "NFC"}, {"type": "NFD"})").kind, kNormNFD);
  EXPECT_EQ(plan("").kind, kNormNone);
  // A compatibility form after the Replace keeps the spaces it makes.
  EXPECT_TRUE(plan(std::string(kReplace) + R"(, {"type": "NFKC"})").rewrite_before_form);
  EXPECT_FALSE(plan(std::string(R"({"type": "NFKC"}, )") + kReplace).rewrite_before_form);
  EXPECT_FALSE(plan(std::string(kReplace) + R"(, {"type": "NFC"})").rewrite_before_form);
  // ByteLevel models rewrite the text before their pre-tokenizer.
  const TextSettings bl = settings_of(std::string(R"("normalizer": )") + kReplace, false);
  EXPECT_FALSE(bl.metaspace);
  EXPECT_TRUE(bl.rewrite_spaces);
}

TEST(RootSettings, TruncationAndPaddingAreRefused) {
  const auto error = [](const std::string& body) {
    Json j("{" + body + "}");
    auto r = check_root_settings(j.doc);
    return r ? "" : r.error().substr(0, r.error().find(':'));
  };
  EXPECT_EQ(error(R"("truncation": null, "padding": null)"), "");
  EXPECT_EQ(error(R"("truncation": {"max_length": 8})"),
            "unsupported tokenizer setting \"truncation\"");
  EXPECT_EQ(error(R"("padding": {"strategy": "BatchLongest"})"),
            "unsupported tokenizer setting \"padding\"");
}

}  // namespace
}  // namespace quorvane
