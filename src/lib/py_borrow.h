// The borrow counter of a Tokenizer object: shared borrows for readers, one
// exclusive borrow for the writer. A busy object fails at once; nothing waits.
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

// Holds a shared borrow for its scope once `acquire` succeeded.
class SharedBorrow {
 public:
  SharedBorrow() = default;
  SharedBorrow(const SharedBorrow&) = delete;
  SharedBorrow& operator=(const SharedBorrow&) = delete;
  ~SharedBorrow() {
    if (c_) release_shared(*c_);
  }
  bool acquire(BorrowCounter& c) {
    if (!try_borrow_shared(c)) return false;
    c_ = &c;
    return true;
  }

 private:
  BorrowCounter* c_ = nullptr;
};

// Holds the exclusive borrow for its scope once `acquire` succeeded.
class ExclusiveBorrow {
 public:
  ExclusiveBorrow() = default;
  ExclusiveBorrow(const ExclusiveBorrow&) = delete;
  ExclusiveBorrow& operator=(const ExclusiveBorrow&) = delete;
  ~ExclusiveBorrow() {
    if (c_) release_exclusive(*c_);
  }
  bool acquire(BorrowCounter& c) {
    if (!try_borrow_exclusive(c)) return false;
    c_ = &c;
    return true;
  }

 private:
  BorrowCounter* c_ = nullptr;
};

}  // namespace quorvane::py
