#include "lib/piece_cache.h"

#include <atomic>
#include <memory>
#include <new>

namespace quorvane {

PieceCache* PieceCache::for_thread() {
  // Freed when the thread ends; a thread that never encodes allocates nothing.
  thread_local std::unique_ptr<PieceCache> cache;
  if (!cache) cache.reset(new (std::nothrow) PieceCache());
  return cache.get();
}

uint32_t next_model_serial() {
  static std::atomic<uint32_t> last{0};
  uint32_t serial = last.fetch_add(1, std::memory_order_relaxed) + 1;
  // After 2^32 loads the count wraps; 0 stays "no serial".
  while (serial == 0) serial = last.fetch_add(1, std::memory_order_relaxed) + 1;
  return serial;
}

}  // namespace quorvane
