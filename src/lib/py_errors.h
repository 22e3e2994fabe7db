// How engine failures become Python exceptions: load and special-token build
// messages as ValueError; broken internal invariants as quorvane.InternalError,
// which derives from BaseException so that `except Exception` does not hide it.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <string_view>

namespace quorvane::py {

// The exception type for internal failures, created once per process (borrowed
// reference), or null with an error set.
PyObject* internal_error_type();

// Sets ValueError with `message` as its only argument (undecodable bytes, which
// engine messages never hold, are replaced). Returns null for tail calls.
PyObject* raise_value_error(std::string_view message);

// Sets quorvane.InternalError with `what`, or MemoryError when `what` is
// kOutOfMemory. Returns null for tail calls.
PyObject* raise_internal(const char* what);

}  // namespace quorvane::py
