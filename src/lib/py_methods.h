// The methods of quorvane.Tokenizer and the conversion pieces they share.
//
// Every instance method follows one call protocol, in this order:
//   1. bind the arguments (bind_args; binding errors come first);
//   2. check self (check_self);
//   3. take the borrow (SharedBorrow, or ExclusiveBorrow for set_special_tokens),
//      held by an RAII guard so every exit path releases it;
//   4. convert the argument values in parameter order (arg_* helpers, which
//      apply the "argument '{name}': " prefix rule);
//   5. do the engine work with the interpreter lock released (without_gil), only
//      touching call-owned buffers and the read-only model;
//   6. build the Python result with the lock held; the guard releases the borrow.
// An internal failure reported by the engine (a non-null InternalCheck) is raised
// with raise_internal once the lock is held again.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstdint>
#include <string_view>
#include <vector>

#include "lib/tokenizer.h"

namespace quorvane::py {

#define QV_FASTCALL_PARAMS \
  PyObject *self, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames

// Table order. All are METH_FASTCALL | METH_KEYWORDS; the two constructors are
// also METH_STATIC (self is null).
PyObject* tok_reduce(QV_FASTCALL_PARAMS);
PyObject* tok_from_pretrained(QV_FASTCALL_PARAMS);
PyObject* tok_from_tiktoken(QV_FASTCALL_PARAMS);
PyObject* tok_encode_ordinary(QV_FASTCALL_PARAMS);
PyObject* tok_encode_ordinary_no_prefix(QV_FASTCALL_PARAMS);
PyObject* tok_set_special_tokens(QV_FASTCALL_PARAMS);
PyObject* tok_encode_special(QV_FASTCALL_PARAMS);
PyObject* tok_encode_special_batch(QV_FASTCALL_PARAMS);
PyObject* tok_encode_to_bytes(QV_FASTCALL_PARAMS);
PyObject* tok_encode_ordinary_stream(QV_FASTCALL_PARAMS);
PyObject* tok_encode_ordinary_scan(QV_FASTCALL_PARAMS);
PyObject* tok_count_tokens(QV_FASTCALL_PARAMS);
PyObject* tok_encode_with_offsets(QV_FASTCALL_PARAMS);
PyObject* tok_encode_ordinary_batch(QV_FASTCALL_PARAMS);
PyObject* tok_count_tokens_batch(QV_FASTCALL_PARAMS);
PyObject* tok_encode_batch(QV_FASTCALL_PARAMS);
PyObject* tok_encode_special_padded(QV_FASTCALL_PARAMS);
PyObject* tok_decode_batch(QV_FASTCALL_PARAMS);
PyObject* tok_decode(QV_FASTCALL_PARAMS);
PyObject* tok_decode_array(QV_FASTCALL_PARAMS);

// ---- Shared conversion pieces (py_encode.cc, py_decode.cc) ----

struct TokenizerObject;

// A new list of int, one per id (py_id_ints.h).
PyObject* ids_to_pylist(const std::vector<uint32_t>& ids);

// decode's `tokens` conversion: a list fast path that falls back to the general
// path on any irregular item. No argument prefix on its errors.
bool ids_from_object(PyObject* tokens, std::vector<uint32_t>& out);
// The general path alone: refuses a str ("Can't extract `str` to `Vec`") and
// non-sequences ('Sequence' type check), then iterates; items through __index__,
// each in 0 .. 2^32-1 (OverflowError "out of range integral type conversion
// attempted"). Also the conversion of each item of decode_batch.
bool ids_from_sequence(PyObject* tokens, std::vector<uint32_t>& out);

// Decoded bytes to str: strict UTF-8 when valid, otherwise one U+FFFD per
// maximal ill-formed subsequence (CPython's "replace" handler). Never fails
// except for memory.
PyObject* bytes_to_pystr(std::string_view bytes);

}  // namespace quorvane::py
