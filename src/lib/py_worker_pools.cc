#include "lib/py_worker_pools.h"

#include <cxxabi.h>
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <memory>
#include <mutex>
#include <new>
#include <numeric>
#include <optional>
#include <string_view>
#include <thread>
#include <vector>

#include <absl/container/flat_hash_map.h>
#include <oneapi/tbb/blocked_range.h>
#include <oneapi/tbb/global_control.h>
#include <oneapi/tbb/info.h>
#include <oneapi/tbb/parallel_for.h>
#include <oneapi/tbb/partitioner.h>

#include "lib/fx_hash.h"
#include "lib/py_fork.h"
#include "lib/py_gil.h"
#include "lib/py_ref.h"
#include "lib/task_split.h"

namespace quorvane::py {
namespace {

// An unsigned decimal integer as Rust's integer parsing reads it: an optional
// '+', then one or more digits, nothing else, no overflow.
std::optional<uint64_t> env_unsigned(const char* name) {
  const char* raw = std::getenv(name);
  if (raw == nullptr) return std::nullopt;
  std::string_view s(raw);
  if (!s.empty() && s.front() == '+') s.remove_prefix(1);
  if (s.empty()) return std::nullopt;
  uint64_t value = 0;
  for (char c : s) {
    if (c < '0' || c > '9') return std::nullopt;
    uint64_t digit = static_cast<uint64_t>(c - '0');
    if (value > (UINT64_MAX - digit) / 10) return std::nullopt;
    value = value * 10 + digit;
  }
  return value;
}

uint64_t online_processors() {
  int n = tbb::info::default_concurrency();
  return n > 0 ? static_cast<uint64_t>(n) : 1;
}

uint64_t default_pool_size() {
  if (std::optional<uint64_t> n = env_unsigned("RAYON_NUM_THREADS")) {
    return *n == 0 ? online_processors() : *n;
  }
  if (std::optional<uint64_t> n = env_unsigned("RAYON_RS_NUM_CPUS"); n && *n > 0) return *n;
  return online_processors();
}

int arena_concurrency(uint64_t n) {
  return static_cast<int>(std::min<uint64_t>(n, static_cast<uint64_t>(INT32_MAX)));
}

// TBB caps its worker threads at the processor count unless told otherwise;
// sized pools must be able to run their full count. Set once, kept for the
// process (the control object is never destroyed).
void allow_threads(uint64_t pool_size) {
  static const tbb::global_control* control = [&] {
    uint64_t limit = std::max({kMaxPoolThreads, pool_size, online_processors()});
    return new tbb::global_control(tbb::global_control::max_allowed_parallelism,
                                   static_cast<size_t>(arena_concurrency(limit)));
  }();
  (void)control;
}

struct PoolCache {
  std::mutex mu;
  // An empty handle records a failed build for that count.
  absl::flat_hash_map<uint64_t, std::shared_ptr<Pool>, FxHash> pools;
};

PoolCache& pool_cache() {
  static PoolCache* cache = new PoolCache;  // never destroyed: pools outlive every call
  return *cache;
}

struct RangeBody {
  RangeFn fn;
  void* context;
  std::atomic<InternalCheck>* failure;

  void operator()(const tbb::blocked_range<size_t>& r) const {
    if (failure->load(std::memory_order_relaxed) != nullptr) return;
    if (InternalCheck f = fn(context, r.begin(), r.end())) {
      InternalCheck none = nullptr;
      failure->compare_exchange_strong(none, f, std::memory_order_relaxed);
    }
  }
};

}  // namespace

Pool& default_pool() {
  static Pool* pool = [] {
    uint64_t n = default_pool_size();
    allow_threads(n);
    auto* arena = new Pool(arena_concurrency(n));
    arena->initialize();
    return arena;
  }();
  return *pool;
}

std::shared_ptr<Pool> get_pool(uint64_t n) {
  allow_threads(n);
  PoolCache& cache = pool_cache();
  std::lock_guard<std::mutex> lock(cache.mu);
  auto [it, inserted] = cache.pools.try_emplace(n);
  if (!inserted) return it->second;
  try {
    auto pool = std::make_shared<Pool>(arena_concurrency(n));
    pool->initialize();
    it->second = std::move(pool);
  } catch (...) {
    // Remembered as an empty entry: later calls use the default pool at once.
  }
  return it->second;
}

uint64_t min_task_length(uint64_t total_len, uint64_t items) {
  uint64_t mean = total_len / std::max<uint64_t>(items, 1);
  uint64_t m = 4096 / std::max<uint64_t>(mean, 1);
  return m == 0 ? 1 : m;
}

namespace {

size_t grain_for(uint64_t min_len) {
  // blocked_range splits a range only while it is larger than the grain size,
  // into halves; a grain of 2m - 1 therefore never yields a range below m items.
  return static_cast<size_t>(std::min<uint64_t>(min_len, SIZE_MAX / 2) * 2 - 1);
}

// What the pool's workers and the taking thread share in run_in_pool_taking.
// Items are claimed in the chunks of `split` through `next_chunk`, in the order
// of `chunk_order` (input order when null); each finished item is appended to
// `order` through `finished`, a slot holding kPending until its index is
// stored.
struct TakingRun {
  static constexpr uint32_t kPending = UINT32_MAX;
  static constexpr uint32_t kSkipped = UINT32_MAX - 1;
  RangeFn fn = nullptr;
  void* context = nullptr;
  size_t items = 0;
  TaskSplit split;
  std::unique_ptr<uint32_t[]> chunk_order;
  std::unique_ptr<std::atomic<uint32_t>[]> order;
  std::atomic<size_t> next_chunk{0};
  std::atomic<size_t> finished{0};
  std::atomic<InternalCheck> failure{nullptr};
  std::atomic<bool> no_memory{false};
  std::atomic<bool> abandoned{false};

  void publish(uint32_t i) {
    std::atomic<uint32_t>& slot = order[finished.fetch_add(1, std::memory_order_relaxed)];
    slot.store(i, std::memory_order_release);
    slot.notify_one();
  }

  bool failed() const {
    return failure.load(std::memory_order_relaxed) != nullptr ||
           no_memory.load(std::memory_order_relaxed) || abandoned.load(std::memory_order_relaxed);
  }

  // Skips every item not yet begun and waits until no worker is inside one,
  // so that the caller's buffers may go.
  void abandon() {
    abandoned.store(true, std::memory_order_relaxed);
    while (run_chunk()) {
    }
    while (finished.load(std::memory_order_acquire) < items) std::this_thread::yield();
  }

  // Claims and runs one chunk; false when none is left.
  bool run_chunk() {
    size_t c = next_chunk.fetch_add(1, std::memory_order_relaxed);
    if (c >= split.tasks) return false;
    if (chunk_order) c = chunk_order[c];
    for (size_t i = split.begin(c), end = split.begin(c + 1); i < end; ++i) {
      if (!failed()) {
        try {
          if (InternalCheck f = fn(context, i, i + 1)) {
            InternalCheck none = nullptr;
            failure.compare_exchange_strong(none, f, std::memory_order_relaxed);
          }
        } catch (const std::bad_alloc&) {
          no_memory.store(true, std::memory_order_relaxed);
        }
      }
      publish(static_cast<uint32_t>(i));  // skipped items too: the taker counts them
    }
    return true;
  }
};

// The threads that help the calling thread of a taking run: one mailbox each,
// rung directly by the calling thread. oneTBB's workers wake one another two
// at a time, so one that is slow to wake (its core idle for a while, or busy
// with another process) held up the ones it was to wake, and short runs
// started with half their threads; here each helper is woken on its own.
// A helper sleeps (in the kernel) whenever no run is posted to it.
struct Helper {
  std::mutex mu;
  std::shared_ptr<TakingRun> posted;  // guarded by mu
  std::atomic<uint32_t> bell{0};

  std::shared_ptr<TakingRun> take() {
    std::lock_guard<std::mutex> lock(mu);
    return std::move(posted);
  }

  void post(std::shared_ptr<TakingRun> run) {
    {
      std::lock_guard<std::mutex> lock(mu);
      posted = std::move(run);
    }
    bell.fetch_add(1, std::memory_order_release);
    bell.notify_one();
  }

  void serve() {
    for (;;) {
      // Read before the mailbox: a run posted after the read rings a bell
      // that no longer matches, so the wait below returns at once.
      const uint32_t heard = bell.load(std::memory_order_acquire);
      if (std::shared_ptr<TakingRun> run = take()) {
        while (run->run_chunk()) {
        }
        continue;
      }
      bell.wait(heard, std::memory_order_acquire);
    }
  }
};

class Helpers {
 public:
  // Rings the first `n` helpers (fewer when no more threads can be started),
  // posting `run` to each; returns how many were rung.
  size_t ring(size_t n, const std::shared_ptr<TakingRun>& run) {
    n = std::min<size_t>(n, kMaxPoolThreads - 1);
    size_t rung = 0;
    for (; rung < n; ++rung) {
      if (!start(rung)) break;
      helpers_[rung].post(run);
    }
    return rung;
  }

 private:
  bool start(size_t k) {
    if (started_.load(std::memory_order_acquire) > k) return true;
    std::lock_guard<std::mutex> lock(mu_);
    for (size_t i = started_.load(std::memory_order_relaxed); i <= k; ++i) {
      try {
        // Detached: a helper lives as long as the process and holds nothing
        // of the interpreter's.
        std::thread([h = &helpers_[i]] { h->serve(); }).detach();
      } catch (const std::exception&) {
        return false;
      }
      started_.store(i + 1, std::memory_order_release);
    }
    return true;
  }

  std::mutex mu_;
  std::atomic<size_t> started_{0};
  Helper helpers_[kMaxPoolThreads - 1];
};

Helpers& helpers() {
  static Helpers* all = new Helpers;  // never destroyed: its threads are never joined
  return *all;
}

// How many threads a taking run of `num_threads` uses, the calling thread
// included: num_threads, or the default pool's size for 0.
uint64_t run_threads(uint64_t num_threads) {
  static const uint64_t default_size = default_pool_size();
  return std::min(num_threads == 0 ? default_size : num_threads, kMaxPoolThreads);
}

}  // namespace

namespace {

// The chunks of `split` from the heaviest to the lightest (ties in input
// order), so that no heavy chunk starts last and leaves the other threads
// idle while it runs.
std::unique_ptr<uint32_t[]> heaviest_first(const TaskSplit& split, WeightFn weight,
                                           const void* context) {
  std::vector<uint64_t> weights(split.tasks);
  for (size_t c = 0; c < split.tasks; ++c) {
    for (size_t i = split.begin(c), end = split.begin(c + 1); i < end; ++i) {
      weights[c] += weight(context, i);
    }
  }
  auto order = std::make_unique<uint32_t[]>(split.tasks);
  std::iota(order.get(), order.get() + split.tasks, uint32_t{0});
  std::stable_sort(order.get(), order.get() + split.tasks,
                   [&](uint32_t a, uint32_t b) { return weights[a] > weights[b]; });
  return order;
}

}  // namespace

InternalCheck run_in_pool_taking(uint64_t num_threads, size_t items, uint64_t min_len, RangeFn fn,
                                 void* context, WeightFn weight, const void* weight_context,
                                 const Taker& taker, bool* no_memory, bool* take_failed) {
  *no_memory = false;
  *take_failed = false;
  note_pools_started();
  if (items == 0) return nullptr;
  if (items >= TakingRun::kSkipped) {
    *no_memory = true;
    return nullptr;
  }
  // Shared with the workers' tasks, which may start (and find nothing left) or
  // still be waking the taker after the taker has returned.
  std::shared_ptr<TakingRun> run;
  try {
    run = std::make_shared<TakingRun>();
    run->fn = fn;
    run->context = context;
    run->items = items;
    run->split = TaskSplit::make(items, min_len);
    run->order = std::make_unique<std::atomic<uint32_t>[]>(items);
    if (weight != nullptr && run->split.tasks > 1 && run->split.tasks <= UINT32_MAX) {
      run->chunk_order = heaviest_first(run->split, weight, weight_context);
    }
  } catch (const std::bad_alloc&) {
    *no_memory = true;
    return nullptr;
  }
  for (size_t k = 0; k < items; ++k) run->order[k].store(TakingRun::kPending);
  // The calling thread is one of the run's threads: it encodes too whenever
  // no finished item is waiting to be taken. Fewer helpers than asked for
  // (threads that could not be started) leave it more to run. The helpers
  // are rung before the calling thread's own preparation, which overlaps
  // their waking (about 0.05-0.1 ms).
  try {
    helpers().ring(std::min<size_t>(run_threads(num_threads) - 1, run->split.tasks - 1), run);
  } catch (const std::exception&) {
  }
  if (taker.prepare != nullptr && !taker.prepare(taker.context)) *take_failed = true;
  bool taking = !*take_failed;
  for (size_t k = 0; k < items;) {
    std::atomic<uint32_t>& slot = run->order[k];
    uint32_t i = slot.load(std::memory_order_acquire);
    if (i != TakingRun::kPending) {
      if (taking && i != TakingRun::kSkipped && !run->failed() && !taker.take(taker.context, i)) {
        taking = false;
        *take_failed = true;
      }
      ++k;
      continue;
    }
    try {
      without_gil([&] {
        if (!run->run_chunk()) slot.wait(TakingRun::kPending, std::memory_order_acquire);
      });
    } catch (abi::__forced_unwind&) {
      // The interpreter is ending this thread at exit (py_gil.h): the batch's
      // buffers go with its frames, so no worker may still be writing to them.
      run->abandon();
      throw;
    }
  }
  *no_memory = run->no_memory.load(std::memory_order_relaxed);
  return run->failure.load(std::memory_order_relaxed);
}

InternalCheck run_in_pool(uint64_t num_threads, size_t items, uint64_t min_len, RangeFn fn,
                          void* context) {
  if (!pools_usable()) return fn(context, 0, items);
  note_pools_started();
  std::shared_ptr<Pool> sized;
  if (num_threads != 0) sized = get_pool(std::min(num_threads, kMaxPoolThreads));
  Pool& pool = sized ? *sized : default_pool();
  if (items == 0) return nullptr;

  size_t grain = grain_for(min_len);
  std::atomic<InternalCheck> failure{nullptr};
  RangeBody body{fn, context, &failure};
  pool.execute([&] {
    tbb::parallel_for(tbb::blocked_range<size_t>(0, items, grain), body, tbb::simple_partitioner());
  });
  return failure.load(std::memory_order_relaxed);
}

}  // namespace quorvane::py
