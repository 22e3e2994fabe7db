#include "bpe/offset_merge.h"

#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "bpe/bpe_merge.h"
#include "bpe/bpe_test_models.h"

namespace quorvane {
namespace {

using testing::random_string_rules;
using testing::set_rules;
using testing::StringVocab;
using Ids = std::vector<uint32_t>;
using Spans = std::vector<Span>;

struct Encoded {
  Ids ids;
  Spans spans;
};

// Bytes are their own ids, except '-', which has none; token i of the piece
// text[start, end) covers its byte.
Encoded encode(const MergeModel& model, const std::string& text, size_t start, size_t end,
               OffsetScratch& scratch) {
  scratch.ids.clear();
  scratch.spans.clear();
  for (size_t i = start; i < end; ++i) {
    if (text[i] == '-') continue;
    scratch.ids.push_back(static_cast<uint8_t>(text[i]));
    scratch.spans.push_back(Span{i, i + 1});
  }
  Encoded out;
  merge_with_offsets(model, scratch, out.ids, out.spans);
  return out;
}

Encoded encode(const MergeModel& model, const std::string& text) {
  OffsetScratch scratch;
  return encode(model, text, 0, text.size(), scratch);
}

TEST(OffsetMergeTest, EmptyPieceAppendsNothing) {
  MergeModel model;
  OffsetScratch scratch;
  const Encoded e = encode(model, "abc", 2, 2, scratch);
  EXPECT_TRUE(e.ids.empty());
  EXPECT_TRUE(e.spans.empty());
}

TEST(OffsetMergeTest, SpansCountBytesAndMayCutCharacters) {
  MergeModel model;
  // U+2581 is E2 96 81; only its first two bytes merge. "é" is C3 A9 and merges whole.
  set_rules(model, {{0xE2, 0x96, 300}, {0xC3, 0xA9, 301}}, 302);
  const std::string text = "\xC3\xA9x\xE2\x96\x81y";
  const Encoded e = encode(model, text);
  EXPECT_EQ(e.ids, (Ids{301, 'x', 300, 0x81, 'y'}));
  EXPECT_EQ(e.spans, (Spans{{0, 2}, {2, 3}, {3, 5}, {5, 6}, {6, 7}}));

  // A piece inside a longer text keeps offsets into the whole text.
  OffsetScratch scratch;
  const Encoded inner = encode(model, text, 3, 6, scratch);
  EXPECT_EQ(inner.ids, (Ids{300, 0x81}));
  EXPECT_EQ(inner.spans, (Spans{{3, 5}, {5, 6}}));
}

TEST(OffsetMergeTest, ByteWithoutIdIsSkippedOrCoveredByMerge) {
  MergeModel model;
  set_rules(model, {{'a', 'b', 300}}, 301);
  const Encoded e = encode(model, "a-b-c-");
  EXPECT_EQ(e.ids, (Ids{300, 'c'}));
  EXPECT_EQ(e.spans, (Spans{{0, 3}, {4, 5}}));
  const Encoded only = encode(model, "--");
  EXPECT_TRUE(only.ids.empty());
}

// Random string tables over "abcd", texts with a byte that has no id: the ids
// equal bpe_merge's on the byte ids, and every token's span holds exactly the
// token's text once the id-less bytes are taken out.
TEST(OffsetMergeTest, MatchesBpeMergeAndSpansTileTheBytes) {
  int long_pieces = 0;
  for (uint32_t seed = 1; seed <= 150; ++seed) {
    std::mt19937 rng(seed);
    StringVocab vocab;
    for (int b = 0; b < 256; ++b) vocab.id_of(std::string(1, static_cast<char>(b)));
    const std::string alphabet = "abcd";
    // Only the alphabet takes part in rules.
    StringVocab small;
    for (const char c : alphabet) small.id_of(std::string(1, c));
    const std::vector<MergeRule> small_rules =
        random_string_rules(rng, small, 5 + rng() % 120, seed % 4 != 0, -1);
    std::vector<MergeRule> rules;
    const auto to_big = [&](uint32_t id) { return vocab.id_of(small.texts[id]); };
    for (const MergeRule& r : small_rules) {
      rules.push_back({to_big(r.left), to_big(r.right), to_big(r.merged)});
    }
    MergeModel model;
    set_rules(model, rules, vocab.texts.size());

    OffsetScratch scratch;
    MergeScratch merge_scratch;
    for (int k = 0; k < 8; ++k) {
      std::string text;
      const size_t length = 1 + rng() % 600;
      while (text.size() < length) {
        if (rng() % 4 == 0) {
          text += rng() % 5 == 0 ? '-' : alphabet[rng() % alphabet.size()];
        } else {
          text += small.texts[rng() % small.texts.size()];
        }
      }
      const Encoded e = encode(model, "##" + text, 2, text.size() + 2, scratch);

      merge_scratch.output.clear();
      merge_scratch.piece.clear();
      for (const char c : text) {
        if (c != '-') merge_scratch.piece.push_back(static_cast<uint8_t>(c));
      }
      long_pieces += merge_scratch.piece.size() > kShortPieceMax;
      bpe_merge(model, merge_scratch, MergeStrategy::kAuto);
      ASSERT_EQ(e.ids, merge_scratch.output) << "seed " << seed;

      ASSERT_EQ(e.spans.size(), e.ids.size());
      uint64_t covered_to = 2;
      for (size_t i = 0; i < e.ids.size(); ++i) {
        const Span s = e.spans[i];
        ASSERT_LE(covered_to, s.start);
        ASSERT_LT(s.start, s.end);
        for (uint64_t p = covered_to; p < s.start; ++p) ASSERT_EQ(text[p - 2], '-');
        std::string inside = text.substr(s.start - 2, s.end - s.start);
        ASSERT_NE(inside.front(), '-');
        ASSERT_NE(inside.back(), '-');
        std::erase(inside, '-');
        ASSERT_EQ(inside, vocab.texts[e.ids[i]]) << "seed " << seed << " token " << i;
        covered_to = s.end;
      }
      for (uint64_t p = covered_to; p < text.size() + 2; ++p) ASSERT_EQ(text[p - 2], '-');
    }
  }
  EXPECT_GT(long_pieces, 300);
}

}  // namespace
}  // namespace quorvane
