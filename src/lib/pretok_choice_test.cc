#include "lib/pretok_choice.h"

#include <string>

#include <gtest/gtest.h>

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
  std::string road;  // testing::describe
  std::vector<std::string> patterns;
};
Chosen choose(const std::string& pre, bool byte_fallback = false) {
  Json j(R"({"p": )" + pre + "}");
  auto r = choose_pre_tokenizer(json_find(&j.doc, "p"), byte_fallback);
  if (!r) return {r.error()};
  Chosen c{"", testing::describe(r.value())};
  if (const auto* split = std::get_if<SplitPieces>(&r.value())) {
    for (const SplitRegex& re : split->regexes) c.patterns.emplace_back(re.pattern());
  }
  return c;
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

const std::string kCl100k =
    R"((?i:'s|'t|'re|'ve|'m|'ll|'d)|[^\r\n\p{L}\p{N}]?\p{L}+|\p{N}{1,3}| ?[^\s\p{L}\p{N}]+[\r\n]*|\s*[\r\n]+|\s+(?!\S)|\s+)";

TEST(ScannerChoice, OnlyThePatternsTheScannersReproduce) {
  EXPECT_EQ(scanner_for_pattern(kByteLevelPattern), (ScannerSpec{ScannerKind::kGpt2, 0, 0}));
  EXPECT_EQ(scanner_for_pattern(kCl100k), (ScannerSpec{ScannerKind::kCl100k, 0, 3}));
  std::string single = kCl100k;
  single.replace(single.find(R"(\p{N}{1,3})"), 10, R"(\p{N})");
  EXPECT_EQ(scanner_for_pattern(single), (ScannerSpec{ScannerKind::kCl100k, 0, 1}));
  // Holding the texts that once picked a scanner is not enough.
  EXPECT_FALSE(scanner_for_pattern(
      R"((?i:'s|'t|'re|'ve|'m|'ll|'d)|\p{L}+|\p{N}{1,3}| ?[^\s\p{L}\p{N}]+|\s+)"));
  EXPECT_FALSE(scanner_for_pattern(R"([\p{Lu}\p{Lt}x](?i:'s)|\p{N}{1,3})"));
  EXPECT_FALSE(scanner_for_pattern(std::string(kByteLevelPattern) + " "));
}

// The split patterns the tiktoken conversions write (python/quorvane/_tiktoken.py) keep
// their scanners.
TEST(ScannerChoice, TiktokenConversionPatterns) {
  const std::string contractions = "(?i:'s|'t|'re|'ve|'m|'ll|'d)";
  const std::string o200k =
      R"([^\r\n\p{L}\p{N}]?[\p{Lu}\p{Lt}\p{Lm}\p{Lo}\p{M}]*[\p{Ll}\p{Lm}\p{Lo}\p{M}]+)" +
      contractions +
      R"(?|[^\r\n\p{L}\p{N}]?[\p{Lu}\p{Lt}\p{Lm}\p{Lo}\p{M}]+[\p{Ll}\p{Lm}\p{Lo}\p{M}]*)" +
      contractions + R"(?|\p{N}{1,3}| ?[^\s\p{L}\p{N}]+[\r\n/]*|\s*[\r\n]+|\s+(?!\S)|\s+)";
  EXPECT_EQ(scanner_for_pattern(o200k), (ScannerSpec{ScannerKind::kO200k, 1, 3}));
  EXPECT_EQ(choose(seq({split(o200k), kBlNoRegex})).road, "scan 2 1 3");
  EXPECT_EQ(choose(seq({split(kCl100k), kBlNoRegex})).road, "scan 1 0 3");
  EXPECT_EQ(choose(seq({split(kByteLevelPattern), kBlNoRegex})).road, "scan 0 0 0");
}

TEST(PreTokenizerRoads, ByteLevelLastAndBehaviors) {
  EXPECT_EQ(choose(kBl).road, "scan 0 0 0");
  EXPECT_EQ(choose(seq({kBl})).road, "scan 0 0 0");
  EXPECT_EQ(choose(kBlNoRegex).error, kRefusal);
  EXPECT_EQ(choose("null").error, kRefusal);
  EXPECT_EQ(choose(R"({"type": "Metaspace"})").error, kRefusal);
  EXPECT_EQ(choose(split(kByteLevelPattern)).error, kRefusal);
  // ByteLevel maps what the members before it cut; a member after it would see
  // its byte characters.
  EXPECT_EQ(choose(seq({kBl, kDigits})).error, kRefusal);
  EXPECT_EQ(choose(seq({kBlNoRegex, kBlNoRegex})).error, kRefusal);
  // Behaviors that keep the same pieces when the matches tile the text.
  const std::string invert = R"(, "invert": true)";
  EXPECT_EQ(choose(seq({split(kCl100k, "Removed", invert.c_str()), kBlNoRegex})).road,
            "scan 1 0 3");
  EXPECT_EQ(choose(seq({split(kCl100k, "MergedWithNext"), kBlNoRegex})).road, "scan 1 0 3");
  EXPECT_EQ(choose(seq({split(kCl100k, "Removed"), kBlNoRegex})).error,
            "unsupported pre_tokenizer Split setting \"behavior\": \"Removed\" (quorvane does not "
            "reproduce it; refusing rather than tokenizing differently)");
  EXPECT_EQ(choose(seq({split(kCl100k, "Contiguous"), kBlNoRegex})).error.substr(0, 40),
            "unsupported pre_tokenizer Split setting ");
  // On the compiled road only Isolated, not inverted, is reproduced.
  EXPECT_EQ(choose(seq({split(R"(\p{L}+)", "Removed", invert.c_str()), kBlNoRegex})).error,
            kRefusal);
  EXPECT_EQ(choose(seq({split(R"(\p{L}+)", "Isolated", invert.c_str()), kBlNoRegex})).error,
            kRefusal);
}

TEST(PreTokenizerRoads, DigitsAndTheByteLevelPattern) {
  EXPECT_EQ(choose(seq({kDigits1, kBl})).road, "scan 0 1 0");
  // Digit runs, then the ByteLevel pattern over each piece.
  EXPECT_EQ(choose(seq({kDigits, kBl})).patterns,
            (std::vector<std::string>{R"(\p{N}+)", std::string(kByteLevelPattern)}));
  // The ByteLevel pattern first and digits after it is another cut.
  EXPECT_EQ(choose(seq({split(kByteLevelPattern), kDigits1, kBlNoRegex})).road, "split 2");
}

TEST(PreTokenizerRoads, ByteLevelPrefixSpace) {
  const std::string prefix_regex = R"({"type": "ByteLevel", "add_prefix_space": true})";
  const std::string prefix_plain =
      R"({"type": "ByteLevel", "add_prefix_space": true, "use_regex": false})";
  EXPECT_EQ(choose(prefix_regex).road, "scan 0 0 0+text");
  EXPECT_EQ(choose(seq({split(kCl100k), prefix_plain})).road, "scan 1 0 3+piece");
  EXPECT_EQ(choose(seq({kDigits1, prefix_regex})).error.substr(0, 44),
            "unsupported pre_tokenizer ByteLevel setting ");
  EXPECT_EQ(choose(seq({split(R"(\p{L}+)"), prefix_plain})).road, "split 1+piece");
}

TEST(PreTokenizerRoads, TwoSplitsBecomeSplitPatterns) {
  const auto two = choose(seq({split(R"(\p{L}+)"), split(R"(\d)"), kBlNoRegex}));
  ASSERT_EQ(two.error, "");
  EXPECT_EQ(two.patterns, (std::vector<std::string>{R"(\p{L}+)", R"(\d)"}));
  // A compile failure names the first failing pattern.
  EXPECT_EQ(choose(seq({split("("), split("[")}), true).error,
            "cannot compile split regex \"(\": missing closing parenthesis at offset 1");
  // A "String" pattern matches its text literally.
  const auto literal = choose(seq(
      {R"({"type": "Split", "behavior": "Isolated", "pattern": {"String": "a.b"}})", kBlNoRegex}));
  EXPECT_EQ(literal.patterns, std::vector<std::string>{R"(a\x{2e}b)"});
  for (const char* anchor : {R"(a\z)", R"(\Aa)", R"(a\G)", R"([\Z])", R"(a\\z)"}) {
    SCOPED_TRACE(anchor);
    EXPECT_EQ(choose(seq({split(anchor), kBlNoRegex})).error, kRefusal);
    EXPECT_EQ(choose(seq({split(anchor)}), true).error, kBfRefusal);
  }
}

TEST(PreTokenizerRoads, ByteFallbackRoad) {
  EXPECT_EQ(choose("null", true).road, "whole");
  // A ByteLevel member would map the text to byte characters first.
  EXPECT_EQ(choose(kBl, true).error, kBfRefusal);
  EXPECT_EQ(choose(seq({split(kByteLevelPattern), kBlNoRegex}), true).error, kBfRefusal);
  // Split and Digits members are compiled, alone or in a Sequence.
  EXPECT_EQ(choose(kDigits1, true).road, "split 1");
  EXPECT_EQ(choose(seq({split(kByteLevelPattern), kDigits}), true).road, "split 2");
}

TEST(CjkPreset, ExactFourMembersOnly) {
  const std::string preset =
      seq({split(kCjkDigits), split(kCjkIdeographs), split(kCjkPunct), kBlNoRegex});
  ASSERT_EQ(kCjkPunct.size(), 126u);
  ASSERT_EQ(kCjkIdeographs.size(), 24u);
  EXPECT_EQ(choose(preset).road, "cjk");
  // Not in a byte_fallback model, where its ByteLevel member is refused.
  EXPECT_EQ(choose(preset, true).error, kBfRefusal);
  // Another order, a use_regex that is not the boolean false, or a changed text.
  EXPECT_EQ(
      choose(seq({split(kCjkIdeographs), split(kCjkDigits), split(kCjkPunct), kBlNoRegex})).road,
      "split 3");
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
