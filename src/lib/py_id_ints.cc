#include "lib/py_id_ints.h"

#include <atomic>
#include <cstdlib>

#include "lib/py_ref.h"

namespace quorvane::py {
namespace {

#if defined(_Py_IMMORTAL_REFCNT) && !defined(Py_GIL_DISABLED) && PY_VERSION_HEX < 0x030E0000
constexpr bool kImmortalInts = true;
void make_immortal(PyObject* object) { Py_SET_REFCNT(object, _Py_IMMORTAL_REFCNT); }
#else
constexpr bool kImmortalInts = false;
void make_immortal(PyObject*) {}
#endif

// One flat table of slots for ids below 2^21, more than any vocabulary has:
// 16 MiB of address space from calloc, which maps it untouched, so that only
// the pages of ids actually used become resident (about 8 bytes per id). A
// list item is then one load from it.
constexpr uint32_t kTableIds = uint32_t{1} << 21;

// Slots are published by compare-and-swap, so that threads building lists at
// the same time (free-threaded builds) agree on one object per id.
using Slot = std::atomic<PyObject*>;

// The table, or null with an error set. Never freed: its ints live as long as
// the process.
Slot* id_table() {
  // calloc: all-zero bytes are null atomic pointers.
  static_assert(sizeof(Slot) == sizeof(PyObject*));
  static Slot* const table = static_cast<Slot*>(std::calloc(kTableIds, sizeof(Slot)));
  if (table == nullptr) PyErr_NoMemory();
  return table;
}

// The table's int for `id` (a borrowed reference), built on first use, or
// null with an error set.
PyObject* fill(Slot& slot, uint32_t id) {
  PyObject* fresh = PyLong_FromLong(static_cast<long>(id));
  if (fresh == nullptr) return nullptr;
  PyObject* seen = nullptr;
  if (!slot.compare_exchange_strong(seen, fresh, std::memory_order_acq_rel,
                                    std::memory_order_acquire)) {
    Py_DECREF(fresh);
    return seen;
  }
  // The table's reference is never dropped, so the object is never freed
  // either way; immortal, its count is no longer written at all. (The
  // interpreter's small ints already are.)
  make_immortal(fresh);
  return fresh;
}

// A new reference to the int of `id`, or null with an error set.
PyObject* slow_item(Slot* table, uint32_t id) {
  if (id < kTableIds && table != nullptr) {
    Slot& slot = table[id];
    PyObject* item = slot.load(std::memory_order_acquire);
    if (item == nullptr) item = fill(slot, id);
    Py_XINCREF(item);
    return item;
  }
  // Ids are below 2^32; the signed constructor has the quicker path.
  return PyLong_FromLong(static_cast<long>(id));
}

// Fills items[0 .. n) with new references. On failure releases those it made
// and returns false with an error set.
bool fill_items(const uint32_t* ids, size_t n, PyObject** items) {
  Slot* const table = id_table();
  if (table == nullptr) return false;
  size_t i = 0;
  while (i < n) {
    // Four at a time while the four ints are all in the table already (nearly
    // always): one range test and one null test for the four.
    for (; i + 4 <= n; i += 4) {
      const uint32_t a = ids[i], b = ids[i + 1], c = ids[i + 2], d = ids[i + 3];
      if ((a | b | c | d) >= kTableIds) break;
      PyObject* const ia = table[a].load(std::memory_order_acquire);
      PyObject* const ib = table[b].load(std::memory_order_acquire);
      PyObject* const ic = table[c].load(std::memory_order_acquire);
      PyObject* const id = table[d].load(std::memory_order_acquire);
      if ((ia == nullptr) | (ib == nullptr) | (ic == nullptr) | (id == nullptr)) break;
      // An immortal's count is never written: the increment would do nothing.
      if constexpr (!kImmortalInts) {
        Py_INCREF(ia);
        Py_INCREF(ib);
        Py_INCREF(ic);
        Py_INCREF(id);
      }
      items[i] = ia;
      items[i + 1] = ib;
      items[i + 2] = ic;
      items[i + 3] = id;
    }
    // Otherwise one at a time, up to four (or the end).
    for (const size_t stop = i + 4 < n ? i + 4 : n; i < stop; ++i) {
      const uint32_t id = ids[i];
      PyObject* item = id < kTableIds ? table[id].load(std::memory_order_acquire) : nullptr;
      if (item != nullptr) {
        if constexpr (!kImmortalInts) Py_INCREF(item);
      } else {
        item = slow_item(table, id);
        if (item == nullptr) {
          for (size_t k = 0; k < i; ++k) Py_DECREF(items[k]);
          return false;
        }
      }
      items[i] = item;
    }
  }
  return true;
}

}  // namespace

PyObject* id_list(const uint32_t* ids, size_t n) {
  if (n > static_cast<size_t>(PY_SSIZE_T_MAX) / sizeof(PyObject*)) return PyErr_NoMemory();
#if !defined(Py_GIL_DISABLED) && PY_VERSION_HEX < 0x030E0000
  // The items are written once, into an array the list then takes over:
  // PyList_New would zero them first (8 bytes per id of memory written twice).
  // Up to 3.13 a list with the lock owns ob_item as a PyMem block of
  // `allocated` pointers.
  if (n == 0) return PyList_New(0);
  auto** items = static_cast<PyObject**>(PyMem_Malloc(n * sizeof(PyObject*)));
  if (items == nullptr) return PyErr_NoMemory();
  if (!fill_items(ids, n, items)) {
    PyMem_Free(items);
    return nullptr;
  }
  PyObject* out = PyList_New(0);
  if (out == nullptr) {
    for (size_t i = 0; i < n; ++i) Py_DECREF(items[i]);
    PyMem_Free(items);
    return nullptr;
  }
  auto* list = reinterpret_cast<PyListObject*>(out);
  list->ob_item = items;
  list->allocated = static_cast<Py_ssize_t>(n);
  Py_SET_SIZE(list, static_cast<Py_ssize_t>(n));
  return out;
#else
  OwnedRef out(PyList_New(static_cast<Py_ssize_t>(n)));
  if (!out) return nullptr;
  // Filled in place; on failure the items not yet written are still null,
  // which the list's deallocation skips.
  PyObject** items = reinterpret_cast<PyListObject*>(out.get())->ob_item;
  if (!fill_items(ids, n, items)) {
    for (size_t i = 0; i < n; ++i) items[i] = nullptr;
    return nullptr;
  }
  return out.release();
#endif
}

}  // namespace quorvane::py
