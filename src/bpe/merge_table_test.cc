#include "bpe/merge_table.h"

#include <gtest/gtest.h>

#include <map>
#include <random>
#include <utility>
#include <vector>

namespace quorvane {
namespace {

std::vector<MergeRule> distinct_rules(size_t n) {
  std::vector<MergeRule> rules;
  for (uint32_t i = 0; i < n; ++i) rules.push_back({i, i + 1, 1000000 + i});
  return rules;
}

TEST(MergeMapTest, SlotCountKeepsTableAtMostHalfFull) {
  EXPECT_EQ(MergeMap().slot_count(), 16u);
  EXPECT_EQ(MergeMap::build({}).slot_count(), 16u);
  EXPECT_EQ(MergeMap::build(distinct_rules(8)).slot_count(), 16u);
  EXPECT_EQ(MergeMap::build(distinct_rules(9)).slot_count(), 32u);
  EXPECT_EQ(MergeMap::build(distinct_rules(16)).slot_count(), 32u);
  EXPECT_EQ(MergeMap::build(distinct_rules(17)).slot_count(), 64u);
  EXPECT_EQ(MergeMap::build(distinct_rules(100000)).slot_count(), 262144u);
}

constexpr MergeLayout kLayouts[] = {MergeLayout::kLinear, MergeLayout::kBuckets};

// Random pairs, so that probe paths run as long as they do for real
// vocabularies (pairs in sequence spread too evenly to collide), at both ends
// of the load range: just over a quarter and exactly a half, in both layouts.
// Probes next to each rule share its left id, its right id or all but one bit
// with it, or take an id past what the vocabulary's ids need.
TEST(MergeMapTest, FindsEveryRuleAndNothingElse) {
  std::mt19937 random(7);
  for (const MergeLayout layout : kLayouts) {
    for (const size_t n : {4097, 8192}) {
      std::vector<MergeRule> rules;
      std::map<std::pair<uint32_t, uint32_t>, uint32_t> ranks;
      while (rules.size() < n) {
        const uint32_t left = random() % 200000, right = random() % 4096;
        if (ranks.emplace(std::pair{left, right}, rules.size()).second) {
          rules.push_back({left, right, static_cast<uint32_t>(rules.size()) * 3});
        }
      }
      const MergeMap map = MergeMap::build(rules, 200000, nullptr, layout);
      EXPECT_EQ(map.bucketed(), layout == MergeLayout::kBuckets);
      EXPECT_EQ(map.slot_count(), 16384u);
      EXPECT_EQ(map.used_slots(), n);
      for (uint32_t r = 0; r < rules.size(); ++r) {
        const MergeHit hit = map.find(rules[r].left, rules[r].right);
        ASSERT_EQ(hit.rank, r);
        ASSERT_EQ(hit.merged, 3 * r);
        for (const auto& [left, right] : {std::pair{rules[r].left, rules[r].right ^ 1},
                                          std::pair{rules[r].right, rules[r].left},
                                          std::pair{rules[r].left ^ 1024, rules[r].right},
                                          std::pair{rules[r].left, rules[r].right ^ 1024},
                                          std::pair{rules[r].left | (1u << 18), rules[r].right},
                                          std::pair{rules[r].left, rules[r].right | (1u << 20)}}) {
          const auto it = ranks.find({left, right});
          ASSERT_EQ(map.rank(left, right), it == ranks.end() ? kNone : it->second);
          ASSERT_EQ(map.find(left, right).merged, it == ranks.end() ? kNone : 3 * it->second);
        }
      }
    }
  }
  EXPECT_EQ(MergeMap().find(0, 0).rank, kNone);
  EXPECT_EQ(MergeMap().find(3, 4).merged, kNone);
}

// The bucketed layout's hash of a pair of 17-bit ids is 34 bits: the top 4
// choose one of 16 buckets (32 to 64 rules), the low 32 are the word, which
// so holds the home's low 2 bits. Pairs are made from hashes, to fill chosen
// buckets. A pair whose word equals a stored pair's and whose home lies 4
// buckets before it reaches that pair only across 4 full buckets: where runs
// that long exist, the table must not be bucketed.
TEST(MergeMapTest, BucketsFallBackWhereFullRunsOutgrowTheWord) {
  constexpr uint64_t kPairMask = (uint64_t{1} << 34) - 1;
  uint64_t inverse = MergeMap::kMultiplier;  // Newton's iteration for the inverse mod 2^64
  for (int i = 0; i < 6; ++i) inverse *= 2 - MergeMap::kMultiplier * inverse;
  const auto pair_of = [&](uint64_t hash) {
    const uint64_t pair = (hash * inverse) & kPairMask;
    return std::pair{static_cast<uint32_t>(pair >> 17), static_cast<uint32_t>(pair & 0x1FFFF)};
  };
  std::mt19937 random(3);
  // Eight rules in each home; homes in a row, or apart.
  for (const std::vector<uint64_t>& homes :
       {std::vector<uint64_t>{0, 1, 2, 3, 4, 5, 6, 7}, std::vector<uint64_t>{0, 2, 4, 6, 8}}) {
    std::vector<MergeRule> rules;
    std::vector<uint64_t> hashes;
    for (const uint64_t home : homes) {
      for (int k = 0; k < 8; ++k) {
        hashes.push_back(home << 30 | (random() & 0x3FFFFFFF));
        const auto [left, right] = pair_of(hashes.back());
        rules.push_back({left, right, static_cast<uint32_t>(rules.size())});
      }
    }
    const MergeMap map = MergeMap::build(rules, 1 << 17, nullptr, MergeLayout::kBuckets);
    EXPECT_EQ(map.slot_count(), 128u);
    EXPECT_EQ(map.bucketed(), homes.size() < 8);
    for (uint32_t r = 0; r < rules.size(); ++r) {
      ASSERT_EQ(map.rank(rules[r].left, rules[r].right), r);
      for (const uint64_t other :
           {hashes[r] - (uint64_t{4} << 30), hashes[r] + (uint64_t{4} << 30)}) {
        const auto [left, right] = pair_of(other & kPairMask);
        ASSERT_EQ(map.find(left, right).rank, kNone) << r;
      }
    }
  }
}

// Every copy of a pair is stored; the lowest rank wins however long the
// copies make the probe paths.
TEST(MergeMapTest, RepeatedPairsFindLowestRankOnLongPaths) {
  std::vector<MergeRule> rules;
  for (uint32_t i = 0; i < 2048; ++i) {
    for (uint32_t copy = 0; copy < 4; ++copy) rules.push_back({i % 512, i / 512, i + 4096 * copy});
  }
  for (const MergeLayout layout : kLayouts) {
    bool repeated = false;
    const MergeMap map = MergeMap::build(rules, 4096, &repeated, layout);
    EXPECT_TRUE(repeated);
    EXPECT_EQ(map.bucketed(), layout == MergeLayout::kBuckets);
    EXPECT_EQ(map.used_slots(), rules.size());
    for (uint32_t i = 0; i < 2048; ++i) {
      const MergeHit hit = map.find(i % 512, i / 512);
      ASSERT_EQ(hit.rank, 4 * i);
      ASSERT_EQ(hit.merged, i);
    }
    bool none = true;
    MergeMap::build(distinct_rules(8192), 1 << 14, &none, layout);
    EXPECT_FALSE(none);
  }
}

TEST(MergeMapTest, ZeroPairIsStoredAndFound) {
  for (const MergeLayout layout : kLayouts) {
    const MergeMap map = MergeMap::build({{5, 6, 7}, {0, 0, 9}, {0, 1, 10}}, 7, nullptr, layout);
    EXPECT_EQ(map.bucketed(), layout == MergeLayout::kBuckets);
    EXPECT_EQ(map.find(0, 0).rank, 1u);
    EXPECT_EQ(map.find(0, 0).merged, 9u);
    EXPECT_EQ(map.find(0, 1).rank, 2u);
    EXPECT_EQ(map.find(1, 0).rank, kNone);
    // The all-ones pair shares the key of (0, 0); ids never reach all ones.
    EXPECT_EQ(map.used_slots(), 3u);
  }
  EXPECT_EQ(merge_key(0, 0), ~uint64_t{0});
  EXPECT_EQ(merge_key(1, 2), (uint64_t{1} << 32) | 2);
}

TEST(MergeMapTest, DuplicatePairFindsLowerRankButKeepsBothSlots) {
  const std::vector<MergeRule> rules = {{1, 2, 3}, {4, 5, 6}, {1, 2, 7}};
  for (const MergeLayout layout : kLayouts) {
    const MergeMap map = MergeMap::build(rules, 6, nullptr, layout);
    EXPECT_EQ(map.find(1, 2).rank, 0u);
    EXPECT_EQ(map.find(1, 2).merged, 3u);
    EXPECT_EQ(map.used_slots(), 3u);
  }
}

// Ids or ranks beyond the packed slot's fields take the two-word layout; both
// layouts find the same ranks, on either side of the limits. Pairs too wide for
// a bucket's word (with too few buckets to hold the rest) are built linear.
TEST(MergeMapTest, PackedAndWideLayoutsAgreeAtTheIdLimit) {
  constexpr uint32_t kTop = (uint32_t{1} << MergeMap::kIdBits) - 2;  // highest packed id
  const std::vector<MergeRule> rules = {
      {kTop, kTop, 1}, {0, kTop, 2}, {kTop, 0, 3}, {0, 0, 4}, {kTop - 1, kTop, 5}};
  const MergeMap packed = MergeMap::build(rules, uint64_t{kTop} + 1);
  const MergeMap wide = MergeMap::build(rules, uint64_t{kTop} + 2);
  const MergeMap unbucketed =
      MergeMap::build(rules, uint64_t{kTop} + 1, nullptr, MergeLayout::kBuckets);
  EXPECT_TRUE(packed.packed());
  EXPECT_FALSE(wide.packed());
  EXPECT_TRUE(unbucketed.packed());
  EXPECT_FALSE(unbucketed.bucketed());
  for (const MergeMap* map : {&packed, &wide, &unbucketed}) {
    for (uint32_t r = 0; r < rules.size(); ++r) {
      EXPECT_EQ(map->find(rules[r].left, rules[r].right).rank, r);
      EXPECT_EQ(map->merged_of(r), rules[r].merged);
    }
    EXPECT_EQ(map->rank(kTop, kTop - 1), kNone);
    EXPECT_EQ(map->rank(1, kTop), kNone);
    EXPECT_EQ(map->used_slots(), rules.size());
  }
  for (const MergeLayout layout : kLayouts) {
    const MergeMap big =
        MergeMap::build({{1u << 30, 7, 9}, {7, 1u << 30, 10}}, (1u << 30) + 1, nullptr, layout);
    EXPECT_FALSE(big.packed());
    EXPECT_EQ(big.find(1u << 30, 7).merged, 9u);
    EXPECT_EQ(big.rank(7, 1u << 30), 1u);
    EXPECT_EQ(big.rank(7, 7), kNone);
  }
}

TEST(MergeMapTest, HashIsMurmurFinalizer) {
  EXPECT_EQ(fmix64(0), 0u);
  EXPECT_EQ(fmix64(1), 0xb456bcfc34c2cb2cULL);
}

TEST(StreamTablesTest, EmptyRules) {
  const StreamTables t = StreamTables::build({}, 4);
  EXPECT_EQ(t.first_rule, std::vector<uint32_t>(4, kNone));
  EXPECT_TRUE(t.next_rule.empty());
  EXPECT_TRUE(t.follow_rule.empty());
  EXPECT_TRUE(t.rules.empty());
}

TEST(StreamTablesTest, IndexTables) {
  // ids: a=0 b=1 c=2 ab=3 abc=4 bc=5 aa=6
  std::vector<MergeRule> rules = {
      {0, 1, 3},  // 0: a b -> ab
      {1, 2, 5},  // 1: b c -> bc
      {3, 2, 4},  // 2: ab c -> abc
      {0, 0, 6},  // 3: a a -> aa
      {3, 0, 9},  // 4: ab a (merged out of range)
      {0, 2, 0},  // 5: a c -> a (merged equals its own left)
      {0, 5, 7},  // 6: a bc
  };
  const StreamTables t = StreamTables::build(std::move(rules), 8);
  EXPECT_EQ(t.rules.size(), 7u);
  EXPECT_EQ(t.rules.capacity(), 7u);
  EXPECT_EQ(t.first_rule, (std::vector<uint32_t>{0, 1, kNone, 2, kNone, kNone, kNone, kNone}));
  EXPECT_EQ(t.next_rule, (std::vector<uint32_t>{3, kNone, 4, 5, kNone, 6, kNone}));
  // 0 makes ab: first ab-left rule above 0 is 2. 2 makes abc: none. 3 makes aa: none.
  // 4's merged id is out of range. 5 makes a: rules of a above 5 -> 6 (not 5 itself).
  // 1 makes bc: none. 6 makes 7: none.
  EXPECT_EQ(t.follow_rule, (std::vector<uint32_t>{2, kNone, kNone, kNone, kNone, 6, kNone}));
  // a's rules are 0, 3, 5, 6.
  EXPECT_EQ(t.first_rule_from(0, 0), 0u);
  EXPECT_EQ(t.first_rule_from(0, 1), 3u);
  EXPECT_EQ(t.first_rule_from(0, 4), 5u);
  EXPECT_EQ(t.first_rule_from(0, 6), 6u);
  EXPECT_EQ(t.first_rule_from(0, 7), kNone);
  EXPECT_EQ(t.first_rule_from(2, 0), kNone);
  EXPECT_EQ(t.first_rule_from(8, 0), kNone);  // beyond the vocabulary
}

TEST(StreamTablesTest, FollowRuleSkipsEarlierRulesOfMergedToken) {
  // ab is used on the left at rank 0 (before it is made at rank 2) and at rank 3.
  std::vector<MergeRule> rules = {{3, 2, 4}, {5, 5, 6}, {0, 1, 3}, {3, 5, 7}};
  const StreamTables t = StreamTables::build(std::move(rules), 8);
  EXPECT_EQ(t.follow_rule[2], 3u);
  EXPECT_EQ(t.first_rule[3], 0u);
  EXPECT_EQ(t.next_rule[0], 3u);
}

TEST(StreamTablesTest, LeftOutsideVocabularyGetsNoPlace) {
  std::vector<MergeRule> rules = {{10, 1, 2}, {0, 1, 10}};
  const StreamTables t = StreamTables::build(std::move(rules), 4);
  EXPECT_EQ(t.first_rule, (std::vector<uint32_t>{1, kNone, kNone, kNone}));
  EXPECT_EQ(t.next_rule, (std::vector<uint32_t>{kNone, kNone}));
  EXPECT_EQ(t.follow_rule, (std::vector<uint32_t>{kNone, kNone}));
}

TEST(MonotonicTest, Cases) {
  EXPECT_TRUE(merges_are_monotonic({}, 1));
  // a b -> ab, ab c -> abc: produce before consume.
  EXPECT_TRUE(merges_are_monotonic({{0, 1, 3}, {3, 2, 4}}, 5));
  // ab consumed at rank 0, produced at rank 1.
  EXPECT_FALSE(merges_are_monotonic({{3, 2, 4}, {0, 1, 3}}, 5));
  // Same, consumed on the right.
  EXPECT_FALSE(merges_are_monotonic({{2, 3, 4}, {0, 1, 3}}, 5));
  // Merged equals its own left / right.
  EXPECT_FALSE(merges_are_monotonic({{0, 1, 0}}, 2));
  EXPECT_FALSE(merges_are_monotonic({{0, 1, 1}}, 2));
  // (a, bc) at rank 0, (b, c) at rank 1.
  EXPECT_FALSE(merges_are_monotonic({{0, 4, 5}, {1, 2, 4}}, 6));
  // Ids outside the vocabulary take no part.
  EXPECT_TRUE(merges_are_monotonic({{7, 1, 3}, {0, 1, 7}}, 5));
}

TEST(MonotonicTest, DuplicateCopyCounts) {
  // ab made at ranks 0 and 2, consumed at rank 1 in between.
  EXPECT_FALSE(merges_are_monotonic({{0, 1, 3}, {3, 2, 4}, {0, 1, 3}}, 5));
  // Consumed after both copies: fine.
  EXPECT_TRUE(merges_are_monotonic({{0, 1, 3}, {0, 1, 3}, {3, 2, 4}}, 5));
}

}  // namespace
}  // namespace quorvane
