// The per-text decode methods (ids from a sequence or a uint32 buffer) and the
// conversions they share with decode_batch.
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "lib/decode.h"
#include "lib/py_args.h"
#include "lib/py_errors.h"
#include "lib/py_gil.h"
#include "lib/py_methods.h"
#include "lib/py_ref.h"
#include "lib/py_tokenizer.h"

namespace quorvane::py {

PyObject* bytes_to_pystr(std::string_view bytes) {
  // CPython's decoder takes its fast path for valid UTF-8 and, on ill-formed
  // input, the "replace" handler substitutes one U+FFFD per maximal subpart.
  return PyUnicode_DecodeUTF8(bytes.data(), static_cast<Py_ssize_t>(bytes.size()), "replace");
}

bool ids_from_sequence(PyObject* tokens, std::vector<uint32_t>& out) {
  out.clear();
  if (PyUnicode_Check(tokens)) {
    PyErr_SetString(PyExc_TypeError, "Can't extract `str` to `Vec`");
    return false;
  }
  if (!PySequence_Check(tokens)) return raise_not_instance(tokens, "Sequence");
  Py_ssize_t size = PyObject_Size(tokens);
  if (size < 0) {
    PyErr_Clear();
  } else {
    out.reserve(reserve_hint(tokens, size));
  }
  OwnedRef iter(PyObject_GetIter(tokens));
  if (!iter) return false;
  while (OwnedRef item{PyIter_Next(iter.get())}) {
    long v = PyLong_AsLong(item.get());
    if (v == -1 && PyErr_Occurred()) return false;
    if (v < 0 || static_cast<unsigned long>(v) > UINT32_MAX) {
      PyErr_SetString(PyExc_OverflowError, kOutOfRange);
      return false;
    }
    out.push_back(static_cast<uint32_t>(v));
  }
  return !PyErr_Occurred();
}

bool ids_from_object(PyObject* tokens, std::vector<uint32_t>& out) {
  out.clear();
  if (PyList_Check(tokens)) {
    out.reserve(static_cast<size_t>(PyList_GET_SIZE(tokens)));
    bool regular = true;
    // The length is re-read every step: an item's __index__ may change the list.
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(tokens); ++i) {
#if PY_VERSION_HEX >= 0x030D0000
      OwnedRef item(PyList_GetItemRef(tokens, i));
      if (!item) {
        regular = false;
        break;
      }
#else
      OwnedRef item = OwnedRef::borrowed(PyList_GET_ITEM(tokens, i));
#endif
      long long v = PyLong_AsLongLong(item.get());
      if ((v == -1 && PyErr_Occurred()) || v < 0 || v > static_cast<long long>(UINT32_MAX)) {
        regular = false;
        break;
      }
      out.push_back(static_cast<uint32_t>(v));
    }
    if (regular && !PyErr_Occurred()) return true;
    PyErr_Clear();
  }
  return ids_from_sequence(tokens, out);
}

namespace {

const char* const kTokensName[] = {"tokens"};

// Decodes with the lock released, then strips and builds the str.
PyObject* decode_ids(const Tokenizer& model, const std::vector<uint32_t>& ids) {
  std::string bytes;
  InternalCheck failed = without_gil([&] { return decode_bytes(model, ids, bytes); });
  if (failed != nullptr) return raise_internal(failed);
  return bytes_to_pystr(bytes);
}

// Releases a buffer view (with the interpreter lock held) on every path but
// that of a thread the interpreter is ending (py_gil.h).
struct BufferView {
  Py_buffer view{};
  bool held = false;
  ~BufferView() {
    if (held && holds_interpreter()) PyBuffer_Release(&view);
  }
};

// "I", "@I", or a standard-size little-endian/native-order 4-byte unsigned.
bool is_u32_format(const char* f) {
  if (f == nullptr) return false;  // absent means "B"
  if (std::strcmp(f, "I") == 0 || std::strcmp(f, "@I") == 0) return true;
  return (f[0] == '=' || f[0] == '<') && (f[1] == 'I' || f[1] == 'L') && f[2] == '\0';
}

}  // namespace

PyObject* tok_decode(QV_FASTCALL_PARAMS) {
  static const MethodParams kParams{"Tokenizer.decode()", kTokensName, 1, 1};
  PyObject* tokens;
  if (!bind_args(kParams, args, nargs, kwnames, &tokens)) return nullptr;
  TokenizerObject* tok = check_self(self);
  if (tok == nullptr) return nullptr;
  SharedBorrow borrow;
  if (!borrow.acquire(tok->borrow)) return nullptr;
  std::vector<uint32_t> ids;
  if (!ids_from_object(tokens, ids)) return nullptr;
  return decode_ids(tok->model, ids);
}

PyObject* tok_decode_array(QV_FASTCALL_PARAMS) {
  static const MethodParams kParams{"Tokenizer.decode_array()", kTokensName, 1, 1};
  PyObject* tokens;
  if (!bind_args(kParams, args, nargs, kwnames, &tokens)) return nullptr;
  TokenizerObject* tok = check_self(self);
  if (tok == nullptr) return nullptr;
  SharedBorrow borrow;
  if (!borrow.acquire(tok->borrow)) return nullptr;

  BufferView buf;
  if (PyObject_GetBuffer(tokens, &buf.view, PyBUF_FULL_RO) < 0) return nullptr;
  buf.held = true;
  const Py_buffer& v = buf.view;
  if (v.shape == nullptr) {
    PyErr_SetString(PyExc_BufferError, "shape is null");
    return nullptr;
  }
  if (v.strides == nullptr) {
    PyErr_SetString(PyExc_BufferError, "strides is null");
    return nullptr;
  }
  if (v.itemsize != 4 || !is_u32_format(v.format)) {
    PyErr_SetString(PyExc_BufferError, "buffer contents are not compatible with u32");
    return nullptr;
  }
  // An empty buffer's address means nothing (an empty array.array's may be odd).
  if (v.len > 0 && reinterpret_cast<uintptr_t>(v.buf) % 4 != 0) {
    PyErr_SetString(PyExc_BufferError, "buffer contents are insufficiently aligned for u32");
    return nullptr;
  }
  if (!PyBuffer_IsContiguous(&v, 'C')) {
    PyErr_SetString(PyExc_ValueError, "decode_array requires a C-contiguous uint32 buffer");
    return nullptr;
  }
  std::vector<uint32_t> ids(static_cast<size_t>(v.len) / 4);
  if (v.len > 0 &&
      PyBuffer_ToContiguous(ids.data(), &v, static_cast<Py_ssize_t>(ids.size() * 4), 'C') < 0)
    return nullptr;
  return decode_ids(tok->model, ids);
}

}  // namespace quorvane::py
