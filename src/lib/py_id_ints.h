// A per-Tokenizer table of int objects for ids, so that building an id list is
// a reference increment and a store per id instead of an int allocation.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <atomic>
#include <cstddef>
#include <cstdint>

namespace quorvane::py {

// One slot per id below `size`, each null until first used, then owning one
// reference. Slots and the array itself are published by compare-and-swap, so
// threads that build lists at the same time (free-threaded builds) agree on
// one object per id and leak none. Ids at or above `size` (special ids set
// later) are built each time.
class IdInts {
 public:
  IdInts() = default;
  IdInts(const IdInts&) = delete;
  IdInts& operator=(const IdInts&) = delete;
  // Needs the interpreter (drops the references it owns).
  ~IdInts() { clear(); }

  // Set before the first use. A vocabulary with absurdly high ids gets no
  // table rather than a huge mapping.
  void set_size(uint64_t n) { size_ = n <= kMaxSize ? static_cast<size_t>(n) : 0; }

  // A new list of int, one per id, or null with an error set.
  PyObject* list(const uint32_t* ids, size_t n);

  void clear();

 private:
  static constexpr uint64_t kMaxSize = uint64_t{1} << 24;
  using Slot = std::atomic<PyObject*>;
  Slot* slots();
  PyObject* fill(Slot& slot, uint32_t id);

  std::atomic<Slot*> slots_{nullptr};
  size_t size_ = 0;
};

}  // namespace quorvane::py
