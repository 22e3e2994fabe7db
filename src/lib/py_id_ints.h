// Id lists as Python lists of int. The int objects of ids come from one table
// for the whole process, filled on first use, so that a list item is a store
// (and at most a reference increment) instead of an int allocation.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

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

}  // namespace quorvane::py
