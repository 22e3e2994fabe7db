#include "lib/whole_pieces.h"

#include <cstdlib>
#include <filesystem>
#include <string>

#include <gtest/gtest.h>

#include "bpe/bpe_merge.h"
#include "lib/encode.h"
#include "lib/loader.h"
#include "lib/tokenizer.h"

namespace quorvane {
namespace {

// A table without keys (a model with no merges) answers every probe with kNone.
TEST(WholePiecesTest, EmptyTableFindsNothing) {
  const WholePieces table;
  EXPECT_TRUE(table.empty());
  for (const char* piece : {"", "a", "ab", "abcdefghijklmnopq"}) {
    EXPECT_EQ(table.find(piece), kNone) << piece;
    EXPECT_EQ(table.find_hashed(piece, 0), kNone) << piece;
  }
}

// Every id the table gives must be what merging the piece's bytes gives, and a
// piece that merges to one id must be found.
TEST(WholePiecesTest, AgreesWithMergingOnRealModels) {
  const char* cache = std::getenv("QUORVANE_TEST_CACHE");
  if (cache == nullptr) GTEST_SKIP() << "QUORVANE_TEST_CACHE is not set";
  for (const char* name : {"gpt2", "gpt4o"}) {
    const std::string path = std::string(cache) + "/tokenizers/" + name + ".json";
    if (!std::filesystem::is_regular_file(path)) continue;
    auto loaded = load_tokenizer_json(path);
    ASSERT_TRUE(loaded) << loaded.error();
    const Tokenizer& model = *loaded.value();
    ASSERT_FALSE(model.whole_pieces.empty()) << name;
    size_t found = 0;
    MergeScratch scratch;
    for (uint32_t id = 0; id < model.token_bytes.spans.size(); id += 7) {
      const std::string_view bytes = model.token_bytes.bytes_of(id);
      if (bytes.size() < 2 || bytes.size() > kShortPieceMax) continue;
      // The bytes with one more byte, so that misses are probed too.
      for (const std::string& piece : {std::string(bytes), std::string(bytes) + "q"}) {
        scratch.piece.clear();
        scratch.output.clear();
        for (unsigned char b : piece)
          scratch.piece.push_back(static_cast<uint32_t>(model.byte_ids[b]));
        bpe_merge(model, scratch, MergeStrategy::kAuto);
        const uint32_t hit = model.whole_pieces.find(piece);
        if (scratch.output.size() == 1) {
          EXPECT_EQ(hit, scratch.output[0]) << name << " " << piece;
          found += 1;
        } else {
          EXPECT_EQ(hit, kNone) << name << " " << piece;
        }
      }
    }
    EXPECT_GT(found, 1000u) << name;
  }
}

// byte_fallback models: a key found must be what the piece encoder gives without
// the table, and a key (or a near miss) that encodes to one id must be found.
TEST(WholePiecesTest, ByteFallbackKeysAgreeWithTheEncoder) {
  const char* cache = std::getenv("QUORVANE_TEST_CACHE");
  if (cache == nullptr) GTEST_SKIP() << "QUORVANE_TEST_CACHE is not set";
  for (const char* name : {"llama2", "gemma3"}) {
    const std::string path = std::string(cache) + "/tokenizers/" + name + ".json";
    if (!std::filesystem::is_regular_file(path)) continue;
    auto loaded = load_tokenizer_json(path);
    ASSERT_TRUE(loaded) << loaded.error();
    Tokenizer& model = *loaded.value();
    ASSERT_TRUE(model.byte_fallback);
    const WholePieces table = std::move(model.whole_pieces);
    model.whole_pieces = WholePieces();
    ASSERT_FALSE(table.empty()) << name;
    size_t found = 0;
    MergeScratch scratch;
    for (uint32_t id = 0; id < model.token_bytes.spans.size(); id += 5) {
      const std::string key = metaspace_key(model.token_bytes.bytes_of(id));
      if (key.size() < 2) continue;
      for (const std::string& piece : {key, key + "q", "\xE2\x96\x81" + key, key.substr(1)}) {
        if (piece.size() < 2) continue;
        scratch.output.clear();
        encode_byte_fallback(model, piece, scratch, MergeStrategy::kAuto);
        const uint32_t hit = table.find(piece);
        if (hit != kNone) {
          ASSERT_EQ(scratch.output.size(), 1u) << name << " " << piece;
          EXPECT_EQ(hit, scratch.output[0]) << name << " " << piece;
          found += 1;
        } else if (scratch.output.size() == 1 && piece.size() <= kShortPieceMax) {
          // Only ids whose own key is the piece are in the table.
          EXPECT_NE(metaspace_key(model.token_bytes.bytes_of(scratch.output[0])), piece)
              << name << " " << piece;
        }
      }
    }
    EXPECT_GT(found, 1000u) << name;
  }
}

}  // namespace
}  // namespace quorvane
