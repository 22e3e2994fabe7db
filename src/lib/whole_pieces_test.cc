#include "lib/whole_pieces.h"

#include <cstdlib>
#include <filesystem>
#include <string>

#include <gtest/gtest.h>

#include "bpe/bpe_merge.h"
#include "lib/loader.h"
#include "lib/tokenizer.h"

namespace quorvane {
namespace {

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
    const auto bytes_of = [&model](uint32_t i) { return model.token_bytes.bytes_of(i); };
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
        bpe_merge(model, scratch, kMergeAuto);
        const uint32_t hit = model.whole_pieces.find(piece, bytes_of);
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

}  // namespace
}  // namespace quorvane
