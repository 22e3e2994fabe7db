#include "bpe/huge_page_allocator.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <utility>
#include <vector>

namespace quorvane {
namespace {

using HugeVector = std::vector<uint64_t, HugePageAllocator<uint64_t>>;

// Sizes on both sides of the threshold, growing by push_back and shrinking
// again: every element survives each move between small and mapped blocks,
// mapped blocks start on a 2 MiB boundary, and the flag follows the vector.
TEST(HugePageAllocatorTest, VectorsKeepTheirElementsAcrossBlockKinds) {
  constexpr size_t kThreshold = huge_pages::kHugeMin / sizeof(uint64_t);
  for (const bool huge : {false, true}) {
    HugeVector v{HugePageAllocator<uint64_t>(huge)};
    for (uint64_t i = 0; i < 2 * kThreshold + 123; ++i) v.push_back(i * 0x9E3779B97F4A7C15ULL);
    const auto address = reinterpret_cast<uintptr_t>(v.data());
    if (huge) EXPECT_EQ(address % huge_pages::kHugeMin, 0U);
    for (const size_t keep : {2 * kThreshold + 123, kThreshold, kThreshold - 1, size_t{5}}) {
      v.resize(keep);
      v.shrink_to_fit();
      for (uint64_t i = 0; i < keep; ++i) ASSERT_EQ(v[i], i * 0x9E3779B97F4A7C15ULL) << keep;
    }
    HugeVector copy = v;
    HugeVector moved;
    moved = std::move(v);
    EXPECT_EQ(copy.get_allocator().huge(), huge);
    EXPECT_EQ(moved.get_allocator().huge(), huge);
    EXPECT_EQ(copy, moved);
  }
}

TEST(HugePageAllocatorTest, MapRoundsUpToWholeAlignedHugePages) {
  for (const size_t bytes : {huge_pages::kHugeMin, huge_pages::kHugeMin + 1, size_t{5} << 20}) {
    auto* block = static_cast<uint8_t*>(huge_pages::map(bytes));
    ASSERT_NE(block, nullptr);
    EXPECT_EQ(reinterpret_cast<uintptr_t>(block) % huge_pages::kHugeMin, 0U);
    // The whole rounded-up block is writable.
    const size_t rounded = (bytes + huge_pages::kHugeMin - 1) / huge_pages::kHugeMin *
                           huge_pages::kHugeMin;
    block[0] = 1;
    block[rounded - 1] = 2;
    EXPECT_EQ(block[0] + block[rounded - 1], 3);
    huge_pages::unmap(block, bytes);
  }
}

}  // namespace
}  // namespace quorvane
