// The frame shared by every batch method: the conversions of their list
// arguments (texts, id sequences, int64 and bool lists) and the encoding of a
// text batch into rows, serially or on a worker pool with the lock released.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstdint>
#include <new>
#include <string>
#include <string_view>
#include <vector>

#include "lib/py_gil.h"
#include "lib/py_ref.h"
#include "lib/result.h"
#include "lib/tokenizer.h"

namespace quorvane::py {

// The texts of a batch as UTF-8 views into their own str objects, which the
// batch keeps alive. str is immutable, so the views stay valid without the
// interpreter lock; the batch itself must be destroyed with the lock held.
struct TextBatch {
  std::vector<OwnedRef> owners;
  std::vector<std::string_view> texts;
  uint64_t total_bytes = 0;

  TextBatch() = default;
  TextBatch(TextBatch&&) = default;
  TextBatch& operator=(TextBatch&&) = default;
  ~TextBatch();

  size_t size() const { return texts.size(); }
};

// `texts` conversion: a sequence (not a str) of str; errors follow the
// argument-prefix rule for `name`.
bool texts_from_object(PyObject* value, const char* name, TextBatch& out);

// Sequence arguments whose items are converted one by one: a str is refused
// with "Can't extract `str` to `Vec`", a non-sequence by the 'Sequence' type
// check; TypeErrors get the argument prefix for `name`.
bool strings_from_object(PyObject* value, const char* name, std::vector<std::string>& out);
bool i64s_from_object(PyObject* value, const char* name, std::vector<int64_t>& out);
bool bools_from_object(PyObject* value, const char* name, std::vector<uint8_t>& out);
// decode_batch's `sequences`: each item converted as decode's `tokens`.
bool id_lists_from_object(PyObject* value, const char* name,
                          std::vector<std::vector<uint32_t>>& out);

// A Python bool or numpy boolean scalar, nothing else.
bool arg_bool(PyObject* value, const char* name, bool& out);
// A signed 64-bit int through __index__; range errors are the interpreter's.
bool arg_i64(PyObject* value, const char* name, int64_t& out);

enum class RowEncoder { kOrdinary, kSpecial };

// Encodes every text into rows[i] (resized to texts.size()). Call with the
// interpreter lock released. encode_ordinary_batch passes parallel_when_small.
InternalCheck encode_rows(const Tokenizer& model, const TextBatch& texts, RowEncoder encoder,
                          uint64_t num_threads, bool parallel_when_small,
                          std::vector<std::vector<uint32_t>>& rows);

// Raises the internal-failure exception; always returns false.
bool raise_batch_failure(InternalCheck failed);

// Runs `work` with the interpreter lock released and turns what it reports into
// a Python error: kOutOfMemory (or bad_alloc) into MemoryError, any other
// non-null InternalCheck into the internal-failure exception. Returns false
// with the error set.
template <class Work>
bool run_unlocked(Work&& work) {
  InternalCheck failed = without_gil(work);
  return failed == nullptr || raise_batch_failure(failed);
}

}  // namespace quorvane::py
