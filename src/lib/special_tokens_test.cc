#include "lib/special_tokens.h"

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "lib/encode.h"
#include "lib/test_models.h"

namespace quorvane {
namespace {

using testing::byte_model;

struct Special {
  std::string content;
  uint32_t id;
  bool lstrip = false;
  bool rstrip = false;
};

void register_specials(Tokenizer& model, const std::vector<Special>& specials,
                       PrefixScheme scheme = PrefixScheme::kNone) {
  std::vector<std::string> contents;
  std::vector<uint32_t> ids;
  std::vector<uint8_t> lstrip, rstrip;
  for (const Special& s : specials) {
    contents.push_back(s.content);
    ids.push_back(s.id);
    lstrip.push_back(s.lstrip);
    rstrip.push_back(s.rstrip);
  }
  auto done = build_special_matcher(model, contents, ids, lstrip, rstrip, scheme);
  ASSERT_TRUE(done.ok()) << done.error();
}

// Byte ids show as their bytes, special ids as <id>.
std::string spell(const Tokenizer& model, std::string_view text) {
  std::vector<uint32_t> out;
  EXPECT_EQ(encode_with_specials(model, text, out), nullptr);
  std::string s;
  for (uint32_t id : out) {
    s += id < 256 ? std::string(1, static_cast<char>(id)) : "<" + std::to_string(id) + ">";
  }
  return s;
}

TEST(SpecialTokens, WithoutRegistrationTheWholeTextIsOneGap) {
  auto model = byte_model();
  model->pre_tokenizer = MetaspaceWords{MetaspaceMode::kPreTokenizer};
  for (PrefixScheme scheme : {PrefixScheme::kNone, PrefixScheme::kAlways, PrefixScheme::kFirst}) {
    register_specials(*model, {}, scheme);
    EXPECT_EQ(model->special_matcher, nullptr);
    EXPECT_EQ(spell(*model, "a b"),
              "\xE2\x96\x81"
              "a\xE2\x96\x81"
              "b");
  }
  register_specials(*model, {{"<s>", 1000}}, PrefixScheme::kFirst);
  EXPECT_EQ(spell(*model, "a b"),
            "\xE2\x96\x81"
            "a\xE2\x96\x81"
            "b");
  EXPECT_EQ(spell(*model, ""), "");
}

TEST(SpecialTokens, MatchesSplitTheText) {
  auto model = byte_model();
  register_specials(*model, {{"ab", 1000}, {"abc", 1001}, {"<s>", 1002}, {"bcd", 1003}});
  EXPECT_EQ(spell(*model, "<s>"), "<1002>");
  EXPECT_EQ(spell(*model, "abcd"), "<1001>d");
  EXPECT_EQ(spell(*model, "x<s><s>y"), "x<1002><1002>y");
  EXPECT_EQ(spell(*model, "xabd"), "x<1000>d");
  // Byte-exact and case-sensitive, before any normalization.
  EXPECT_EQ(spell(*model, "<S>"), "<S>");
}

TEST(SpecialTokens, LeftmostWins) {
  auto model = byte_model();
  register_specials(*model, {{"bc", 1000}, {"abcd", 1001}});
  EXPECT_EQ(spell(*model, "abcd"), "<1001>");
}

TEST(SpecialTokens, StripsWhiteSpaceCharacters) {
  auto model = byte_model();
  register_specials(*model, {{"<L>", 1000, true, false}, {"<R>", 1001, false, true}});
  EXPECT_EQ(spell(*model, "x  <L>"), "x<1000>");
  EXPECT_EQ(spell(*model, "x\t\n\v\f\r <L>y"), "x<1000>y");
  EXPECT_EQ(spell(*model, "<R>  <L>"), "<1001><1000>");
  EXPECT_EQ(spell(*model, "<R> \n "), "<1001>");
  EXPECT_EQ(spell(*model, "<R> x "), "<1001>x ");
  EXPECT_EQ(spell(*model, "  <L>"), "<1000>");
  // U+00A0, U+0085, U+3000 are whitespace; U+200B and a stray 0x85 byte are not.
  EXPECT_EQ(spell(*model, "x\xC2\xA0\xC2\x85<L>"), "x<1000>");
  EXPECT_EQ(spell(*model, "<R>\xE3\x80\x80 x"), "<1001>x");
  EXPECT_EQ(spell(*model, "x\xE2\x80\x8B<L>"), "x\xE2\x80\x8B<1000>");
  EXPECT_EQ(spell(*model, "x\x85<L><R>\x85"), "x\x85<1000><1001>\x85");
}

TEST(SpecialTokens, MatchInsideStrippedWhitespace) {
  auto model = byte_model();
  register_specials(*model, {{"<R>", 1000, false, true},
                             {" x", 1001},
                             {"  ", 1002},
                             {"\n", 1003},
                             {"\t", 1004, true, true}});
  EXPECT_EQ(spell(*model, "<R> xy"), "<1000><1001>y");
  // What follows such a match is encoded again: only what matches is consumed.
  EXPECT_EQ(spell(*model, "<R>     y"), "<1000><1002><1002> y");
  EXPECT_EQ(spell(*model, "<R>\n\n  z"), "<1000><1003><1003><1002>z");
  // With lstrip, a match that ends inside the consumed whitespace goes with it.
  EXPECT_EQ(spell(*model, "<R>\t\t z"), "<1000>z");
}

TEST(SpecialTokens, PrefixSchemeFirstOnlyPrefixesTheFirstGap) {
  auto model = byte_model();
  model->pre_tokenizer = MetaspaceWords{MetaspaceMode::kPreTokenizer};
  const std::string meta = "\xE2\x96\x81";
  register_specials(*model, {{"<s>", 1000}}, PrefixScheme::kFirst);
  EXPECT_EQ(spell(*model, "<s>a"), "<1000>a");
  EXPECT_EQ(spell(*model, "a<s>b"), meta + "a<1000>b");
  for (PrefixScheme scheme : {PrefixScheme::kNone, PrefixScheme::kAlways}) {
    register_specials(*model, {{"<s>", 1000}}, scheme);
    EXPECT_EQ(spell(*model, "<s>a"), "<1000>" + meta + "a");
    EXPECT_EQ(spell(*model, "a<s>b"), meta + "a<1000>" + meta + "b");
  }
}

TEST(SpecialTokens, RefusedRegistrationsChangeNothing) {
  auto model = byte_model();
  register_specials(*model, {{"<s>", 1000}}, PrefixScheme::kAlways);
  auto lengths =
      build_special_matcher(*model, {"a", "b"}, {1, 2}, {0, 0}, {0}, PrefixScheme::kFirst);
  ASSERT_FALSE(lengths.ok());
  EXPECT_EQ(lengths.error(),
            "set_special_tokens: contents, ids, lstrip and rstrip must have the same length "
            "(got 2, 2, 2 and 1)");
  auto empty =
      build_special_matcher(*model, {"a", ""}, {1, 2}, {0, 0}, {0, 0}, PrefixScheme::kFirst);
  ASSERT_FALSE(empty.ok());
  EXPECT_EQ(empty.error(), "special-token matcher: content 1 is empty");
  EXPECT_FALSE(build_special_matcher(*model, {}, {1}, {}, {}, PrefixScheme::kNone).ok());
  EXPECT_EQ(model->prefix_scheme, PrefixScheme::kAlways);
  EXPECT_EQ(model->special_ids, std::vector<uint32_t>{1000});
  EXPECT_EQ(spell(*model, "a<s>"), "a<1000>");
}

}  // namespace
}  // namespace quorvane
