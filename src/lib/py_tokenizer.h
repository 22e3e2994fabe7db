// The Python class quorvane.Tokenizer: instance layout, the class object, the
// self check and construction from a tokenizer.json path.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <string_view>

#include "lib/py_borrow.h"
#include "lib/tokenizer.h"

namespace quorvane::py {

struct TokenizerObject {
  PyObject_HEAD Tokenizer model;
  // Links of the list of live objects (py_fork.h).
  TokenizerObject* prev_live;
  TokenizerObject* next_live;
  BorrowCounter borrow;
};

// The class, created on first use and kept for the process (borrowed), or null
// with an error set.
PyTypeObject* tokenizer_type();

// Returns `self` as a TokenizerObject, or null with the type-check TypeError
// naming 'Tokenizer'.
TokenizerObject* check_self(PyObject* self);

// Loads `path` with the interpreter lock held and wraps the model in a new
// object; ValueError with the loader's message on failure.
PyObject* tokenizer_from_path(std::string_view path);

}  // namespace quorvane::py
