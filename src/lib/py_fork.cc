#include "lib/py_fork.h"

#include <pthread.h>

#include <atomic>
#include <mutex>

#include "lib/py_borrow.h"
#include "lib/py_tokenizer.h"

namespace quorvane::py {
namespace {

// The live objects as an intrusive list (no allocation, so a child can walk it
// safely). The mutex is held across fork() so that the child's copy is whole.
struct Registry {
  std::mutex mu;
  TokenizerObject* head = nullptr;
};

Registry& registry() {
  static Registry* r = new Registry;  // never destroyed: objects may outlive exit handlers
  return *r;
}

std::atomic<bool> g_pools_started{false};
std::atomic<bool> g_pools_lost{false};

void before_fork() { registry().mu.lock(); }

void after_fork_in_parent() { registry().mu.unlock(); }

void after_fork_in_child() {
  if (g_pools_started.load(std::memory_order_relaxed)) {
    g_pools_lost.store(true, std::memory_order_relaxed);
  }
  Registry& r = registry();
  for (TokenizerObject* tok = r.head; tok != nullptr; tok = tok->next_live) {
    uint64_t own = 0;
    for (const HeldBorrow* h = t_held_borrows; h != nullptr; h = h->next) {
      if (h->counter != &tok->borrow) continue;
      if (h->exclusive) {
        own = kExclusive;
        break;
      }
      ++own;
    }
    tok->borrow.store(own, std::memory_order_relaxed);
  }
  r.mu.unlock();
}

}  // namespace

void install_fork_handlers() {
  static const bool installed = [] {
    registry();  // exists before the first fork
    return pthread_atfork(before_fork, after_fork_in_parent, after_fork_in_child) == 0;
  }();
  (void)installed;
}

void register_object(TokenizerObject* tok) {
  Registry& r = registry();
  std::lock_guard<std::mutex> lock(r.mu);
  tok->prev_live = nullptr;
  tok->next_live = r.head;
  if (r.head != nullptr) r.head->prev_live = tok;
  r.head = tok;
}

void unregister_object(TokenizerObject* tok) {
  Registry& r = registry();
  std::lock_guard<std::mutex> lock(r.mu);
  if (tok->prev_live != nullptr) {
    tok->prev_live->next_live = tok->next_live;
  } else if (r.head == tok) {
    r.head = tok->next_live;
  }
  if (tok->next_live != nullptr) tok->next_live->prev_live = tok->prev_live;
  tok->prev_live = tok->next_live = nullptr;
}

void note_pools_started() { g_pools_started.store(true, std::memory_order_relaxed); }

bool pools_usable() { return !g_pools_lost.load(std::memory_order_relaxed); }

}  // namespace quorvane::py
