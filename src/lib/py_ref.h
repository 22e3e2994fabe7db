// RAII for the CPython C API: owned references, and small helpers shared by
// the binding files. Releasing the interpreter lock is in py_gil.h.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <utility>

#include "lib/py_gil.h"

namespace quorvane::py {

// Owns one strong reference (or none); releases it on destruction.
class OwnedRef {
 public:
  OwnedRef() = default;
  explicit OwnedRef(PyObject* p) : p_(p) {}  // steals
  OwnedRef(const OwnedRef&) = delete;
  OwnedRef& operator=(const OwnedRef&) = delete;
  OwnedRef(OwnedRef&& o) noexcept : p_(std::exchange(o.p_, nullptr)) {}
  OwnedRef& operator=(OwnedRef&& o) noexcept {
    if (this != &o) reset(std::exchange(o.p_, nullptr));
    return *this;
  }
  // A thread that the interpreter is ending at exit must not touch it: the
  // reference is left behind (py_gil.h).
  ~OwnedRef() {
    if (p_ != nullptr && holds_interpreter()) Py_DECREF(p_);
  }

  static OwnedRef borrowed(PyObject* p) {
    Py_XINCREF(p);
    return OwnedRef(p);
  }

  PyObject* get() const { return p_; }
  explicit operator bool() const { return p_ != nullptr; }
  // Hands the reference to the caller.
  PyObject* release() { return std::exchange(p_, nullptr); }
  void reset(PyObject* p = nullptr) {
    PyObject* old = std::exchange(p_, p);
    Py_XDECREF(old);
  }

 private:
  PyObject* p_ = nullptr;
};

// The qualified name of `obj`'s type as a new str, or null with an error set.
inline PyObject* type_qualname(PyObject* obj) { return PyType_GetQualName(Py_TYPE(obj)); }

}  // namespace quorvane::py
