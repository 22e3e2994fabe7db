#include "bpe/bpe_merge.h"

#include <gtest/gtest.h>

#include <random>
#include <vector>

#include "bpe/bpe_test_models.h"

namespace quorvane {
namespace {

using testing::random_piece;
using testing::random_string_rules;
using testing::reference_bpe;
using testing::set_rules;
using testing::StringVocab;

std::vector<uint32_t> merge(const MergeModel& model, const std::vector<uint32_t>& ids,
                            MergeStrategy strategy, MergeScratch& scratch) {
  scratch.output.clear();
  scratch.piece = ids;
  bpe_merge(model, scratch, strategy);
  return scratch.output;
}

std::vector<uint32_t> merge(const MergeModel& model, const std::vector<uint32_t>& ids,
                            MergeStrategy strategy) {
  MergeScratch scratch;
  return merge(model, ids, strategy, scratch);
}

// Every way a model can be asked to merge: the three strategy arguments, under
// each combination of the flags that steer the choice, and both table layouts
// (byte_fallback models, as loaded, have the bucketed one).
struct Mode {
  bool byte_fallback;
  bool claim_monotonic;
  MergeStrategy strategy;
  MergeLayout layout;
};
std::vector<Mode> modes_for(bool monotonic) {
  std::vector<Mode> modes;
  for (const MergeStrategy s :
       {MergeStrategy::kAuto, MergeStrategy::kStream, MergeStrategy::kScan}) {
    // The canonical merger (flag cleared) is right on every table. The
    // strategy does not steer it: each takes a layout in turn.
    modes.push_back({false, false, s,
                     s == MergeStrategy::kStream ? MergeLayout::kBuckets : MergeLayout::kLinear});
    if (monotonic) {
      modes.push_back({false, true, s, MergeLayout::kLinear});
      modes.push_back({true, true, s, MergeLayout::kBuckets});
    }
  }
  return modes;
}

std::vector<uint32_t> merge_in_mode(MergeModel& model, const Mode& mode,
                                    const std::vector<uint32_t>& ids, MergeScratch& scratch) {
  model.byte_fallback = mode.byte_fallback;
  model.monotonic = mode.claim_monotonic;
  if (model.merges.bucketed() != (mode.layout == MergeLayout::kBuckets)) {
    model.merges =
        MergeMap::build(model.stream.rules, model.stream.first_rule.size(), nullptr, mode.layout);
  }
  return merge(model, ids, mode.strategy, scratch);
}

using Ids = std::vector<uint32_t>;

TEST(BpeMergeTest, EmptyAndSingleIdPieces) {
  MergeModel model;
  set_rules(model, {{0, 1, 2}}, 3);
  for (const Mode& mode : modes_for(true)) {
    MergeScratch scratch;
    scratch.output = {9};
    scratch.piece.clear();
    model.monotonic = mode.claim_monotonic;
    model.byte_fallback = mode.byte_fallback;
    bpe_merge(model, scratch, mode.strategy);
    EXPECT_EQ(scratch.output, Ids{9});
    EXPECT_EQ(merge_in_mode(model, mode, {1}, scratch), Ids{1});
    EXPECT_EQ(merge_in_mode(model, mode, {7}, scratch), Ids{7});  // beyond the vocabulary
  }
}

TEST(BpeMergeTest, NoRulesLeavesPiece) {
  MergeModel model;
  set_rules(model, {}, 4);
  const Ids ids = {0, 1, 2, 3, 3, 2, 1, 0};
  Ids long_ids;
  for (int i = 0; i < 600; ++i) long_ids.push_back(i % 4);
  for (const Mode& mode : modes_for(true)) {
    MergeScratch scratch;
    EXPECT_EQ(merge_in_mode(model, mode, ids, scratch), ids);
    EXPECT_EQ(merge_in_mode(model, mode, long_ids, scratch), long_ids);
  }
}

TEST(BpeMergeTest, EqualRanksMergeLeftmostWithoutOverlap) {
  // a=0, aa=1
  MergeModel model;
  set_rules(model, {{0, 0, 1}}, 2);
  ASSERT_TRUE(model.monotonic);
  for (const Mode& mode : modes_for(true)) {
    MergeScratch scratch;
    EXPECT_EQ(merge_in_mode(model, mode, {0, 0, 0}, scratch), (Ids{1, 0}));
    EXPECT_EQ(merge_in_mode(model, mode, {0, 0, 0, 0}, scratch), (Ids{1, 1}));
    Ids long_run(601, 0);
    Ids expected(300, 1);
    expected.push_back(0);
    EXPECT_EQ(merge_in_mode(model, mode, long_run, scratch), expected);
  }
}

TEST(BpeMergeTest, ChainedMergesAndFailedCandidates) {
  // a=0 b=1 c=2 ab=3 abc=4
  MergeModel model;
  set_rules(model, {{0, 1, 3}, {3, 2, 4}}, 5);
  MergeModel single;
  set_rules(single, {{0, 1, 3}}, 5);
  for (const Mode& mode : modes_for(true)) {
    MergeScratch scratch;
    EXPECT_EQ(merge_in_mode(model, mode, {0, 1, 2}, scratch), Ids{4});
    EXPECT_EQ(merge_in_mode(single, mode, {0, 2}, scratch), (Ids{0, 2}));
    EXPECT_EQ(merge_in_mode(single, mode, {0, 2, 0, 1, 1}, scratch), (Ids{0, 2, 3, 1}));
  }
}

TEST(BpeMergeTest, NonMonotonicTableUsesCanonicalWhateverTheStrategy) {
  // a=0 b=1 c=2 bc=3 abc=4: (a, bc) at rank 0 consumes bc before (b, c) makes it.
  MergeModel model;
  set_rules(model, {{0, 3, 4}, {1, 2, 3}}, 5);
  ASSERT_FALSE(model.monotonic);
  Ids long_ids;
  Ids long_expected;
  for (int i = 0; i < 200; ++i) {
    long_ids.insert(long_ids.end(), {0, 1, 2});
    long_expected.push_back(4);
  }
  for (const bool byte_fallback : {false, true}) {
    model.byte_fallback = byte_fallback;
    for (const MergeStrategy s :
         {MergeStrategy::kAuto, MergeStrategy::kStream, MergeStrategy::kScan}) {
      MergeScratch scratch;
      EXPECT_EQ(merge(model, {0, 1, 2}, s, scratch), Ids{4});
      EXPECT_EQ(merge(model, long_ids, s, scratch), long_expected);
      EXPECT_TRUE(scratch.work.empty());
      EXPECT_EQ(scratch.work.capacity(), 0u);  // the streaming merger never ran
    }
  }
}

TEST(BpeMergeTest, DuplicatePairMergesByLowerRank) {
  // a=0 b=1 x=2 y=3: (a, b) -> x at rank 0 and -> y at rank 1.
  MergeModel model;
  set_rules(model, {{0, 1, 2}, {0, 1, 3}}, 4);
  for (const Mode& mode : modes_for(model.monotonic)) {
    MergeScratch scratch;
    EXPECT_EQ(merge_in_mode(model, mode, {0, 1, 0, 1}, scratch), (Ids{2, 2}));
  }
}

TEST(BpeMergeTest, PieceLengthPicksStrategy) {
  // a=0 b=1 ab=2
  MergeModel model;
  set_rules(model, {{0, 1, 2}}, 3);
  Ids short_ids;
  for (int i = 0; i < 128; ++i) short_ids.insert(short_ids.end(), {0, 1});
  Ids long_ids = short_ids;
  long_ids.push_back(0);
  ASSERT_EQ(short_ids.size(), 256u);

  MergeScratch scratch;
  EXPECT_EQ(merge(model, short_ids, MergeStrategy::kAuto, scratch), Ids(128, 2));
  EXPECT_EQ(scratch.work.capacity(), 0u);  // scan-and-merge, on the stack
  EXPECT_EQ(scratch.heap.capacity(), 0u);
  MergeScratch scratch2;
  Ids expected(128, 2);
  expected.push_back(0);
  EXPECT_EQ(merge(model, long_ids, MergeStrategy::kAuto, scratch2), expected);
  EXPECT_GT(scratch2.heap.capacity(), 0u);  // the heap merger
  EXPECT_EQ(scratch2.work.capacity(), 0u);
  EXPECT_EQ(scratch2.scan_ranks.capacity(), 0u);

  // byte_fallback: never streaming; long pieces go to the heap merger.
  model.byte_fallback = true;
  MergeScratch scratch3;
  EXPECT_EQ(merge(model, long_ids, MergeStrategy::kStream, scratch3), expected);
  EXPECT_EQ(scratch3.work.capacity(), 0u);
  EXPECT_EQ(scratch3.scan_ranks.capacity(), 0u);
  EXPECT_GT(scratch3.heap.capacity(), 0u);
  MergeScratch scratch4;
  EXPECT_EQ(merge(model, short_ids, MergeStrategy::kStream, scratch4), Ids(128, 2));
  EXPECT_EQ(scratch4.work.capacity(), 0u);
  EXPECT_EQ(scratch4.heap.capacity(), 0u);
}

TEST(BpeMergeTest, OutputAccumulatesAcrossPieces) {
  MergeModel model;
  set_rules(model, {{0, 1, 2}}, 3);
  MergeScratch scratch;
  for (const MergeStrategy s :
       {MergeStrategy::kAuto, MergeStrategy::kStream, MergeStrategy::kScan}) {
    scratch.piece = {0, 1, 1};
    bpe_merge(model, scratch, s);
  }
  EXPECT_EQ(scratch.output, (Ids{2, 1, 2, 1, 2, 1}));
  EXPECT_TRUE(scratch.pending.empty());
}

// A space-like token that is the left of many rules, followed each time by a
// token it never merges with: the streaming merger must skip the dead rules
// rather than walk them, and still agree with the reference.
TEST(BpeMergeTest, TokenWithManyRulesOnTheLeft) {
  // ids: space=0, letters 1..2000, "space+letter" 2001..4000, z=4001 (no rule with space)
  std::vector<MergeRule> rules;
  const uint32_t letters = 2000;
  for (uint32_t i = 1; i <= letters; ++i) rules.push_back({0, i, letters + i});
  const uint32_t z = 2 * letters + 1;
  MergeModel model;
  set_rules(model, rules, z + 1);
  ASSERT_TRUE(model.monotonic);
  Ids ids;
  Ids expected;
  for (int i = 0; i < 20000; ++i) {
    ids.insert(ids.end(), {0, z, 0, letters});
    expected.insert(expected.end(), {0, z, 2 * letters});
  }
  ASSERT_EQ(reference_bpe(model.stream.rules, {0, z, 0, letters, 0, z}),
            (Ids{0, z, 2 * letters, 0, z}));
  for (const Mode& mode : modes_for(true)) {
    MergeScratch scratch;
    EXPECT_EQ(merge_in_mode(model, mode, ids, scratch), expected);
  }
}

// A run of a token that has many rules on the left but none with itself: every
// new token moves each waiting one on by a rule, so the streaming merger's work
// grows with the run times the rules. The automatic choice notices and hands the
// piece to the heap merger; forcing the streaming merger still gives the ids.
TEST(BpeMergeTest, LongRunOfManyRuleTokenFallsBackToHeap) {
  std::vector<MergeRule> rules;
  const uint32_t letters = 500;
  for (uint32_t i = 1; i <= letters; ++i) rules.push_back({0, i, letters + i});
  MergeModel model;
  set_rules(model, rules, 2 * letters + 1);
  Ids run(3000, 0);
  run.push_back(7);
  Ids expected(2999, 0);
  expected.push_back(letters + 7);

  MergeScratch automatic;
  EXPECT_EQ(merge(model, run, MergeStrategy::kAuto, automatic), expected);
  EXPECT_GT(automatic.heap.capacity(), 0u);
  EXPECT_TRUE(automatic.pending.empty());
  MergeScratch forced;
  EXPECT_EQ(merge(model, run, MergeStrategy::kStream, forced), expected);
  EXPECT_EQ(forced.heap.capacity(), 0u);

  // Output already holding earlier pieces keeps them when the fallback runs.
  automatic.output = {5, 6};
  automatic.piece = run;
  bpe_merge(model, automatic, MergeStrategy::kAuto);
  ASSERT_EQ(automatic.output.size(), expected.size() + 2);
  EXPECT_EQ(automatic.output[0], 5u);
  EXPECT_EQ(automatic.output[1], 6u);
  EXPECT_EQ(Ids(automatic.output.begin() + 2, automatic.output.end()), expected);
}

// Returns whether the random table was monotonic.
bool differential(uint32_t seed, bool in_rank_order, bool heavy) {
  std::mt19937 rng(seed);
  StringVocab vocab;
  const uint32_t alphabet = 3 + rng() % 4;
  for (uint32_t c = 0; c < alphabet; ++c) vocab.id_of(std::string(1, static_cast<char>('a' + c)));
  const size_t n_rules = 5 + rng() % 150;
  std::vector<MergeRule> rules =
      random_string_rules(rng, vocab, n_rules, in_rank_order, heavy ? 0 : -1);
  // Now and then a duplicate pair, sometimes with another merged id.
  if (!rules.empty() && rng() % 3 == 0) {
    MergeRule copy = rules[rng() % rules.size()];
    if (rng() % 2) copy.merged = vocab.id_of(vocab.texts[copy.merged] + "?");
    rules.insert(rules.begin() + static_cast<ptrdiff_t>(rng() % (rules.size() + 1)), copy);
  }
  MergeModel model;
  const uint64_t n_vocab = vocab.texts.size();
  set_rules(model, rules, n_vocab);
  const bool monotonic = model.monotonic;
  MergeScratch scratch;  // shared by all pieces, as within one encode call
  for (int k = 0; k < 12; ++k) {
    const size_t length = k < 2 ? 1 + rng() % 8 : 1 + rng() % 600;
    const Ids ids = random_piece(rng, vocab, alphabet, length);
    const Ids expected = reference_bpe(rules, ids);
    for (const Mode& mode : modes_for(monotonic)) {
      EXPECT_EQ(merge_in_mode(model, mode, ids, scratch), expected)
          << "seed " << seed << " length " << length << " monotonic " << monotonic
          << " byte_fallback " << mode.byte_fallback << " claim " << mode.claim_monotonic
          << " strategy " << int(mode.strategy);
    }
    if (monotonic) {
      // Scan-and-merge through the pair filter, from a vector and from the stack.
      model.byte_fallback = false;
      model.monotonic = true;
      const PairFilter filter = PairFilter::build(model.stream.rules);
      for (const MergeStrategy strategy : {MergeStrategy::kAuto, MergeStrategy::kScan}) {
        scratch.output.clear();
        scratch.piece = ids;
        bpe_merge(model, scratch, strategy, &filter);
        EXPECT_EQ(scratch.output, expected) << "seed " << seed << " filtered";
        Ids copy = ids;
        scratch.output.clear();
        bpe_merge_ids(model, copy.data(), copy.size(), scratch, strategy, &filter);
        EXPECT_EQ(scratch.output, expected) << "seed " << seed << " filtered, stack";
      }
      // With the first ranks handed in, as the encoder takes them from a dense table.
      if (ids.size() <= kShortPieceMax) {
        for (const PairFilter* f : {&filter, static_cast<const PairFilter*>(nullptr)}) {
          Ids copy = ids;
          Ids ranks(ids.size());
          for (size_t i = 0; i + 1 < ids.size(); ++i) {
            ranks[i] = model.merges.rank(ids[i], ids[i + 1]);
          }
          scratch.output.clear();
          scan_merge_ranked(model.merges, f, copy.data(), ranks.data(), copy.size(),
                            scratch.output);
          EXPECT_EQ(scratch.output, expected) << "seed " << seed << " ranked";
        }
      }
    }
  }
  return monotonic;
}

TEST(BpeMergeDifferentialTest, AllStrategiesMatchReference) {
  int monotonic_tables = 0;
  for (uint32_t seed = 1; seed <= 300; ++seed) {
    monotonic_tables += differential(seed, seed % 4 != 0, seed % 5 == 0);
    if (::testing::Test::HasFailure()) return;
  }
  // Both kinds of table must be well represented.
  EXPECT_GT(monotonic_tables, 100);
  EXPECT_LT(monotonic_tables, 280);
}

TEST(BpeMergeDifferentialTest, ArbitraryRuleTablesMatchReferenceInCanonicalMerger) {
  // Rules with no string meaning: merged ids equal to their own parts, cycles.
  std::mt19937 rng(7);
  for (int t = 0; t < 100; ++t) {
    const uint32_t n_vocab = 2 + rng() % 8;
    std::vector<MergeRule> rules;
    const size_t n_rules = rng() % 20;
    for (size_t r = 0; r < n_rules; ++r) {
      rules.push_back({static_cast<uint32_t>(rng() % n_vocab),
                       static_cast<uint32_t>(rng() % n_vocab),
                       static_cast<uint32_t>(rng() % n_vocab)});
    }
    MergeModel model;
    set_rules(model, rules, n_vocab);
    MergeScratch scratch;
    for (int k = 0; k < 6; ++k) {
      // Short pieces (the stack merger) as often as long ones (the heap merger).
      Ids ids(1 + rng() % (k % 2 ? 70 : 600));
      for (uint32_t& id : ids) id = rng() % n_vocab;
      const Ids expected = reference_bpe(rules, ids);
      for (const Mode& mode : modes_for(model.monotonic)) {
        ASSERT_EQ(merge_in_mode(model, mode, ids, scratch), expected) << "table " << t;
      }
    }
  }
}

}  // namespace
}  // namespace quorvane
