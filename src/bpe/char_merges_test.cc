#include "bpe/char_merges.h"

#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "bpe/bpe_test_models.h"
#include "unicode/utf8.h"

namespace quorvane {
namespace {

using testing::reference_bpe;
using testing::set_rules;
using testing::StringVocab;

// A byte-level vocabulary: ids 0..255 are the bytes, longer tokens follow.
StringVocab byte_vocab() {
  StringVocab vocab;
  for (int b = 0; b < 256; ++b) vocab.id_of(std::string(1, static_cast<char>(b)));
  return vocab;
}

std::array<int32_t, 256> identity_byte_ids() {
  std::array<int32_t, 256> ids{};
  for (int b = 0; b < 256; ++b) ids[b] = b;
  return ids;
}

CharMerges build_for(const MergeModel& model, const StringVocab& vocab,
                     const std::array<int32_t, 256>& byte_ids) {
  std::vector<std::pair<uint32_t, uint32_t>> candidates;
  std::vector<uint16_t> first(vocab.texts.size());
  std::vector<uint16_t> last(vocab.texts.size());
  for (uint32_t id = 0; id < vocab.texts.size(); ++id) {
    const std::string& t = vocab.texts[id];
    const auto* p = reinterpret_cast<const uint8_t*>(t.data());
    first[id] = p[0];
    last[id] = p[t.size() - 1];
    const DecodedChar c = utf8::decode_well_formed(p, t.size(), 0);
    if (t.size() >= 2 && c.len == t.size()) candidates.emplace_back(c.cp, id);
  }
  return CharMerges::build(model.merges, model.stream, byte_ids, candidates, first, last);
}

std::vector<uint32_t> gathered(const CharMerges& chars, const std::string& text, size_t from = 0) {
  const auto* p = reinterpret_cast<const uint8_t*>(text.data());
  std::vector<uint32_t> ids(p, p + from);
  ids.resize(text.size());
  ids.resize(from + chars.gather(p, from, text.size(), identity_byte_ids(), ids.data() + from));
  return ids;
}

std::vector<uint32_t> byte_ids_of(const std::string& text) {
  return std::vector<uint32_t>(reinterpret_cast<const uint8_t*>(text.data()),
                               reinterpret_cast<const uint8_t*>(text.data()) + text.size());
}

// " а" merges the space with the lead byte first, so after a space the bytes of
// "а" stay; elsewhere "а" is one id. "ѐ" has no rule before its own.
TEST(CharMergesTest, NeighbourWithLowerRuleKeepsTheBytes) {
  StringVocab vocab = byte_vocab();
  const uint32_t space_lead = vocab.id_of(" \xD0");
  const uint32_t a = vocab.id_of("\xD0\xB0");
  const uint32_t e = vocab.id_of("\xD1\x80");
  const uint32_t space_a = vocab.id_of(" \xD0\xB0");
  const std::vector<MergeRule> rules = {
      {' ', 0xD0, space_lead}, {0xD0, 0xB0, a}, {0xD1, 0x80, e}, {space_lead, 0xB0, space_a}};
  MergeModel model;
  set_rules(model, rules, vocab.texts.size());
  const CharMerges chars = build_for(model, vocab, identity_byte_ids());
  EXPECT_EQ(chars.size(), 2u);
  EXPECT_EQ(gathered(chars, "\xD0\xB0\xD1\x80"), (std::vector<uint32_t>{a, e}));
  EXPECT_EQ(gathered(chars, " \xD0\xB0"), (std::vector<uint32_t>{' ', 0xD0, 0xB0}));
  EXPECT_EQ(gathered(chars, " \xD1\x80"), (std::vector<uint32_t>{' ', e}));
  EXPECT_EQ(gathered(chars, "x\xD0\xB0"), (std::vector<uint32_t>{'x', a}));
  // Cut or ill-formed characters stay bytes.
  EXPECT_EQ(gathered(chars, "\xD0"), (std::vector<uint32_t>{0xD0}));
  EXPECT_EQ(gathered(chars, "\xD0\xD0\xB0"), (std::vector<uint32_t>{0xD0, a}));

  std::array<int32_t, 256> missing = identity_byte_ids();
  missing[0xFF] = -1;
  EXPECT_TRUE(build_for(model, vocab, missing).empty());
}

// Random monotonic byte-level tables over a few characters' bytes, with
// tokens across character boundaries: merging the gathered ids gives the ids of
// merging the bytes.
TEST(CharMergesTest, GatheredIdsMergeLikeBytes) {
  const std::vector<std::string> chars = {" ",
                                          "a",
                                          "b",
                                          "\xD0\xB0",
                                          "\xD0\xB8",
                                          "\xD1\x80",
                                          "\xE0\xA4\x95",
                                          "\xE0\xA4\x96",
                                          "\xF0\x9F\x98\x80",
                                          "\xE1\x80\x80"};
  std::vector<uint8_t> alphabet;
  for (const std::string& c : chars) {
    for (const char b : c) alphabet.push_back(static_cast<uint8_t>(b));
  }
  std::mt19937 rng(7);
  size_t taken = 0;
  for (int table = 0; table < 300; ++table) {
    StringVocab vocab = byte_vocab();
    std::vector<uint32_t> made(alphabet.begin(), alphabet.end());
    std::vector<MergeRule> rules;
    // Only new tokens, each made from tokens made before: monotonic.
    for (int k = 0; k < 60; ++k) {
      const uint32_t left = made[rng() % made.size()];
      const uint32_t right = made[rng() % made.size()];
      const std::string text = vocab.texts[left] + vocab.texts[right];
      if (text.size() > 8 || vocab.ids.count(text)) continue;
      const uint32_t merged = vocab.id_of(text);
      made.push_back(merged);
      rules.push_back({left, right, merged});
    }
    MergeModel model;
    set_rules(model, rules, vocab.texts.size());
    ASSERT_TRUE(model.monotonic);
    const CharMerges char_merges = build_for(model, vocab, identity_byte_ids());
    for (int t = 0; t < 40; ++t) {
      std::string text;
      const size_t length = 1 + rng() % 12;
      for (size_t k = 0; k < length; ++k) {
        if (rng() % 10 == 0) {
          text += static_cast<char>(alphabet[rng() % alphabet.size()]);  // maybe ill-formed
        } else {
          text += chars[rng() % chars.size()];
        }
      }
      const std::vector<uint32_t> expected = reference_bpe(rules, byte_ids_of(text));
      const size_t from = rng() % (text.size() + 1);
      const std::vector<uint32_t> ids = gathered(char_merges, text, from);
      taken += text.size() - ids.size();
      ASSERT_EQ(reference_bpe(rules, ids), expected) << "table " << table << " text " << t;
    }
  }
  EXPECT_GT(taken, 200u);  // characters were taken whole, not only bytes
}

}  // namespace
}  // namespace quorvane
