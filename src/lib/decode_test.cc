#include "lib/decode.h"

#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "lib/loader.h"

namespace quorvane {
namespace {

TEST(DecodeBytes, SkipsIdsWithoutEntries) {
  auto r = load_tokenizer_json_text("t.json", R"({"model": {"vocab": {"he": 0, "\u0120y": 1,
      "\u00e4": 3}}, "pre_tokenizer": {"type": "ByteLevel"},
      "decoder": {"type": "ByteLevel"}})");
  ASSERT_TRUE(r) << r.error();
  const Tokenizer& m = *r.value();
  const auto dec = [&](std::vector<uint32_t> ids) { return decode_bytes(m, ids); };
  EXPECT_EQ(dec({}), "");
  EXPECT_EQ(dec({4, 99, 0xFFFFFFFFu}), "");
  EXPECT_EQ(dec({0, 4, 1, 2, 0}), "he yhe");
  EXPECT_EQ(dec({3}), "\xE4");  // one byte of a character, not valid UTF-8 on its own
}

}  // namespace
}  // namespace quorvane
