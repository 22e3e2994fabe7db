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

// Two levels, so that only the blocks of ids actually used are allocated:
// 512 blocks of 4096 slots cover ids below 2^21, more than any vocabulary has.
constexpr uint32_t kBlockBits = 12;
constexpr uint32_t kBlockSlots = uint32_t{1} << kBlockBits;
constexpr uint32_t kBlocks = 512;
constexpr uint32_t kTableIds = kBlocks * kBlockSlots;

// Slots and blocks are published by compare-and-swap, so that threads building
// lists at the same time (free-threaded builds) agree on one object per id.
using Slot = std::atomic<PyObject*>;

struct IdTable {
  std::atomic<Slot*> blocks[kBlocks] = {};
};

IdTable& id_table() {
  static IdTable* table = new IdTable;  // never destroyed: its ints live as long as the process
  return *table;
}

Slot* block_of(IdTable& table, uint32_t id) {
  std::atomic<Slot*>& entry = table.blocks[id >> kBlockBits];
  Slot* block = entry.load(std::memory_order_acquire);
  if (block != nullptr) return block;
  // calloc: all-zero bytes are null atomic pointers.
  static_assert(sizeof(Slot) == sizeof(PyObject*));
  auto* fresh = static_cast<Slot*>(std::calloc(kBlockSlots, sizeof(Slot)));
  if (fresh == nullptr) return nullptr;
  if (entry.compare_exchange_strong(block, fresh, std::memory_order_acq_rel,
                                    std::memory_order_acquire)) {
    return fresh;
  }
  std::free(fresh);
  return block;
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
PyObject* slow_item(uint32_t id) {
  if (id < kTableIds) {
    if (Slot* block = block_of(id_table(), id)) {
      Slot& slot = block[id & (kBlockSlots - 1)];
      PyObject* item = slot.load(std::memory_order_acquire);
      if (item == nullptr) item = fill(slot, id);
      Py_XINCREF(item);
      return item;
    }
    return PyErr_NoMemory();
  }
  // Ids are below 2^32; the signed constructor has the quicker path.
  return PyLong_FromLong(static_cast<long>(id));
}

}  // namespace

PyObject* id_list(const uint32_t* ids, size_t n) {
  OwnedRef out(PyList_New(static_cast<Py_ssize_t>(n)));
  if (!out) return nullptr;
  IdTable& table = id_table();
  PyObject** items = reinterpret_cast<PyListObject*>(out.get())->ob_item;
  for (size_t i = 0; i < n; ++i) {
    const uint32_t id = ids[i];
    PyObject* item = nullptr;
    if (id < kTableIds) {
      if (Slot* block = table.blocks[id >> kBlockBits].load(std::memory_order_acquire)) {
        item = block[id & (kBlockSlots - 1)].load(std::memory_order_acquire);
      }
    }
    if (item != nullptr) {
      // An immortal's count is never written: the increment would do nothing.
      if constexpr (!kImmortalInts) Py_INCREF(item);
    } else {
      item = slow_item(id);
      if (item == nullptr) return nullptr;
    }
    items[i] = item;
  }
  return out.release();
}

}  // namespace quorvane::py
