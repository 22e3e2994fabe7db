#include "lib/pretok_choice.h"

#include <string>

#include <gtest/gtest.h>

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

// JSON string literal of a pattern.
std::string lit(std::string_view pattern) {
  std::string out = "\"";
  for (const char c : pattern) {
    if (c == '"' || c == '\\') out += '\\';
    if (c == '\r') {
      out += "\\r";
    } else if (c == '\n') {
      out += "\\n";
    } else {
      out += c;
    }
  }
  return out + "\"";
}

std::string split(std::string_view pattern, const char* behavior = "Isolated",
                  const char* extra = "") {
  return std::string(R"({"type": "Split", "behavior": ")") + behavior +
         R"(", "pattern": {"Regex": )" + lit(pattern) + "}" + extra + "}";
}
const std::string kBl = R"({"type": "ByteLevel"})";
const std::string kBlNoRegex = R"({"type": "ByteLevel", "use_regex": false})";
const std::string kDigits1 = R"({"type": "Digits", "individual_digits": true})";
const std::string kDigits = R"({"type": "Digits", "individual_digits": false})";

std::string seq(std::initializer_list<std::string> members) {
  std::string out = R"({"type": "Sequence", "pretokenizers": [)";
  bool first = true;
  for (const auto& m : members) {
    out += (first ? "" : ", ") + m;
    first = false;
  }
  return out + "]}";
}

struct Chosen {
  std::string error;
  PretokChoice choice;
};
Chosen choose(const std::string& pre, bool byte_fallback = false, MetaspaceMode mode = 0) {
  Json j(R"({"p": )" + pre + "}");
  auto r = choose_pre_tokenizer(json_find(&j.doc, "p"), byte_fallback, mode);
  if (!r) return {r.error(), {}};
  return {"", std::move(r).value()};
}

const char* kRefusal = "unsupported pre_tokenizer (ByteLevel or byte_fallback)";
const char* kBfRefusal =
    "unsupported pre_tokenizer for byte_fallback model (cannot be reproduced; refusing to "
    "mistokenize)";

constexpr std::string_view kCjkDigits = R"(\p{N}{1,3})";
const std::string kCjkIdeographs =
    "[\xE4\xB8\x80-\xE9\xBE\xA5\xE3\x81\x80-\xE3\x82\x9F\xE3\x82\xA0-\xE3\x83\xBF]+";
const std::string kCjkPunct = std::string(R"([!"#$%&'()*+,\-./:;<=>?@\[\\\]^_`{|}~][A-Za-z]+|[^)") +
                              "\r\n" + R"(\p{L}\p{P}\p{S}]?[\p{L}\p{M}]+| ?[\p{P}\p{S}]+[)" +
                              "\r\n" + R"(]*|\s*[)" + "\r\n" + R"(]+|\s+(?!\S)|\s+)";

TEST(ScannerKindTable, RowsInOrder) {
  const auto row = [](std::string_view p, bool digits = false) {
    return scanner_for_pattern(p, digits);
  };
  // Row 1: o200k-style, flag from "(?i:", limit from the digit group.
  EXPECT_EQ(row(R"([\p{Lu}\p{Lt}x](?i:'s)|\p{N}{1,3})"), (ScannerSpec{2, 1, 3}));
  EXPECT_EQ(row(R"([\p{Lu}\p{Lt}x]|\p{N}+)"), (ScannerSpec{2, 0, 0}));
  EXPECT_EQ(row(R"([\p{Lu}\p{Lt}x]|\p{N})"), (ScannerSpec{2, 0, 1}));
  // Row 2: the ByteLevel pattern itself; only here do individual digits count.
  EXPECT_EQ(row(kByteLevelPattern), (ScannerSpec{0, 0, 0}));
  EXPECT_EQ(row(kByteLevelPattern, true), (ScannerSpec{0, 1, 0}));
  // Row 3 and row 4.
  EXPECT_EQ(row(R"((?i:'s)|[\p{L}\p{M}]+|[^\s\p{L}\p{M}\p{N}]|\p{N})"), (ScannerSpec{1, 1, 1}));
  EXPECT_EQ(row(R"((?i:'s)|\p{L}+|\p{N}{1,3})", true), (ScannerSpec{1, 0, 3}));
  EXPECT_EQ(row(R"((?i:'s)|\p{L}+|\p{N}+)"), (ScannerSpec{1, 0, 0}));
  // Row 5: nothing matches.
  EXPECT_FALSE(row(R"(\p{L}+|\p{N}{1,3})"));
  EXPECT_FALSE(row(std::string(kByteLevelPattern) + " "));
}

TEST(PreTokenizerRoads, ByteLevelAndSequenceScan) {
  EXPECT_EQ(choose(kBl).choice.scanner, (ScannerSpec{0, 0, 0}));
  EXPECT_EQ(choose(R"({"type": "ByteLevel", "use_regex": 1})").error, "");
  EXPECT_EQ(choose(kBlNoRegex).error, kRefusal);
  EXPECT_EQ(choose("null").error, kRefusal);
  EXPECT_EQ(choose(R"({"type": "Metaspace"})", false, 3).error, kRefusal);
  EXPECT_EQ(choose(split(kByteLevelPattern)).error, kRefusal);
  // The Sequence scan does not read behavior or invert.
  EXPECT_EQ(choose(seq({split(kByteLevelPattern, "Removed"), kBlNoRegex})).choice.scanner,
            (ScannerSpec{0, 0, 0}));
  EXPECT_EQ(choose(seq({split(kByteLevelPattern), kDigits1, kBlNoRegex})).choice.scanner,
            (ScannerSpec{0, 1, 0}));
  const auto digits_first = choose(seq({kDigits1, kBl}));
  EXPECT_EQ(digits_first.choice.scanner, (ScannerSpec{0, 1, 0}));
  EXPECT_TRUE(digits_first.choice.split_regexes.empty());
  EXPECT_EQ(choose(seq({kDigits, kBl})).error, kRefusal);
  const auto bl_first = choose(seq({kBl, kDigits}));
  ASSERT_EQ(bl_first.choice.split_regexes.size(), 1u);
  EXPECT_EQ(bl_first.choice.split_regexes[0].pattern(), R"(\p{N}+)");
  EXPECT_EQ(choose(seq({kBl})).error, kRefusal);
  const auto cased = choose(
      seq({split(R"((?i:'s)|\p{L}+|\p{N}{1,3})", "Removed", R"(, "invert": true)"), kBlNoRegex}));
  EXPECT_EQ(cased.choice.scanner, (ScannerSpec{1, 0, 3}));
  // The same Split on the general road is refused for its behavior and invert.
  EXPECT_EQ(choose(seq({split(R"(\p{L}+)", "Removed"), kBlNoRegex})).error, kRefusal);
  EXPECT_EQ(choose(seq({split(R"(\p{L}+)", "Isolated", R"(, "invert": true)"), kBlNoRegex})).error,
            kRefusal);
}

TEST(PreTokenizerRoads, TwoSplitsBecomeSplitPatterns) {
  const auto two = choose(seq({split(R"(\p{L}+)"), split(R"(\d)"), kBlNoRegex}));
  ASSERT_EQ(two.error, "");
  ASSERT_EQ(two.choice.split_regexes.size(), 2u);
  EXPECT_EQ(two.choice.split_regexes[0].pattern(), R"(\p{L}+)");
  EXPECT_EQ(two.choice.split_regexes[1].pattern(), R"(\d)");
  EXPECT_EQ(two.choice.scanner, (ScannerSpec{0, 0, 0}));
  // A compile failure names the first failing pattern.
  EXPECT_EQ(choose(seq({split("("), split("["), kBlNoRegex}), true).error,
            "cannot compile split regex \"(\": missing closing parenthesis at offset 1");
}

TEST(SplitCollection, MemberRules) {
  const auto collect = [](const std::string& pre) {
    Json j(R"({"p": )" + pre + "}");
    return collect_split_regexes(json_find(&j.doc, "p"));
  };
  EXPECT_FALSE(collect(seq({})));
  EXPECT_FALSE(collect(kBl));
  EXPECT_FALSE(collect(seq({split("a")})));  // no ByteLevel
  EXPECT_FALSE(collect(seq({kBlNoRegex})));  // no pattern
  EXPECT_FALSE(collect(seq({split("a"), "{}"})));
  EXPECT_FALSE(collect(seq({split("a"), R"({"type": "Metaspace"})", kBlNoRegex})));
  EXPECT_FALSE(collect(seq({split("a"), kBl})));  // use_regex ByteLevel after a pattern
  EXPECT_FALSE(collect(seq(
      {R"({"type": "Split", "behavior": "Isolated", "pattern": {"String": "a"}})", kBlNoRegex})));
  const auto list = collect(seq({kBl, split("a"), kDigits1, kDigits, kBlNoRegex}));
  ASSERT_TRUE(list);
  EXPECT_EQ(*list, (std::vector<std::string>{"a", R"(\p{N})", R"(\p{N}+)"}));
  for (const char* anchor : {R"(a\z)", R"(\Aa)", R"(a\G)", R"([\Z])", R"(a\\z)"}) {
    SCOPED_TRACE(anchor);
    EXPECT_FALSE(collect(seq({split(anchor), kBlNoRegex})));
    EXPECT_EQ(choose(seq({split(anchor), kBlNoRegex})).error, kRefusal);
    EXPECT_EQ(choose(seq({split(anchor), kBlNoRegex}), true).error, kBfRefusal);
  }
}

TEST(PreTokenizerRoads, ByteFallbackRoad) {
  EXPECT_EQ(choose("null", true).error, "");
  EXPECT_TRUE(choose("null", true).choice.split_regexes.empty());
  EXPECT_EQ(choose(kBl, true).error, kBfRefusal);
  // Any pre-tokenizer goes unread under metaspace handling.
  EXPECT_EQ(choose(R"({"type": "Whatever"})", true, 2).error, "");
  EXPECT_EQ(choose(R"({"type": "Metaspace"})", true, 3).error, "");
  // No fast scanner on this road: the ByteLevel pattern is compiled.
  const auto bl = choose(seq({split(kByteLevelPattern), kBlNoRegex}), true);
  ASSERT_EQ(bl.choice.split_regexes.size(), 1u);
  EXPECT_EQ(bl.choice.scanner, (ScannerSpec{0, 0, 0}));
}

TEST(CjkPreset, ExactFourMembersOnly) {
  const std::string preset =
      seq({split(kCjkDigits), split(kCjkIdeographs), split(kCjkPunct), kBlNoRegex});
  ASSERT_EQ(kCjkPunct.size(), 126u);
  ASSERT_EQ(kCjkIdeographs.size(), 24u);
  const auto c = choose(preset);
  EXPECT_TRUE(c.choice.cjk_preset);
  EXPECT_TRUE(c.choice.split_regexes.empty());
  EXPECT_EQ(c.choice.scanner, (ScannerSpec{0, 0, 0}));
  // Not recognised in a byte_fallback model: three split patterns instead.
  const auto bf = choose(preset, true);
  EXPECT_FALSE(bf.choice.cjk_preset);
  EXPECT_EQ(bf.choice.split_regexes.size(), 3u);
  // Another order, a use_regex that is not the boolean false, or a changed text.
  const auto reordered =
      choose(seq({split(kCjkIdeographs), split(kCjkDigits), split(kCjkPunct), kBlNoRegex}));
  EXPECT_FALSE(reordered.choice.cjk_preset);
  EXPECT_EQ(reordered.choice.split_regexes.size(), 3u);
  Json missing_flag(R"({"p": )" +
                    seq({split(kCjkDigits), split(kCjkIdeographs), split(kCjkPunct), kBl}) + "}");
  EXPECT_FALSE(is_cjk_preset(json_find(&missing_flag.doc, "p")));
  Json other_text(
      R"({"p": )" +
      seq({split(R"(\p{N}{1,2})"), split(kCjkIdeographs), split(kCjkPunct), kBlNoRegex}) + "}");
  EXPECT_FALSE(is_cjk_preset(json_find(&other_text.doc, "p")));
}

}  // namespace
}  // namespace quorvane
