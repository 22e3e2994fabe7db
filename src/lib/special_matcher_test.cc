#include "lib/special_matcher.h"

#include <random>
#include <string>
#include <vector>

#include <gtest/gtest.h>

namespace quorvane {
namespace {

std::shared_ptr<const SpecialTokenMatcher> make(const std::vector<std::string>& contents) {
  auto built = SpecialTokenMatcher::build(contents);
  EXPECT_TRUE(built.ok()) << (built.ok() ? "" : built.error());
  return built.ok() ? built.value() : nullptr;
}

// Every match from left to right, each search resuming at the previous end.
std::vector<SpecialMatch> all(const SpecialTokenMatcher& m, std::string_view text) {
  std::vector<SpecialMatch> out;
  SpecialMatch match{};
  size_t from = 0;
  while (m.find(text, from, match)) {
    out.push_back(match);
    from = match.end;
  }
  return out;
}

// Leftmost start, then the longest, then the lowest index.
bool naive_find(const std::vector<std::string>& contents, std::string_view text, size_t from,
                SpecialMatch& match) {
  for (size_t s = from; s < text.size(); ++s) {
    bool found = false;
    for (size_t i = 0; i < contents.size(); ++i) {
      const std::string& c = contents[i];
      if (text.substr(s, c.size()) != c) continue;
      if (!found || c.size() > match.end - match.start) {
        match = SpecialMatch{static_cast<uint32_t>(i), s, s + c.size()};
        found = true;
      }
    }
    if (found) return true;
  }
  return false;
}

bool same(const SpecialMatch& a, const SpecialMatch& b) {
  return a.pattern == b.pattern && a.start == b.start && a.end == b.end;
}

TEST(SpecialMatcher, LeftmostThenLongest) {
  auto m = make({"ab", "abc"});
  auto got = all(*m, "abcd");
  ASSERT_EQ(got.size(), 1u);
  EXPECT_TRUE(same(got[0], {1, 0, 3}));

  m = make({"bc", "abcd"});
  got = all(*m, "abcd");
  ASSERT_EQ(got.size(), 1u);
  EXPECT_TRUE(same(got[0], {1, 0, 4}));

  // A longer candidate that fails does not hide the shorter match.
  m = make({"a", "aaab"});
  got = all(*m, "aaaa");
  ASSERT_EQ(got.size(), 4u);
  EXPECT_TRUE(same(got[3], {0, 3, 4}));
}

TEST(SpecialMatcher, DuplicatesReportTheFirstIndex) {
  auto m = make({"<s>", "x", "<s>"});
  auto got = all(*m, "a<s>");
  ASSERT_EQ(got.size(), 1u);
  EXPECT_TRUE(same(got[0], {0, 1, 4}));
}

TEST(SpecialMatcher, CaseSensitiveAndByteExact) {
  auto m = make({"<|EOT|>", "\xC3\xA9"});
  EXPECT_TRUE(all(*m, "<|eot|> e\xCC\x81").empty());
  EXPECT_EQ(all(*m, "\xC3\xA9<|EOT|>").size(), 2u);
  EXPECT_TRUE(all(*m, "").empty());
}

TEST(SpecialMatcher, RefusesEmptyContent) {
  auto built = SpecialTokenMatcher::build({"a", "", "b"});
  ASSERT_FALSE(built.ok());
  EXPECT_EQ(built.error(), "content 1 is empty");
}

TEST(SpecialMatcher, AgreesWithNaiveSearchOnRandomInput) {
  std::mt19937 rng(12345);
  for (int round = 0; round < 3000; ++round) {
    const int alphabet = 1 + static_cast<int>(rng() % 4);
    auto random_string = [&](size_t max_len) {
      std::string s(1 + rng() % max_len, 'a');
      for (char& c : s) c = static_cast<char>((round % 2 ? 'a' : 0xF0) + rng() % alphabet);
      return s;
    };
    std::vector<std::string> contents(1 + rng() % 8);
    for (auto& c : contents) c = random_string(round % 3 == 0 ? 12 : 4);
    const std::string text = random_string(60);
    auto m = make(contents);
    ASSERT_NE(m, nullptr);
    for (size_t from = 0; from <= text.size(); ++from) {
      SpecialMatch want{}, got{};
      const bool w = naive_find(contents, text, from, want);
      const bool g = m->find(text, from, got);
      ASSERT_EQ(w, g) << round << " from " << from;
      if (w) {
        ASSERT_TRUE(same(want, got))
            << round << " from " << from << ": want " << want.pattern << "@" << want.start
            << " got " << got.pattern << "@" << got.start << "-" << got.end;
      }
    }
  }
}

TEST(SpecialMatcher, ManyContents) {
  std::vector<std::string> contents;
  std::mt19937 rng(7);
  for (int i = 0; i < 100000; ++i) {
    std::string s = "<|tok_" + std::to_string(i) + "_";
    for (int k = rng() % 12; k > 0; --k) s.push_back(static_cast<char>('a' + rng() % 26));
    contents.push_back(s + "|>");
  }
  auto m = make(contents);
  ASSERT_NE(m, nullptr);
  const std::string text = "x " + contents[4242] + contents[99999] + " <|tok_4";
  auto got = all(*m, text);
  ASSERT_EQ(got.size(), 2u);
  EXPECT_EQ(got[0].pattern, 4242u);
  EXPECT_EQ(got[1].pattern, 99999u);
  EXPECT_EQ(got[1].end, text.size() - 8);
}

}  // namespace
}  // namespace quorvane
