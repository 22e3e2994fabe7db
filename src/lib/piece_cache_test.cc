#include "lib/piece_cache.h"

#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "lib/encode.h"
#include "lib/test_models.h"

namespace quorvane {
namespace {

using testing::byte_model;

std::vector<uint32_t> encode(const Tokenizer& model, const std::string& text,
                             MergeStrategy strategy) {
  std::vector<uint32_t> out;
  EXPECT_EQ(encode_text(model, text, strategy, true, out), nullptr);
  return out;
}

// Two models that merge the same letters differently share one thread's cache:
// every text, however often its words repeat and in whatever order the models
// take turns, gives the ids of an uncached encode (forced strategies skip the
// cache). Words run from 1 byte to past the cache's limits on bytes and ids.
TEST(PieceCacheTest, RepeatedWordsGiveUncachedIdsAcrossModels) {
  auto first =
      byte_model({"ab", "abc", "ca", "cab"}, {{"a", "b"}, {"ab", "c"}, {"c", "a"}, {"c", "ab"}});
  auto second = byte_model({"bc", "ca", "cab"}, {{"b", "c"}, {"c", "a"}, {"ca", "b"}});
  first->cache_serial = next_model_serial();
  second->cache_serial = next_model_serial();
  ASSERT_NE(first->cache_serial, second->cache_serial);
  std::mt19937 rng(7);
  std::vector<std::string> words;
  for (int w = 0; w < 40; ++w) {
    const size_t len = 1 + rng() % (PieceCache::kMaxBytes + 8);
    std::string word;
    for (size_t i = 0; i < len; ++i) word += "abcx"[rng() % 4];
    words.push_back(word);
  }
  for (int round = 0; round < 200; ++round) {
    std::string text;
    for (int k = 0; k < 6; ++k) text += (k ? " " : "") + words[rng() % words.size()];
    for (const Tokenizer* model : {first.get(), second.get()}) {
      EXPECT_EQ(encode(*model, text, MergeStrategy::kAuto),
                encode(*model, text, MergeStrategy::kScan))
          << text;
    }
  }
}

// A model still loading (no serial) leaves nothing in the cache.
TEST(PieceCacheTest, ModelsWithoutSerialAreNotCached) {
  auto model = byte_model({"ab", "abc"}, {{"a", "b"}, {"ab", "c"}});
  const std::string word = "abcabcab";
  encode(*model, word, MergeStrategy::kAuto);
  PieceCache* cache = PieceCache::for_thread();
  ASSERT_NE(cache, nullptr);
  const auto* bytes = reinterpret_cast<const uint8_t*>(word.data());
  const uint64_t hash = piece_hash(bytes, word.size());
  EXPECT_EQ(cache->find(0, hash, bytes, word.size()), nullptr);
  model->cache_serial = next_model_serial();
  encode(*model, word, MergeStrategy::kAuto);
  const PieceCache::Entry* hit = cache->find(model->cache_serial, hash, bytes, word.size());
  ASSERT_NE(hit, nullptr);
  EXPECT_EQ(std::vector<uint32_t>(hit->ids, hit->ids + hit->n_ids()),
            encode(*model, word, MergeStrategy::kScan));
}

// A piece of bytes without tokens gives no ids, from the merge and from the
// cache alike, first in a text of its own and then after other pieces.
TEST(PieceCacheTest, PiecesOfNoIdsAreCachedEmpty) {
  auto model = byte_model({"ab"}, {{"a", "b"}});
  model->byte_ids['x'] = -1;
  model->cache_serial = next_model_serial();
  for (const std::string text : {"xxxx", "xxxx", "ab xxxx ab", "ab xxxx ab"}) {
    EXPECT_EQ(encode(*model, text, MergeStrategy::kAuto),
              encode(*model, text, MergeStrategy::kScan))
        << text;
  }
}

}  // namespace
}  // namespace quorvane
