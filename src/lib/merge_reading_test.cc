#include "lib/merge_reading.h"

#include <array>
#include <string>

#include <gtest/gtest.h>

namespace quorvane {
namespace {

using Rules = std::vector<std::array<uint32_t, 3>>;

Rules rules_of(const std::string& merges) {
  std::string text = R"({"merges": )" + merges + "}";
  JsonDocument doc;
  EXPECT_TRUE(parse_json_in_place(text, doc));
  VocabIndex vocab = {{"a", 0}, {"b", 1}, {"ab", 2}, {"b c", 3}, {"ab c", 4},
                      {"c", 5}, {"", 6},  {"a ", 7}, {"abc", 8}};
  Rules out;
  for (const MergeRule& r : read_merge_rules(&doc, vocab))
    out.push_back({r.left, r.right, r.merged});
  return out;
}

TEST(MergeReading, StringAndArrayForms) {
  EXPECT_EQ(rules_of(R"(["a b"])"), rules_of(R"([["a", "b"]])"));
  EXPECT_EQ(rules_of(R"(["a b c"])"), (Rules{{0, 3, 4}}));
  EXPECT_EQ(rules_of(R"([["a", "b", "c"]])"), (Rules{{0, 1, 2}}));
  // Empty halves are looked up like any other text.
  EXPECT_EQ(rules_of(R"(["a "])"), (Rules{{0, 6, 0}}));
  EXPECT_EQ(rules_of(R"([["a ", ""]])"), (Rules{{7, 6, 7}}));
}

TEST(MergeReading, SkippedEntriesTakeNoRank) {
  EXPECT_TRUE(rules_of("null").empty());
  EXPECT_TRUE(rules_of("{}").empty());
  EXPECT_TRUE(rules_of("[]").empty());
  const auto rules =
      rules_of(R"(["ab", ["a"], ["a", 5], 7, null, {}, "a c", "x b", "a b", ["ab", "c"]])");
  EXPECT_EQ(rules, (Rules{{0, 1, 2}, {2, 5, 8}}));
}

}  // namespace
}  // namespace quorvane
