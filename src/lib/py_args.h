// Binding of Python call arguments to a method's parameters, and conversion of
// argument values, with the binding layer's error messages.
//
// Every parameter is positional-or-keyword; the first `required` have no
// default. Conversion helpers take the parameter name so that an error whose
// type is exactly TypeError is re-raised as "argument '{name}': {message}".
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstddef>
#include <cstdint>
#include <string_view>

namespace quorvane::py {

struct MethodParams {
  const char* method;  // as shown in messages: "Tokenizer.encode_ordinary()"
  const char* const* names;
  int count;
  int required;
};

// Fills values[0 .. p.count) with borrowed references, null where no value was
// given. Returns false with TypeError set on a wrong call shape.
bool bind_args(const MethodParams& p, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
               PyObject** values);
// The same for a tuple and an optional dict (tp_new).
bool bind_args_tuple(const MethodParams& p, PyObject* args, PyObject* kwargs, PyObject** values);

// Sets TypeError "'{type}' object is not an instance of '{expected}'" (or
// "'None' is not an instance of '{expected}'"). Always returns false.
bool raise_not_instance(PyObject* value, const char* expected);

// If the pending error's type is exactly TypeError, replaces it by
// TypeError "argument '{name}': {message}" carrying the first error's cause.
void prefix_argument_error(const char* name);

// A str (or subclass) as its cached UTF-8 form, valid while `value` lives.
// No argument prefix: the caller decides (items of a sequence have none).
bool str_view(PyObject* value, std::string_view& out);
// str_view with the argument prefix rule.
bool arg_str(PyObject* value, const char* name, std::string_view& out);

// Integers through __index__. Narrow targets refuse out-of-range values with
// OverflowError "out of range integral type conversion attempted"; the 64-bit
// one leaves range errors to the interpreter.
bool arg_u32(PyObject* value, const char* name, uint32_t& out);
bool arg_u8(PyObject* value, const char* name, uint8_t& out);
bool arg_u64(PyObject* value, const char* name, uint64_t& out);

// How many items to reserve room for, given the length `sequence` reports.
// Only a list's or tuple's own length is exact; any other length is a hint (a
// lazy view's __len__ may over-report), so room for more items is made as
// they really arrive.
inline size_t reserve_hint(PyObject* sequence, Py_ssize_t reported) {
  constexpr Py_ssize_t kMaxHinted = Py_ssize_t{1} << 16;
  if (reported <= 0) return 0;
  if (reported > kMaxHinted && !PyList_CheckExact(sequence) && !PyTuple_CheckExact(sequence))
    return static_cast<size_t>(kMaxHinted);
  return static_cast<size_t>(reported);
}

inline constexpr const char kOutOfRange[] = "out of range integral type conversion attempted";

}  // namespace quorvane::py
