#include "lib/offsets.h"

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "lib/test_models.h"

namespace quorvane {
namespace {

using testing::byte_model;

TEST(Offsets, RefusalsInOrder) {
  auto model = byte_model();
  EXPECT_EQ(offsets_refusal(*model, "e\xCC\x81"), nullptr);

  model->normalizer_kind = kNormNFC;
  EXPECT_EQ(offsets_refusal(*model, "plain ascii"), nullptr);
  EXPECT_EQ(offsets_refusal(*model, "x\xCC\x80"), nullptr);  // a copy with the same bytes
  const char* not_normalized = offsets_refusal(*model, "e\xCC\x81");
  ASSERT_NE(not_normalized, nullptr);
  EXPECT_STREQ(not_normalized,
               "encode_with_offsets: input is not already normalized and this model applies a "
               "Unicode normalizer; byte offsets into the original text are undefined (normalize "
               "the text first)");

  model->monotonic = false;
  EXPECT_STREQ(offsets_refusal(*model, "e\xCC\x81"), not_normalized);
  const char* non_monotonic = offsets_refusal(*model, "");
  EXPECT_STREQ(non_monotonic,
               "encode_with_offsets: this model's merge table is non-monotonic and requires the "
               "canonical merger, which the offset path does not implement; offsets would not "
               "match encode() (encode/decode are unaffected)");

  model->byte_fallback = true;
  EXPECT_STREQ(offsets_refusal(*model, ""),
               "encode_with_offsets is only available for ByteLevel models (byte_fallback/"
               "SentencePiece transform the text, so offsets wouldn't map to the original)");
}

TEST(Offsets, EmptyTextGivesNothing) {
  auto model = byte_model();
  std::vector<uint32_t> ids;
  std::vector<Span> spans;
  EXPECT_EQ(encode_with_offsets(*model, "", ids, spans), nullptr);
  EXPECT_TRUE(ids.empty());
  EXPECT_TRUE(spans.empty());
}

TEST(Offsets, SpansCountBytesAndSkipBytesWithoutIds) {
  auto model = byte_model({"\xC3\xA9", "ab"}, {{"\xC3", "\xA9"}, {"a", "b"}});
  model->byte_ids['x'] = -1;
  std::vector<uint32_t> ids;
  std::vector<Span> spans;
  ASSERT_EQ(encode_with_offsets(*model, "\xC3\xA9xc", ids, spans), nullptr);
  EXPECT_EQ(ids, (std::vector<uint32_t>{256, 'c'}));
  EXPECT_EQ(spans, (std::vector<Span>{{0, 2}, {3, 4}}));
}

TEST(Offsets, WholePieceMapWins) {
  auto model = byte_model({"ab", "abab"}, {{"a", "b"}});
  model->piece_ids.emplace();
  (*model->piece_ids)[std::string("abab")] = 257;
  std::vector<uint32_t> ids;
  std::vector<Span> spans;
  ASSERT_EQ(encode_with_offsets(*model, "abab", ids, spans), nullptr);
  EXPECT_EQ(ids, (std::vector<uint32_t>{257}));
  EXPECT_EQ(spans, (std::vector<Span>{{0, 4}}));
  ids.clear();
  spans.clear();
  ASSERT_EQ(encode_with_offsets(*model, "xabab", ids, spans), nullptr);
  EXPECT_EQ(ids, (std::vector<uint32_t>{'x', 256, 256}));
  EXPECT_EQ(spans, (std::vector<Span>{{0, 1}, {1, 3}, {3, 5}}));
}

}  // namespace
}  // namespace quorvane
