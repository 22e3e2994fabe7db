// TaskSplit: cuts a batch of items into consecutive tasks of at least a
// minimum length, as evenly as possible, for the parallel batch runs.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>

namespace quorvane {

// `items` items in `tasks` consecutive tasks whose lengths differ by at most
// one. Every task has at least `min_len` items, except the single task of a
// batch smaller than that.
struct TaskSplit {
  size_t items = 0;
  size_t tasks = 0;

  static TaskSplit make(size_t items, uint64_t min_len) {
    const uint64_t m = std::max<uint64_t>(min_len, 1);
    return {items, static_cast<size_t>(std::max<uint64_t>(items / m, items > 0 ? 1 : 0))};
  }

  // First item of task t (t <= tasks; begin(tasks) == items). The first
  // items % tasks tasks take one item more.
  size_t begin(size_t t) const {
    const size_t base = items / tasks;
    return t * base + std::min(t, items % tasks);
  }
};

}  // namespace quorvane
