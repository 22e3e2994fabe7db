// RAII for the CPython C API: owned references, a scoped release of the
// interpreter lock, and small helpers shared by the binding files.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <utility>

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
  ~OwnedRef() { Py_XDECREF(p_); }

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

// Releases the interpreter lock for the scope. Nothing inside may touch Python
// objects.
class ReleaseGil {
 public:
  ReleaseGil() : state_(PyEval_SaveThread()) {}
  ReleaseGil(const ReleaseGil&) = delete;
  ReleaseGil& operator=(const ReleaseGil&) = delete;
  ~ReleaseGil() { PyEval_RestoreThread(state_); }

 private:
  PyThreadState* state_;
};

// The qualified name of `obj`'s type as a new str, or null with an error set.
inline PyObject* type_qualname(PyObject* obj) { return PyType_GetQualName(Py_TYPE(obj)); }

}  // namespace quorvane::py
