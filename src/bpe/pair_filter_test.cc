#include "bpe/pair_filter.h"

#include <gtest/gtest.h>

#include <random>
#include <set>
#include <utility>
#include <vector>

namespace quorvane {
namespace {

// Tables from no rules to a few hundred thousand, with ids from a byte-sized
// vocabulary to the full 32 bits: every rule's pair passes, and few others do.
TEST(PairFilterTest, PassesEveryRuleAndRefusesMostOtherPairs) {
  std::mt19937 rng(5);
  for (const size_t n_rules : {0, 1, 2, 7, 100, 5000, 300000}) {
    for (const uint64_t id_limit : {uint64_t{300}, uint64_t{200000}, uint64_t{1} << 32}) {
      std::vector<MergeRule> rules;
      std::set<std::pair<uint32_t, uint32_t>> pairs;
      for (size_t r = 0; r < n_rules; ++r) {
        const auto left = static_cast<uint32_t>(rng() % id_limit);
        const auto right = static_cast<uint32_t>(rng() % id_limit);
        rules.push_back({left, right, static_cast<uint32_t>(r)});
        pairs.emplace(left, right);
      }
      const PairFilter filter = PairFilter::build(rules);
      EXPECT_EQ(filter.empty(), n_rules == 0);
      for (const MergeRule& rule : rules) {
        ASSERT_TRUE(filter.may_join(rule.left, rule.right))
            << n_rules << " rules below " << id_limit << ": " << rule.left << ", " << rule.right;
      }
      size_t passed = 0;
      size_t tried = 0;
      for (int k = 0; k < 20000; ++k) {
        const auto left = static_cast<uint32_t>(rng() % id_limit);
        const auto right = static_cast<uint32_t>(rng() % id_limit);
        if (pairs.count({left, right}) != 0) continue;
        ++tried;
        passed += filter.may_join(left, right);
      }
      if (n_rules == 0) EXPECT_EQ(passed, 0u);
      // Eight bits per rule or more, two of them set: under one in ten, with room.
      EXPECT_LT(passed * 10, tried) << n_rules << " rules below " << id_limit;
    }
  }
}

// Pairs that differ in one id by a small amount (neighbouring ids, as merged
// tokens and their parts often are) are refused as often as random ones.
TEST(PairFilterTest, NeighbouringIdsAreToldApart) {
  std::vector<MergeRule> rules;
  for (uint32_t left = 0; left < 500; ++left) {
    for (uint32_t right = 0; right < 200; right += 2) rules.push_back({left, right, 0});
  }
  const PairFilter filter = PairFilter::build(rules);
  size_t passed = 0;
  size_t tried = 0;
  for (uint32_t left = 0; left < 500; ++left) {
    for (uint32_t right = 1; right < 200; right += 2) {
      ++tried;
      passed += filter.may_join(left, right);
    }
    ++tried;
    passed += filter.may_join(left + 500, 0);
  }
  EXPECT_LT(passed * 10, tried);
}

}  // namespace
}  // namespace quorvane
