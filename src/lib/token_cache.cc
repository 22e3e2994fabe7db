#include "lib/token_cache.h"

#include <memory>
#include <new>

namespace quorvane {

TokenCache* TokenCache::for_thread() {
  // Freed when the thread ends; a thread that never encodes allocates nothing.
  thread_local std::unique_ptr<TokenCache> cache;
  if (!cache) cache.reset(new (std::nothrow) TokenCache());
  return cache.get();
}

}  // namespace quorvane
