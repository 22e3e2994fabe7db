#include "lib/task_split.h"

#include <gtest/gtest.h>

namespace quorvane {
namespace {

TEST(TaskSplit, TilesTheBatchWithTasksOfAtLeastTheMinimum) {
  for (size_t items = 0; items <= 400; ++items) {
    for (uint64_t min_len : {0, 1, 2, 3, 7, 40, 102, 150, 4096}) {
      const TaskSplit split = TaskSplit::make(items, min_len);
      ASSERT_EQ(split.tasks == 0, items == 0);
      if (items == 0) continue;
      ASSERT_EQ(split.begin(0), 0u);
      ASSERT_EQ(split.begin(split.tasks), items);
      size_t shortest = items, longest = 0;
      for (size_t t = 0; t < split.tasks; ++t) {
        const size_t len = split.begin(t + 1) - split.begin(t);
        shortest = std::min(shortest, len);
        longest = std::max(longest, len);
      }
      EXPECT_LE(longest - shortest, 1u) << items << " items, m " << min_len;
      // Below m only when the whole batch is; and as many tasks as m allows.
      EXPECT_GE(shortest, std::min<uint64_t>(std::max<uint64_t>(min_len, 1), items));
      EXPECT_EQ(split.tasks, std::max<size_t>(1, items / std::max<uint64_t>(min_len, 1)));
    }
  }
  // 150 texts of 40 bytes (m = 102): one task, not 102 + 48.
  EXPECT_EQ(TaskSplit::make(150, 102).tasks, 1u);
}

}  // namespace
}  // namespace quorvane
