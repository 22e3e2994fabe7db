#include "lib/char_id_table.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <map>
#include <random>

namespace quorvane {
namespace {

// Every code point gives the map's id or -1, for maps that leave blocks empty,
// fill a block, share blocks and reach the last block and beyond.
TEST(CharIdTableTest, EveryCodePointMatchesTheMap) {
  EXPECT_TRUE(CharIdTable::build(std::map<uint32_t, uint32_t>{}).empty());
  std::mt19937 rng(3);
  for (int t = 0; t < 6; ++t) {
    std::map<uint32_t, uint32_t> ids;
    const int count = t == 0 ? 1 : 1 << (3 * t);
    for (int k = 0; k < count; ++k) ids[0x80 + rng() % (t % 2 ? 0x2000 : 0x10FF80)] = rng() >> 1;
    ids[0x10FFFF] = 7;
    ids[0x110000] = 8;  // beyond every character: left out
    const CharIdTable table = CharIdTable::build(ids);
    ASSERT_FALSE(table.empty());
    for (uint32_t cp = 0; cp < 0x110000; ++cp) {
      const auto it = ids.find(cp);
      ASSERT_EQ(table.find(cp), it == ids.end() ? -1 : static_cast<int32_t>(it->second))
          << "table " << t << " code point " << cp;
    }
  }
}

}  // namespace
}  // namespace quorvane
