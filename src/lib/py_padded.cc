// The padded batch methods that hand numpy arrays back: encode_batch (uint32
// ids, uint8 mask) and encode_special_padded (int64 ids and mask with prefix,
// suffix, truncation and padding on either side).
#include <optional>
#include <string>
#include <vector>

#include "lib/py_args.h"
#include "lib/py_batch_frame.h"
#include "lib/py_errors.h"
#include "lib/py_gil.h"
#include "lib/py_methods.h"
#include "lib/py_padding.h"
#include "lib/py_ref.h"
#include "lib/py_tokenizer.h"

namespace quorvane::py {
namespace {

// Largest bytes object CPython can allocate, with room for the object header.
constexpr uint64_t kMaxBufferBytes = static_cast<uint64_t>(PY_SSIZE_T_MAX) - 4096;

// A fresh bytes object of rows x width cells, or null with a MemoryError that
// says which buffer did not fit.
PyObject* new_cell_buffer(const char* method, uint64_t rows, uint64_t width, uint64_t cell_bytes) {
  std::optional<uint64_t> bytes = buffer_bytes(rows, width, cell_bytes, kMaxBufferBytes);
  if (!bytes) {
    PyErr_Format(PyExc_MemoryError, "%s: a batch of %llu x %llu cells is too large", method,
                 static_cast<unsigned long long>(rows), static_cast<unsigned long long>(width));
    return nullptr;
  }
  PyObject* buffer = PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(*bytes));
  if (buffer == nullptr && PyErr_ExceptionMatches(PyExc_MemoryError)) {
    PyErr_Format(PyExc_MemoryError,
                 "%s: cannot allocate %llu bytes for a batch of %llu x %llu cells", method,
                 static_cast<unsigned long long>(*bytes), static_cast<unsigned long long>(rows),
                 static_cast<unsigned long long>(width));
  }
  return buffer;
}

template <class T>
T* cells_of(const OwnedRef& buffer) {
  return reinterpret_cast<T*>(PyBytes_AS_STRING(buffer.get()));
}

// numpy.frombuffer(bytes, dtype).reshape((rows, width)).copy()
PyObject* to_ndarray(PyObject* numpy, const OwnedRef& bytes, const char* dtype, uint64_t rows,
                     uint64_t width) {
  OwnedRef flat(PyObject_CallMethod(numpy, "frombuffer", "Os", bytes.get(), dtype));
  if (!flat) return nullptr;
  OwnedRef shape(Py_BuildValue("(KK)", static_cast<unsigned long long>(rows),
                               static_cast<unsigned long long>(width)));
  if (!shape) return nullptr;
  OwnedRef name(PyUnicode_FromString("reshape"));
  if (!name) return nullptr;
  OwnedRef shaped(PyObject_CallMethodOneArg(flat.get(), name.get(), shape.get()));
  if (!shaped) return nullptr;
  return PyObject_CallMethod(shaped.get(), "copy", nullptr);
}

// {"input_ids": ..., "attention_mask": ...}; numpy is imported only now, after
// all the work, so that every argument error comes first.
PyObject* arrays_dict(const char* missing_numpy, const OwnedRef& ids, const char* ids_dtype,
                      const OwnedRef& mask, const char* mask_dtype, uint64_t rows, uint64_t width) {
  OwnedRef numpy(PyImport_ImportModule("numpy"));
  if (!numpy) {
    PyErr_Clear();
    PyErr_SetString(PyExc_ValueError, missing_numpy);
    return nullptr;
  }
  OwnedRef result(PyDict_New());
  if (!result) return nullptr;
  OwnedRef id_array(to_ndarray(numpy.get(), ids, ids_dtype, rows, width));
  if (!id_array || PyDict_SetItemString(result.get(), "input_ids", id_array.get()) < 0) {
    return nullptr;
  }
  OwnedRef mask_array(to_ndarray(numpy.get(), mask, mask_dtype, rows, width));
  if (!mask_array || PyDict_SetItemString(result.get(), "attention_mask", mask_array.get()) < 0) {
    return nullptr;
  }
  return result.release();
}

const char* const kEncodeBatchParams[] = {"texts", "max_length", "pad_id", "num_threads"};
const char* const kSpecialPaddedParams[] = {"texts",      "prefix",     "suffix",     "max_length",
                                            "pad_id",     "truncation", "pad_to_max", "pad_left",
                                            "trunc_left", "num_threads"};

bool optional_length(PyObject* value, const char* name, std::optional<uint64_t>& out) {
  if (value == nullptr || value == Py_None) return true;
  uint64_t v;
  if (!arg_u64(value, name, v)) return false;
  out = v;
  return true;
}

}  // namespace

PyObject* tok_encode_batch(QV_FASTCALL_PARAMS) {
  static const MethodParams kParams{"Tokenizer.encode_batch()", kEncodeBatchParams, 4, 1};
  PyObject* values[4];
  if (!bind_args(kParams, args, nargs, kwnames, values)) return nullptr;
  TokenizerObject* tok = check_self(self);
  if (tok == nullptr) return nullptr;
  SharedBorrow borrow;
  if (!borrow.acquire(tok->borrow)) return nullptr;
  TextBatch texts;
  if (!texts_from_object(values[0], "texts", texts)) return nullptr;
  std::optional<uint64_t> max_length;
  if (!optional_length(values[1], "max_length", max_length)) return nullptr;
  uint32_t pad_id = 0;
  if (values[2] != nullptr && !arg_u32(values[2], "pad_id", pad_id)) return nullptr;
  uint64_t num_threads = 0;
  if (values[3] != nullptr && !arg_u64(values[3], "num_threads", num_threads)) return nullptr;

  Rows rows;
  if (!run_unlocked([&] {
        return encode_rows(tok->model, texts, RowEncoder::kOrdinary, num_threads, false, rows);
      })) {
    return nullptr;
  }
  texts = TextBatch();
  const uint64_t n_rows = rows.size();
  const uint64_t width = plain_width(rows, max_length);
  OwnedRef ids(new_cell_buffer("encode_batch", n_rows, width, sizeof(uint32_t)));
  if (!ids) return nullptr;
  OwnedRef mask(new_cell_buffer("encode_batch", n_rows, width, sizeof(uint8_t)));
  if (!mask) return nullptr;
  // Both buffers are new and referenced only here.
  without_gil([&] {
    fill_plain(rows, width, pad_id, cells_of<uint32_t>(ids), cells_of<uint8_t>(mask));
    Rows().swap(rows);
  });
  return arrays_dict("encode_batch requires numpy (pip install numpy)", ids, "uint32", mask,
                     "uint8", n_rows, width);
}

PyObject* tok_encode_special_padded(QV_FASTCALL_PARAMS) {
  static const MethodParams kParams{"Tokenizer.encode_special_padded()", kSpecialPaddedParams, 10,
                                    3};
  PyObject* values[10];
  if (!bind_args(kParams, args, nargs, kwnames, values)) return nullptr;
  TokenizerObject* tok = check_self(self);
  if (tok == nullptr) return nullptr;
  SharedBorrow borrow;
  if (!borrow.acquire(tok->borrow)) return nullptr;
  TextBatch texts;
  SpecialLayout layout;
  uint64_t num_threads = 0;
  if (!texts_from_object(values[0], "texts", texts) ||
      !i64s_from_object(values[1], "prefix", layout.prefix) ||
      !i64s_from_object(values[2], "suffix", layout.suffix) ||
      !optional_length(values[3], "max_length", layout.max_length) ||
      (values[4] != nullptr && !arg_i64(values[4], "pad_id", layout.pad_id)) ||
      (values[5] != nullptr && !arg_bool(values[5], "truncation", layout.truncation)) ||
      (values[6] != nullptr && !arg_bool(values[6], "pad_to_max", layout.pad_to_max)) ||
      (values[7] != nullptr && !arg_bool(values[7], "pad_left", layout.pad_left)) ||
      (values[8] != nullptr && !arg_bool(values[8], "trunc_left", layout.trunc_left)) ||
      (values[9] != nullptr && !arg_u64(values[9], "num_threads", num_threads))) {
    return nullptr;
  }
  // A pad_to_max width that cannot hold the prefix and suffix has no layout.
  if (std::string refusal = special_layout_error(layout); !refusal.empty()) {
    return raise_value_error(refusal);
  }

  Rows rows;
  if (!run_unlocked([&] {
        return encode_rows(tok->model, texts, RowEncoder::kSpecial, num_threads, false, rows);
      })) {
    return nullptr;
  }
  texts = TextBatch();
  const uint64_t n_rows = rows.size();
  const uint64_t width = special_width(rows, layout);
  OwnedRef ids(new_cell_buffer("encode_special_padded", n_rows, width, sizeof(int64_t)));
  if (!ids) return nullptr;
  OwnedRef mask(new_cell_buffer("encode_special_padded", n_rows, width, sizeof(int64_t)));
  if (!mask) return nullptr;
  // Both buffers are new and referenced only here.
  without_gil([&] {
    fill_special(rows, layout, width, cells_of<int64_t>(ids), cells_of<int64_t>(mask));
    Rows().swap(rows);
  });
  return arrays_dict("return_tensors requires numpy (pip install numpy)", ids, "int64", mask,
                     "int64", n_rows, width);
}

}  // namespace quorvane::py
