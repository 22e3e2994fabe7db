#include "lib/py_worker_pools.h"

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <mutex>
#include <optional>
#include <string_view>

#include <absl/container/flat_hash_map.h>
#include <oneapi/tbb/blocked_range.h>
#include <oneapi/tbb/global_control.h>
#include <oneapi/tbb/info.h>
#include <oneapi/tbb/parallel_for.h>
#include <oneapi/tbb/partitioner.h>

#include "lib/fx_hash.h"

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

InternalCheck run_in_pool(uint64_t num_threads, size_t items, uint64_t min_len, RangeFn fn,
                          void* context) {
  std::shared_ptr<Pool> sized;
  if (num_threads != 0) sized = get_pool(std::min(num_threads, kMaxPoolThreads));
  Pool& pool = sized ? *sized : default_pool();
  if (items == 0) return nullptr;

  // blocked_range splits a range only while it is larger than the grain size,
  // into halves; a grain of 2m - 1 therefore never yields a range below m items.
  size_t grain = static_cast<size_t>(std::min<uint64_t>(min_len, SIZE_MAX / 2) * 2 - 1);
  std::atomic<InternalCheck> failure{nullptr};
  RangeBody body{fn, context, &failure};
  pool.execute([&] {
    tbb::parallel_for(tbb::blocked_range<size_t>(0, items, grain), body, tbb::simple_partitioner());
  });
  return failure.load(std::memory_order_relaxed);
}

}  // namespace quorvane::py
