#include "lib/py_args.h"

#include <string>

#include "lib/py_ref.h"

namespace quorvane::py {
namespace {

void too_many_positional(const MethodParams& p, Py_ssize_t given) {
  const char* verb = given == 1 ? "was" : "were";
  if (p.required < p.count) {
    PyErr_Format(PyExc_TypeError, "%s takes from %d to %d positional arguments but %zd %s given",
                 p.method, p.required, p.count, given, verb);
  } else {
    PyErr_Format(PyExc_TypeError, "%s takes %d positional arguments but %zd %s given", p.method,
                 p.count, given, verb);
  }
}

bool missing_required(const MethodParams& p, PyObject* const* values) {
  int missing[64];
  int k = 0;
  for (int i = 0; i < p.required; ++i)
    if (values[i] == nullptr) missing[k++] = i;
  if (k == 0) return true;
  std::string names;
  for (int j = 0; j < k; ++j) {
    if (j > 0) {
      if (k > 2) names += ",";
      names += j + 1 == k ? " and " : " ";
    }
    names += '\'';
    names += p.names[missing[j]];
    names += '\'';
  }
  PyErr_Format(PyExc_TypeError, "%s missing %d required positional %s: %s", p.method, k,
               k == 1 ? "argument" : "arguments", names.c_str());
  return false;
}

// Places one keyword value; false with TypeError set when it cannot.
bool place_keyword(const MethodParams& p, PyObject* key, PyObject* value, PyObject** values) {
  for (int i = 0; i < p.count; ++i) {
    if (PyUnicode_Check(key) && PyUnicode_CompareWithASCIIString(key, p.names[i]) == 0) {
      if (values[i] != nullptr) {
        PyErr_Format(PyExc_TypeError, "%s got multiple values for argument '%s'", p.method,
                     p.names[i]);
        return false;
      }
      values[i] = value;
      return true;
    }
  }
  PyErr_Format(PyExc_TypeError, "%s got an unexpected keyword argument '%S'", p.method, key);
  return false;
}

}  // namespace

bool bind_args(const MethodParams& p, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
               PyObject** values) {
  nargs = PyVectorcall_NARGS(nargs);
  if (nargs > p.count) {
    too_many_positional(p, nargs);
    return false;
  }
  for (int i = 0; i < p.count; ++i) values[i] = i < nargs ? args[i] : nullptr;
  if (kwnames != nullptr) {
    Py_ssize_t nkw = PyTuple_GET_SIZE(kwnames);
    for (Py_ssize_t j = 0; j < nkw; ++j)
      if (!place_keyword(p, PyTuple_GET_ITEM(kwnames, j), args[nargs + j], values)) return false;
  }
  return missing_required(p, values);
}

bool bind_args_tuple(const MethodParams& p, PyObject* args, PyObject* kwargs, PyObject** values) {
  Py_ssize_t nargs = PyTuple_GET_SIZE(args);
  if (nargs > p.count) {
    too_many_positional(p, nargs);
    return false;
  }
  for (int i = 0; i < p.count; ++i) values[i] = i < nargs ? PyTuple_GET_ITEM(args, i) : nullptr;
  if (kwargs != nullptr) {
    Py_ssize_t pos = 0;
    PyObject* key;
    PyObject* value;
    while (PyDict_Next(kwargs, &pos, &key, &value))
      if (!place_keyword(p, key, value, values)) return false;
  }
  return missing_required(p, values);
}

bool raise_not_instance(PyObject* value, const char* expected) {
  if (value == Py_None) {
    PyErr_Format(PyExc_TypeError, "'None' is not an instance of '%s'", expected);
    return false;
  }
  OwnedRef name(type_qualname(value));
  if (!name) return false;
  PyErr_Format(PyExc_TypeError, "'%U' object is not an instance of '%s'", name.get(), expected);
  return false;
}

void prefix_argument_error(const char* name) {
#if PY_VERSION_HEX >= 0x030C0000
  OwnedRef exc(PyErr_GetRaisedException());
  if (!exc) return;
  if (Py_TYPE(exc.get()) != reinterpret_cast<PyTypeObject*>(PyExc_TypeError)) {
    PyErr_SetRaisedException(exc.release());
    return;
  }
#else
  PyObject *type, *val, *tb;
  PyErr_Fetch(&type, &val, &tb);
  if (type == nullptr) return;
  if (type != PyExc_TypeError) {
    PyErr_Restore(type, val, tb);
    return;
  }
  PyErr_NormalizeException(&type, &val, &tb);
  Py_XDECREF(type);
  Py_XDECREF(tb);
  OwnedRef exc(val);
  if (!exc) return;
#endif
  OwnedRef text(PyObject_Str(exc.get()));
  if (!text) return;
  OwnedRef message(PyUnicode_FromFormat("argument '%s': %U", name, text.get()));
  if (!message) return;
  OwnedRef replacement(PyObject_CallOneArg(PyExc_TypeError, message.get()));
  if (!replacement) return;
  PyException_SetCause(replacement.get(), PyException_GetCause(exc.get()));  // steals the cause
  PyErr_SetObject(PyExc_TypeError, replacement.get());
}

bool str_view(PyObject* value, std::string_view& out) {
  if (!PyUnicode_Check(value)) return raise_not_instance(value, "str");
  Py_ssize_t len = 0;
  const char* data = PyUnicode_AsUTF8AndSize(value, &len);
  if (data == nullptr) return false;
  out = std::string_view(data, static_cast<size_t>(len));
  return true;
}

bool arg_str(PyObject* value, const char* name, std::string_view& out) {
  if (str_view(value, out)) return true;
  prefix_argument_error(name);
  return false;
}

namespace {

bool arg_long(PyObject* value, const char* name, long& out) {
  out = PyLong_AsLong(value);
  if (out == -1 && PyErr_Occurred()) {
    prefix_argument_error(name);
    return false;
  }
  return true;
}

}  // namespace

bool arg_u32(PyObject* value, const char* name, uint32_t& out) {
  long v;
  if (!arg_long(value, name, v)) return false;
  if (v < 0 || static_cast<unsigned long>(v) > UINT32_MAX) {
    PyErr_SetString(PyExc_OverflowError, kOutOfRange);
    return false;
  }
  out = static_cast<uint32_t>(v);
  return true;
}

bool arg_u8(PyObject* value, const char* name, uint8_t& out) {
  long v;
  if (!arg_long(value, name, v)) return false;
  if (v < 0 || v > UINT8_MAX) {
    PyErr_SetString(PyExc_OverflowError, kOutOfRange);
    return false;
  }
  out = static_cast<uint8_t>(v);
  return true;
}

bool arg_u64(PyObject* value, const char* name, uint64_t& out) {
  OwnedRef index(PyNumber_Index(value));
  if (!index) {
    prefix_argument_error(name);
    return false;
  }
  unsigned long long v = PyLong_AsUnsignedLongLong(index.get());
  if (v == static_cast<unsigned long long>(-1) && PyErr_Occurred()) {
    prefix_argument_error(name);
    return false;
  }
  out = v;
  return true;
}

}  // namespace quorvane::py
