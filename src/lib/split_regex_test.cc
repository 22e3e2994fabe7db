#include "lib/split_regex.h"

#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

namespace quorvane {
namespace {

std::vector<SplitRegex> compile_all(std::initializer_list<std::string_view> patterns) {
  std::vector<SplitRegex> out;
  for (const auto p : patterns) {
    auto re = SplitRegex::compile(p);
    EXPECT_TRUE(re) << p << ": " << re.error();
    if (re) out.push_back(std::move(re).value());
  }
  return out;
}

std::vector<std::string> pieces(const std::vector<SplitRegex>& patterns, std::string_view text) {
  std::vector<std::string> out;
  uint64_t at = 0;
  for (const Span& s : regex_pieces(patterns, text)) {
    EXPECT_EQ(s.start, at);  // tiles the text in order, no empty spans
    EXPECT_LT(s.start, s.end);
    out.emplace_back(text.substr(s.start, s.end - s.start));
    at = s.end;
  }
  EXPECT_EQ(at, text.empty() ? at : text.size());
  return out;
}

using V = std::vector<std::string>;

TEST(RegexPieces, EachPatternCutsThePreviousPieces) {
  EXPECT_EQ(pieces(compile_all({R"(\p{N})"}), "ab12c"), (V{"ab", "1", "2", "c"}));
  EXPECT_EQ(pieces(compile_all({"[a-z]+", "b"}), "abc d"), (V{"a", "b", "c", " ", "d"}));
  // Each span is a subject of its own: the look-ahead sees the span's end.
  EXPECT_EQ(pieces(compile_all({R"(\d)", R"(\s+(?!\S))"}), "a  1 b"), (V{"a", "  ", "1", " b"}));
  EXPECT_EQ(pieces(compile_all({"x*"}), "axxb"), (V{"a", "xx", "b"}));
  EXPECT_EQ(pieces(compile_all({"q"}), "abc"), (V{"abc"}));
  // An empty match cuts without a piece of its own and moves the search on by one
  // whole character.
  EXPECT_EQ(pieces(compile_all({"|\xC3\xA9"}), "\xC3\xA9\xC3\xA9"), (V{"\xC3\xA9", "\xC3\xA9"}));
  EXPECT_EQ(pieces(compile_all({"(?=b)"}), "abab"), (V{"a", "ba", "b"}));
  EXPECT_EQ(pieces(compile_all({"(?<=a)|b"}), "abab"), (V{"a", "ba", "b"}));
  EXPECT_EQ(pieces(compile_all({R"(\b)"}), "ab cd"), (V{"ab", " ", "cd"}));
  // An atomic group gives up its lazy repeat's other lengths.
  EXPECT_EQ(pieces(compile_all({"(?>a+?)b"}), "aab"), (V{"a", "ab"}));
  EXPECT_EQ(pieces(compile_all({"a|"}), "bab"), (V{"b", "a", "b"}));
}

TEST(RegexPieces, EmptyTextAndNoPatterns) {
  EXPECT_TRUE(regex_pieces(compile_all({"a"}), "").empty());
  EXPECT_EQ(regex_pieces({}, ""), (std::vector<Span>{{0, 0}}));
  EXPECT_EQ(regex_pieces({}, "abc"), (std::vector<Span>{{0, 3}}));
}

TEST(RegexPieces, WhiteSpaceIsTheTwentyFiveCharacters) {
  // U+180E is not white space; U+3000 and U+0085 are.
  const std::string mvs = "\xE1\xA0\x8E";
  EXPECT_EQ(pieces(compile_all({R"(\s+)"}), "a" + mvs + "b\xE3\x80\x80\xC2\x85"),
            (V{"a" + mvs + "b", "\xE3\x80\x80\xC2\x85"}));
  EXPECT_EQ(pieces(compile_all({R"(\S+)"}), "a" + mvs + " b"), (V{"a" + mvs, " ", "b"}));
  EXPECT_EQ(pieces(compile_all({R"([\sx]+)"}), "ax " + mvs), (V{"a", "x ", mvs}));
  EXPECT_EQ(pieces(compile_all({R"([^\s]+)"}), mvs + " "), (V{mvs, " "}));
  // \S inside a class, plain and negated.
  EXPECT_EQ(pieces(compile_all({R"([\S\n]+)"}), "ab\n " + mvs), (V{"ab\n", " ", mvs}));
  EXPECT_EQ(pieces(compile_all({R"([^\S\n]+)"}), "a \t\nb"), (V{"a", " \t", "\nb"}));
  EXPECT_EQ(pieces(compile_all({R"([^\S]+)"}), "a " + mvs), (V{"a", " ", mvs}));
  // An escaped backslash is left alone.
  EXPECT_EQ(pieces(compile_all({R"(\\s)"}), "a\\sb"), (V{"a", "\\s", "b"}));
  EXPECT_EQ(pieces(compile_all({R"([]\s]+)"}), "a] b"), (V{"a", "] ", "b"}));
}

TEST(RegexPieces, AnchorsAreLineAnchorsOfTheSpan) {
  EXPECT_EQ(pieces(compile_all({"a$"}), "a\nba"), (V{"a", "\nb", "a"}));
  EXPECT_EQ(pieces(compile_all({"^a"}), "a\naab"), (V{"a", "\n", "a", "ab"}));
  // ^ does not hold at the very end, even after a newline.
  EXPECT_EQ(pieces(compile_all({R"(\n^)"}), "a\n"), (V{"a\n"}));
  EXPECT_EQ(pieces(compile_all({R"(\n^)"}), "a\nb"), (V{"a", "\n", "b"}));
  EXPECT_EQ(pieces(compile_all({R"(^\s*\S+|.{1,5}|\n)"}), "ab\ncdefghijk\n  xyz"),
            (V{"ab", "\n", "cdefghijk", "\n", "  xyz"}));
  // The span is the whole subject: ^ holds at its start whatever stands before it.
  EXPECT_EQ(pieces(compile_all({R"(\d)", "^b"}), "a1b"), (V{"a", "1", "b"}));
}

TEST(RegexPieces, LongRunsNeedingLinearWorkStillMatch) {
  // Each search over the run backtracks through all of it once; that exceeds the
  // per-search limit, and the span's reserve pays for it.
  const auto re = compile_all({R"(\s*[\r\n]+|\s+(?!\S)|\s+)"});
  const std::string run(1500000, ' ');
  EXPECT_EQ(pieces(re, "a" + run + "b"), (V{"a", run.substr(1), " ", "b"}));
  EXPECT_EQ(pieces(re, "a" + run + "\n" + run), (V{"a", run + "\n", run}));
}

TEST(RegexPieces, MatchErrorsLeaveTheRestWhole) {
  // The nested quantifier exceeds the match limit at the first run of a's.
  const auto re = compile_all({"b|(a+)+c"});
  const std::string text = "b" + std::string(40, 'a') + "b";
  EXPECT_EQ(pieces(re, text), (V{"b", text.substr(1)}));
  // Long texts do not run out of matching stack.
  const std::string long_text = std::string(1000000, 'x') + "z";
  EXPECT_EQ(regex_pieces(compile_all({"(?:x|y)+"}), long_text).size(), 2u);
  // Invalid UTF-8 is not matched at all.
  EXPECT_EQ(pieces(compile_all({"a"}), "a\xFF"), (V{"a\xFF"}));
}

TEST(RegexPieces, ConcurrentCallsAgree) {
  const auto re = compile_all({R"( ?\p{L}+| ?\p{N}+|\s+(?!\S)|\s+)"});
  std::string text;
  for (int i = 0; i < 2000; ++i) text += "word 123  \xC3\xA9t\xC3\xA9 ";
  const auto expected = regex_pieces(re, text);
  std::vector<std::thread> threads;
  std::vector<int> same(8, 0);
  for (int t = 0; t < 8; ++t) {
    threads.emplace_back([&, t] {
      bool ok = true;
      for (int k = 0; k < 20; ++k) ok &= regex_pieces(re, text) == expected;
      same[t] = ok;
    });
  }
  for (auto& th : threads) th.join();
  for (int t = 0; t < 8; ++t) EXPECT_TRUE(same[t]);
}

TEST(SplitRegexCompile, ErrorsAreTheLibrarysDescription) {
  auto bad = SplitRegex::compile("a(");
  ASSERT_FALSE(bad);
  EXPECT_EQ(bad.error(), "missing closing parenthesis at offset 2");
  auto unknown = SplitRegex::compile(R"(\p{Nope})");
  ASSERT_FALSE(unknown);
  EXPECT_NE(unknown.error().find("unknown property"), std::string::npos) << unknown.error();
  auto byte = SplitRegex::compile(R"(\C)");
  EXPECT_FALSE(byte);
}

}  // namespace
}  // namespace quorvane
