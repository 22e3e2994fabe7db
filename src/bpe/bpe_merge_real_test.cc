// The mergers on the real ByteLevel vocabularies of the shared test data.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <random>
#include <string>
#include <vector>

#include "bpe/bpe_merge.h"
#include "bpe/offset_merge.h"
#include "lib/loader.h"
#include "lib/tokenizer.h"

namespace quorvane {
namespace {

using Ids = std::vector<uint32_t>;

std::string tokenizer_path(const char* name) {
  const char* cache = std::getenv("QUORVANE_TEST_CACHE");
  if (cache == nullptr) return {};
  const std::string path = std::string(cache) + "/tokenizers/" + name + ".json";
  return std::filesystem::exists(path) ? path : std::string();
}

// Byte strings that mix whole tokens' bytes (so that long merge chains happen),
// runs of one byte (spaces, repeated punctuation) and random bytes.
std::string random_bytes(std::mt19937& rng, const Tokenizer& model, size_t length) {
  std::string text;
  while (text.size() < length) {
    switch (rng() % 4) {
      case 0:
        text += static_cast<char>(rng() % 256);
        break;
      case 1:
        text.append(1 + rng() % 8, " \n.-_G"[rng() % 6]);
        break;
      default:
        text += model.token_bytes.bytes_of(static_cast<uint32_t>(rng() % model.n_vocab));
    }
  }
  text.resize(length);
  return text;
}

// Canonical BPE by brute force: the leftmost lowest-ranked pair, one at a time.
Ids reference_merge(const MergeMap& merges, Ids ids) {
  for (;;) {
    MergeHit best{kNone, kNone};
    size_t at = 0;
    for (size_t i = 0; i + 1 < ids.size(); ++i) {
      const MergeHit hit = merges.find(ids[i], ids[i + 1]);
      if (hit.rank < best.rank) {
        best = hit;
        at = i;
      }
    }
    if (best.rank == kNone) return ids;
    ids[at] = best.merged;
    ids.erase(ids.begin() + static_cast<ptrdiff_t>(at) + 1);
  }
}

struct RealCase {
  const char* name;
  bool monotonic;
};

class RealModelMergeTest : public ::testing::TestWithParam<RealCase> {};

// Every merger that may run on the model's table agrees with brute force, and
// the offset path gives the same ids. llama3's table is not monotonic, so only
// the canonical merger may run on it.
TEST_P(RealModelMergeTest, EveryApplicableMergerAgrees) {
  const char* name = GetParam().name;
  const std::string path = tokenizer_path(name);
  if (path.empty()) GTEST_SKIP() << "QUORVANE_TEST_CACHE/tokenizers/" << name << " absent";
  auto loaded = load_tokenizer_json(path);
  ASSERT_TRUE(loaded) << loaded.error();
  const Tokenizer& model = *loaded.value();
  ASSERT_EQ(model.monotonic, GetParam().monotonic);
  ASSERT_FALSE(model.byte_fallback);
  const bool monotonic = model.monotonic;
  // A copy of the model's merge tables whose flags each run may set.
  MergeModel merging = model;

  std::mt19937 rng(42);
  MergeScratch scratch;
  OffsetScratch offset_scratch;
  for (int k = 0; k < 200; ++k) {
    const size_t length = k % 10 == 0 ? 257 + rng() % 2000 : 1 + rng() % 300;
    const std::string text = random_bytes(rng, model, length);
    offset_scratch.ids.clear();
    offset_scratch.spans.clear();
    for (size_t i = 0; i < text.size(); ++i) {
      const int32_t id = model.byte_ids[static_cast<uint8_t>(text[i])];
      if (id < 0) continue;
      offset_scratch.ids.push_back(static_cast<uint32_t>(id));
      offset_scratch.spans.push_back(Span{i, i + 1});
    }
    const Ids piece = offset_scratch.ids;
    const Ids expected = reference_merge(model.merges, piece);
    const auto run = [&](bool claim_monotonic, bool byte_fallback, MergeStrategy strategy,
                         const PairFilter* filter = nullptr) {
      merging.monotonic = claim_monotonic;
      merging.byte_fallback = byte_fallback;
      scratch.output.clear();
      scratch.piece = piece;
      bpe_merge(merging, scratch, strategy, filter);
      return scratch.output;
    };
    EXPECT_EQ(run(false, false, MergeStrategy::kAuto), expected) << name << " piece " << k;
    if (monotonic) {
      EXPECT_EQ(run(true, false, MergeStrategy::kStream), expected) << name << " piece " << k;
      EXPECT_EQ(run(true, false, MergeStrategy::kScan), expected) << name << " piece " << k;
      EXPECT_EQ(run(true, false, MergeStrategy::kAuto), expected) << name << " piece " << k;
      EXPECT_EQ(run(true, true, MergeStrategy::kAuto), expected) << name << " piece " << k;
      ASSERT_FALSE(model.pair_filter.empty());
      EXPECT_EQ(run(true, false, MergeStrategy::kScan, &model.pair_filter), expected) << name;
      EXPECT_EQ(run(true, false, MergeStrategy::kAuto, &model.pair_filter), expected) << name;
    }

    Ids offset_ids;
    std::vector<Span> spans;
    merge_with_offsets(model, offset_scratch, offset_ids, spans);
    EXPECT_EQ(offset_ids, expected) << name << " piece " << k;
    if (::testing::Test::HasFailure()) return;
  }
}

INSTANTIATE_TEST_SUITE_P(ByteLevel, RealModelMergeTest,
                         ::testing::Values(RealCase{"gpt2", true}, RealCase{"gpt4o", true},
                                           RealCase{"llama3", false}),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace quorvane
