// Worker pools for the batch methods: the process-wide default pool, the cache
// of sized pools (`get_pool` over `PoolCache`), the minimum task length, an
// order-preserving parallel run over a batch's items, and the run whose
// calling thread builds results as items finish (on helper threads of its
// own).
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>

#include <oneapi/tbb/task_arena.h>

#include "lib/py_fork.h"
#include "lib/result.h"

namespace quorvane::py {

using Pool = tbb::task_arena;

// The largest sized pool; larger requests share it.
inline constexpr uint64_t kMaxPoolThreads = 1024;

// The process-wide pool, sized on first use from RAYON_NUM_THREADS (an unsigned
// integer, 0 meaning one worker per online processor), else RAYON_RS_NUM_CPUS (a
// positive integer), else one worker per online processor.
Pool& default_pool();

// The cached pool of exactly n workers (2 <= n <= kMaxPoolThreads), built on the
// first request; null when building it failed, which is remembered for n.
std::shared_ptr<Pool> get_pool(uint64_t n);

// The fewest items one parallel task takes, so that each task gets about 4096
// bytes of input: max(1, 4096 / max(1, total_len / max(1, items))).
uint64_t min_task_length(uint64_t total_len, uint64_t items);

// Whether a batch of `items` with `num_threads` runs on the calling thread.
// `parallel_when_small` keeps batches of fewer than two items on the pool path.
// Always so in a child forked after the pools started (py_fork.h).
inline bool run_serially(uint64_t num_threads, size_t items, bool parallel_when_small) {
  return num_threads == 1 || (!parallel_when_small && items < 2) || !pools_usable();
}

// Runs one item range [begin, end); returns null or the first internal failure.
using RangeFn = InternalCheck (*)(void* context, size_t begin, size_t end);

// Runs `fn` over [0, items) on the pool chosen for `num_threads` (0 = default
// pool), in ranges of at least `min_len` items (fewer only when the whole batch
// is smaller), and waits for all of them. Ranges after a failure are skipped.
// Must be called without the interpreter lock. An allocation failure of the
// pool machinery propagates as bad_alloc (run_unlocked reports it).
InternalCheck run_in_pool(uint64_t num_threads, size_t items, uint64_t min_len, RangeFn fn,
                          void* context);

// What the calling thread of run_in_pool_taking does with the lock held:
// `prepare(context)` (when given) once, right after the helpers are rung and
// before anything is taken, for setup that can overlap their waking; then
// `take(context, i)` for each finished item. Both return false (error set) to
// stop taking.
struct Taker {
  bool (*take)(void* context, size_t item);
  bool (*prepare)(void* context);
  void* context;
};

// Runs `fn` over [0, items) like run_in_pool (chunks of at least `min_len`
// items) on `num_threads` threads (0 = the default pool's size), but called
// with the interpreter lock held: the calling thread is one of them, and the
// others are helper threads of this file's own, each woken directly by the
// calling thread (no helper waits for another to wake it). Lock held, the
// calling thread takes each item as it finishes (in finishing order, through
// `taker`), so the serial result building overlaps the parallel part.
// Whenever nothing is ready to take it encodes a chunk itself; the lock is
// released only for that and for waiting. With a `weight` (an item's cost,
// `weight(weight_context, i)`, read with the lock held) the chunks are claimed
// heaviest first; without one, in input order. Once a take fails the call
// stops taking but still waits for the run. Returns null or the first
// failure; *no_memory is set when an item threw bad_alloc or the run's own
// bookkeeping could not be allocated.
using WeightFn = uint64_t (*)(const void* context, size_t item);
InternalCheck run_in_pool_taking(uint64_t num_threads, size_t items, uint64_t min_len, RangeFn fn,
                                 void* context, WeightFn weight, const void* weight_context,
                                 const Taker& taker, bool* no_memory, bool* take_failed);

// Calls `item(i)` for every i < items, serially or in the chosen pool, and
// returns null or the first failure. `item` returns InternalCheck and writes
// only its own result slot.
template <class Item>
InternalCheck run_batch(uint64_t num_threads, size_t items, uint64_t total_len,
                        bool parallel_when_small, Item&& item) {
  auto range = [](void* context, size_t begin, size_t end) -> InternalCheck {
    Item& fn = *static_cast<std::remove_reference_t<Item>*>(context);
    for (size_t i = begin; i < end; ++i) {
      if (InternalCheck failure = fn(i)) return failure;
    }
    return nullptr;
  };
  void* context = const_cast<void*>(static_cast<const void*>(&item));
  if (run_serially(num_threads, items, parallel_when_small)) return range(context, 0, items);
  return run_in_pool(num_threads, items, min_task_length(total_len, items), range, context);
}

}  // namespace quorvane::py
