#include "bpe/canonical_merge.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <random>
#include <vector>

#include "bpe/bpe_test_models.h"

namespace quorvane {
namespace {

using testing::random_piece;
using testing::random_string_rules;
using testing::reference_bpe;
using testing::StringVocab;

// Sweep table t: random rules over an alphabet of 3 to 8 letters, monotonic or
// not, in the linear layout for even t and the bucketed one for odd t.
struct RandomTable {
  StringVocab vocab;
  uint32_t alphabet;
  std::vector<MergeRule> rules;
  MergeMap merges;
};

RandomTable random_table(std::mt19937& rng, int t) {
  RandomTable table;
  table.alphabet = 3 + rng() % 6;
  for (uint32_t c = 0; c < table.alphabet; ++c) {
    table.vocab.id_of(std::string(1, static_cast<char>('a' + c)));
  }
  table.rules = random_string_rules(rng, table.vocab, 5 + rng() % 60, t % 3 == 0, -1);
  table.merges = MergeMap::build(table.rules, table.vocab.texts.size(), nullptr,
                                 t % 2 ? MergeLayout::kBuckets : MergeLayout::kLinear);
  return table;
}

// Pair ranks handed in by the caller, for any subset of the pairs, give the
// ids the merger finds by probing alone; on monotonic and other tables alike.
TEST(CanonicalMergeTest, GivenPairRanksMatchReference) {
  std::mt19937 rng(11);
  for (int t = 0; t < 200; ++t) {
    // Tables of both layouts; the bucketed one's probes carry the merged ids.
    const RandomTable table = random_table(rng, t);
    const auto& [vocab, alphabet, rules, merges] = table;
    ASSERT_EQ(merges.bucketed(), t % 2 == 1);
    for (int k = 0; k < 8; ++k) {
      const size_t n = 2 + rng() % (k % 2 ? 30 : kCanonicalShortMax - 1);
      const std::vector<uint32_t> piece = random_piece(rng, vocab, alphabet, n);
      const std::vector<uint32_t> expected = reference_bpe(rules, piece);
      std::vector<uint32_t> hits(n);
      const uint32_t share = rng() % 3;  // none, some or all given
      for (size_t i = 0; i + 1 < n; ++i) {
        const bool given = share == 2 || (share == 1 && rng() % 2 == 0);
        hits[i] = given ? merges.rank(piece[i], piece[i + 1]) : kRankUnknown;
      }
      // Ranks past the packing's cap take the merger's slow path: a cap below
      // some or all of the table's ranks sends pieces down it.
      const uint32_t capped = static_cast<uint32_t>(rng() % (rules.size() + 1));
      const std::vector<const uint32_t*> given_hits = {nullptr, hits.data()};
      for (const uint32_t* pair_ranks : given_hits) {
        for (const uint32_t cap : {kCanonicalKeyRankLimit, capped}) {
          std::vector<uint32_t> ids = piece;
          std::vector<uint32_t> output = {7};  // appended to, not replaced
          canonical_merge_short_limited(merges, ids.data(), pair_ranks, n, cap, output);
          ASSERT_EQ(output.front(), 7u);
          output.erase(output.begin());
          ASSERT_EQ(output, expected) << "table " << t << " piece " << k << " cap " << cap;
        }
      }
    }
  }
}

// Pieces merged together, of any mix of lengths up to kCanonicalPairMax, each
// give the ids they give alone: pieces that run out of merges first stay put
// while the others go on.
TEST(CanonicalMergeTest, PiecesMergedTogetherMatchReference) {
  std::mt19937 rng(12);
  for (int t = 0; t < 200; ++t) {
    // Tables of both layouts; the bucketed one's probes carry the merged ids.
    const RandomTable table = random_table(rng, t);
    const auto& [vocab, alphabet, rules, merges] = table;
    const uint32_t cap =
        rng() % 2 ? kCanonicalKeyRankLimit : static_cast<uint32_t>(rng() % (rules.size() + 1));
    std::vector<std::vector<uint32_t>> pieces(kCanonicalTogether);
    std::vector<std::vector<uint32_t>> ranks(kCanonicalTogether);
    PieceMerge together[kCanonicalTogether];
    for (size_t k = 0; k < kCanonicalTogether; ++k) {
      const size_t n = 2 + rng() % (k % 2 ? 7 : kCanonicalPairMax - 1);
      pieces[k] = random_piece(rng, vocab, alphabet, n);
      ranks[k].resize(n);
      for (size_t i = 0; i + 1 < n; ++i) {
        ranks[k][i] = rng() % 2 ? merges.rank(pieces[k][i], pieces[k][i + 1]) : kRankUnknown;
      }
      together[k] = {pieces[k].data(), ranks[k].data(), n, 0};
    }
    std::vector<std::vector<uint32_t>> expected(kCanonicalTogether);
    for (size_t k = 0; k < kCanonicalTogether; ++k) expected[k] = reference_bpe(rules, pieces[k]);
    canonical_merge_together(merges, together, cap);
    for (size_t k = 0; k < kCanonicalTogether; ++k) {
      pieces[k].resize(together[k].kept);
      ASSERT_EQ(pieces[k], expected[k]) << "table " << t << " piece " << k << " cap " << cap;
    }
  }
}

}  // namespace
}  // namespace quorvane
