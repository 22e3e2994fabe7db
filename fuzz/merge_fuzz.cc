// Every merger against the naive canonical BPE, on merge tables and pieces that
// the input chooses: monotonic and non-monotonic tables, short and long pieces.
// Input: table seed (4 bytes), rule count, flags, then one id per byte.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <vector>

#include "bpe/bpe_merge.h"
#include "bpe/bpe_test_models.h"

using namespace quorvane;

namespace {

constexpr uint32_t kAlphabet = 6;

[[noreturn]] void fail(const char* what, const std::vector<uint32_t>& piece) {
  fprintf(stderr, "%s on piece of %zu ids:", what, piece.size());
  for (uint32_t id : piece) fprintf(stderr, " %u", id);
  fprintf(stderr, "\n");
  abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 7) return 0;
  uint32_t seed;
  std::memcpy(&seed, data, 4);
  const size_t n_rules = 1 + data[4] % 40;
  const bool in_rank_order = data[5] & 1;
  const int heavy_left = (data[5] & 2) ? static_cast<int>(data[5] >> 2) % kAlphabet : -1;
  // A long piece now and then, repeating the input, to reach the long-piece mergers.
  const size_t repeat = (data[6] & 0xF0) == 0xF0 ? 1 + kShortPieceMax / (size - 6) : 1;

  std::mt19937 rng(seed);
  testing::StringVocab vocab;
  for (uint32_t c = 0; c < kAlphabet; ++c) vocab.id_of(std::string(1, static_cast<char>('a' + c)));
  std::vector<MergeRule> rules =
      testing::random_string_rules(rng, vocab, n_rules, in_rank_order, heavy_left);
  MergeModel model;
  testing::set_rules(model, rules, vocab.texts.size());

  std::vector<uint32_t> piece;
  for (size_t r = 0; r < repeat; ++r) {
    for (size_t i = 7; i < size; ++i) piece.push_back(data[i] % kAlphabet);
  }
  if (piece.empty()) return 0;
  const std::vector<uint32_t> want = testing::reference_bpe(rules, piece);

  MergeScratch scratch;
  std::vector<MergeStrategy> strategies = {MergeStrategy::kAuto};
  if (model.monotonic)
    strategies = {MergeStrategy::kAuto, MergeStrategy::kStream, MergeStrategy::kScan};
  for (MergeStrategy s : strategies) {
    scratch.output.clear();
    scratch.piece = piece;
    bpe_merge(model, scratch, s);
    if (scratch.output != want)
      fail(model.monotonic ? "monotonic merge" : "canonical merge", piece);
    if (piece.size() <= kShortPieceMax) {
      std::vector<uint32_t> ids = piece;
      scratch.output.clear();
      bpe_merge_ids(model, ids.data(), ids.size(), scratch, s);
      if (scratch.output != want) fail("in-place merge", piece);
    }
  }
  return 0;
}
