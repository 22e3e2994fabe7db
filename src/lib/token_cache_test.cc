#include "lib/token_cache.h"

#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <random>
#include <vector>

#include "lib/whole_pieces.h"

namespace quorvane {
namespace {

// The inverse of x * m modulo 2^64 for odd m, by Newton's iteration.
uint64_t inverse(uint64_t m) {
  uint64_t inv = m;
  for (int i = 0; i < 6; ++i) inv *= 2 - m * inv;
  return inv;
}

// fmix64 backwards: each of its steps is invertible.
uint64_t unmix(uint64_t x) {
  x ^= x >> 33;
  x *= inverse(0xc4ceb9fe1a85ec53ULL);
  x ^= x >> 33;
  x *= inverse(0xff51afd7ed558ccdULL);
  x ^= x >> 33;
  return x;
}

// The cache compares no bytes: that is exact only if every piece of up to
// kMaxBytes bytes can be read back from its hash and length.
TEST(TokenCacheTest, ShortPiecesComeBackFromTheirHash) {
  std::mt19937_64 rng(3);
  for (size_t len = 1; len <= TokenCache::kMaxBytes; ++len) {
    for (int k = 0; k < 2000; ++k) {
      uint8_t piece[8];
      for (size_t i = 0; i < len; ++i) piece[i] = static_cast<uint8_t>(rng());
      const uint64_t tail = unmix(piece_hash(piece, len)) ^ 0x9E3779B97F4A7C15ULL ^ len;
      uint8_t back[8] = {};
      if (len >= 4) {
        const auto first = static_cast<uint32_t>(tail);
        const auto last = static_cast<uint32_t>(tail >> 32);
        std::memcpy(back, &first, 4);
        std::memcpy(back + len - 4, &last, 4);
      } else {
        back[0] = static_cast<uint8_t>(tail);
        back[len / 2] = static_cast<uint8_t>(tail >> 8);
        back[len - 1] = static_cast<uint8_t>(tail >> 16);
        ASSERT_EQ(tail >> 24, 0u) << "length " << len;
      }
      ASSERT_EQ(std::memcmp(back, piece, len), 0) << "length " << len;
    }
  }
}

TEST(TokenCacheTest, HitsOnlyTheSamePieceOfTheSameModel) {
  auto cache = std::make_unique<TokenCache>();
  const uint8_t word[] = " the";
  const uint64_t hash = piece_hash(word, 4);
  EXPECT_EQ(cache->find(7, hash, 4), TokenCache::kMissing);
  cache->insert(7, hash, 4, 1820);
  EXPECT_EQ(cache->find(7, hash, 4), 1820u);
  EXPECT_EQ(cache->find(8, hash, 4), TokenCache::kMissing);  // another model
  EXPECT_EQ(cache->find(7, hash, 3), TokenCache::kMissing);  // another length
  // Another piece in the same entry (same low bits) replaces it.
  const uint64_t other = hash ^ (uint64_t{1} << 40);
  EXPECT_EQ(cache->find(7, other, 4), TokenCache::kMissing);
  cache->insert(7, other, 4, 99);
  EXPECT_EQ(cache->find(7, other, 4), 99u);
  EXPECT_EQ(cache->find(7, hash, 4), TokenCache::kMissing);
  EXPECT_NE(TokenCache::for_thread(), nullptr);
}

}  // namespace
}  // namespace quorvane
