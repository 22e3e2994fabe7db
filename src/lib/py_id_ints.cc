#include "lib/py_id_ints.h"

#include <cstdlib>
#include <new>

#include "lib/py_ref.h"

namespace quorvane::py {

IdInts::Slot* IdInts::slots() {
  Slot* table = slots_.load(std::memory_order_acquire);
  if (table != nullptr || size_ == 0) return table;
  // calloc: a large zeroed block is mapped lazily, so only the pages of ids
  // actually used become resident. All-zero bytes are null atomic pointers.
  static_assert(sizeof(Slot) == sizeof(PyObject*));
  auto* fresh = static_cast<Slot*>(std::calloc(size_, sizeof(Slot)));
  if (fresh == nullptr) return nullptr;
  if (slots_.compare_exchange_strong(table, fresh, std::memory_order_acq_rel,
                                     std::memory_order_acquire)) {
    return fresh;
  }
  std::free(fresh);
  return table;
}

PyObject* IdInts::fill(Slot& slot, uint32_t id) {
  PyObject* fresh = PyLong_FromLong(static_cast<long>(id));
  if (fresh == nullptr) return nullptr;
  PyObject* seen = nullptr;
  if (slot.compare_exchange_strong(seen, fresh, std::memory_order_acq_rel,
                                   std::memory_order_acquire)) {
    return fresh;
  }
  Py_DECREF(fresh);
  return seen;
}

PyObject* IdInts::list(const uint32_t* ids, size_t n) {
  OwnedRef out(PyList_New(static_cast<Py_ssize_t>(n)));
  if (!out) return nullptr;
  Slot* table = slots();
  const size_t size = table == nullptr ? 0 : size_;
  PyObject** items = reinterpret_cast<PyListObject*>(out.get())->ob_item;
  for (size_t i = 0; i < n; ++i) {
    const uint32_t id = ids[i];
    PyObject* item;
    if (id < size) {
      item = table[id].load(std::memory_order_acquire);
      if (item == nullptr) {
        item = fill(table[id], id);
        if (item == nullptr) return nullptr;
      }
      Py_INCREF(item);
    } else {
      // Ids are below 2^32; the signed constructor has the quicker path.
      item = PyLong_FromLong(static_cast<long>(id));
      if (item == nullptr) return nullptr;
    }
    items[i] = item;
  }
  return out.release();
}

void IdInts::clear() {
  Slot* table = slots_.exchange(nullptr, std::memory_order_acq_rel);
  if (table == nullptr) return;
  for (size_t i = 0; i < size_; ++i) Py_XDECREF(table[i].load(std::memory_order_relaxed));
  std::free(table);
}

}  // namespace quorvane::py
