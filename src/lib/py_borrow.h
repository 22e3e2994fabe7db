// The borrow counter of a Tokenizer object: shared borrows for readers, one
// exclusive borrow for the writer. A busy object fails at once; nothing waits.
//
// Every borrow a thread holds is also linked into that thread's list of held
// borrows, so that a forked child can set each counter to what its one thread
// still holds (see py_fork.h): threads that held borrows in the parent do not
// exist in the child.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <atomic>
#include <cstdint>

namespace quorvane::py {

// 0 free; k shared borrows; all-ones one exclusive borrow.
using BorrowCounter = std::atomic<uint64_t>;
inline constexpr uint64_t kExclusive = ~uint64_t{0};

// Returns false with RuntimeError set when an exclusive borrow is held.
inline bool try_borrow_shared(BorrowCounter& c) {
  uint64_t cur = c.load(std::memory_order_relaxed);
  for (;;) {
    if (cur == kExclusive) {
      PyErr_SetString(PyExc_RuntimeError, "Already mutably borrowed");
      return false;
    }
    if (c.compare_exchange_weak(cur, cur + 1, std::memory_order_acquire, std::memory_order_relaxed))
      return true;
  }
}

inline void release_shared(BorrowCounter& c) { c.fetch_sub(1, std::memory_order_release); }

// Returns false with RuntimeError set when any borrow is held.
inline bool try_borrow_exclusive(BorrowCounter& c) {
  uint64_t expected = 0;
  if (c.compare_exchange_strong(expected, kExclusive, std::memory_order_acquire,
                                std::memory_order_relaxed))
    return true;
  PyErr_SetString(PyExc_RuntimeError, "Already borrowed");
  return false;
}

inline void release_exclusive(BorrowCounter& c) { c.store(0, std::memory_order_release); }

// One borrow held by the current thread, linked from t_held_borrows.
struct HeldBorrow {
  BorrowCounter* counter = nullptr;
  bool exclusive = false;
  HeldBorrow* next = nullptr;
};

// The borrows the current thread holds, most recent first.
inline thread_local HeldBorrow* t_held_borrows = nullptr;

// Holds a borrow for its scope once `acquire` succeeded: shared, or the
// exclusive one.
template <bool Exclusive>
class ScopedBorrow {
 public:
  ScopedBorrow() = default;
  ScopedBorrow(const ScopedBorrow&) = delete;
  ScopedBorrow& operator=(const ScopedBorrow&) = delete;
  ~ScopedBorrow() {
    if (held_.counter == nullptr) return;
    unlink();
    if constexpr (Exclusive) {
      release_exclusive(*held_.counter);
    } else {
      release_shared(*held_.counter);
    }
  }
  bool acquire(BorrowCounter& c) {
    if (!(Exclusive ? try_borrow_exclusive(c) : try_borrow_shared(c))) return false;
    held_ = HeldBorrow{&c, Exclusive, t_held_borrows};
    t_held_borrows = &held_;
    return true;
  }

 private:
  // Guards end in reverse order of acquisition, so this is almost always the head.
  void unlink() {
    HeldBorrow** link = &t_held_borrows;
    while (*link != nullptr && *link != &held_) link = &(*link)->next;
    if (*link != nullptr) *link = held_.next;
  }

  HeldBorrow held_;
};

using SharedBorrow = ScopedBorrow<false>;
using ExclusiveBorrow = ScopedBorrow<true>;

}  // namespace quorvane::py
