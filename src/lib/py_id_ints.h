// Id lists as Python lists of int. The int objects of ids come from one table
// for the whole process, filled on first use, so that a list item is a store
// (and at most a reference increment) instead of an int allocation. Where the
// table's ints are immortal, a list's items can also be written by a thread
// that does not hold the interpreter (`DetachedIdItems`).
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <atomic>
#include <cstddef>
#include <cstdint>

namespace quorvane::py {

// A new list of int, one per id, or null with an error set. Needs the
// interpreter (the lock on builds that have one).
//
// An id's int is shared by every Tokenizer and lives as long as the process,
// like the interpreter's small ints; where the interpreter has immortal
// objects (3.12 and 3.13 with the lock) it is made immortal, so that neither
// building a list nor freeing it writes to the int: on long lists those
// reference-count writes cost more than the stores themselves (about a third
// of the list's cost on mail text), and they are serial work in a parallel
// batch. Ids at or above 2^21 (special ids set high) are built each time.
PyObject* id_list(const uint32_t* ids, size_t n);

// Whether `DetachedIdItems` can be filled at all: the table's ints are
// immortal (writing an item writes no count) and a list takes over a PyMem
// block as its items (3.12 and 3.13 with the lock).
#if defined(_Py_IMMORTAL_REFCNT) && !defined(Py_GIL_DISABLED) && PY_VERSION_HEX < 0x030E0000
inline constexpr bool kDetachedIdItems = true;
#else
inline constexpr bool kDetachedIdItems = false;
#endif

// The items of one id list, written away from the interpreter so that the
// serial part of a parallel batch is only handing them to a list: `reserve`
// allocates room with the interpreter, `fill` writes the ids' ints from any
// thread without it, and `take_list` makes the list with the interpreter
// again. Ints the table does not hold yet are left null by `fill` and made by
// `take_list`. `reserve` may run while another thread calls `fill`, which then
// finds no room; otherwise one thread at a time. The object must be destroyed
// with the interpreter held.
class DetachedIdItems {
 public:
  DetachedIdItems() = default;
  DetachedIdItems(const DetachedIdItems&) = delete;
  DetachedIdItems& operator=(const DetachedIdItems&) = delete;
  ~DetachedIdItems();

  // Room for `capacity` items; false, with no error set, where the items
  // cannot be detached or the room cannot be had (id_list is then the way).
  bool reserve(size_t capacity);
  // Writes the items of ids[0 .. n) that fit in the room (take_list makes the
  // rest); false (nothing written) when no room was reserved before the call
  // began. Needs no interpreter.
  bool fill(const uint32_t* ids, size_t n);
  bool filled() const { return filled_; }
  // Whether the list needs the ids again (some int did not exist yet, or the
  // ids outgrew the room).
  bool needs_ids() const { return missing_ != 0; }
  // A new list of the filled items, or null with an error set; the items are
  // gone either way. `ids` are those given to `fill` (read only when
  // needs_ids()).
  PyObject* take_list(const uint32_t* ids);
  // Frees the room (with the interpreter), filled or not.
  void release();

 private:
  PyObject** items_ = nullptr;         // a PyMem block of room_ pointers
  std::atomic<bool> reserved_{false};  // publishes items_ and room_ to `fill`
  size_t room_ = 0;
  size_t size_ = 0;
  size_t missing_ = 0;
  bool filled_ = false;
};

}  // namespace quorvane::py
