// Placeholders for the batch, padded and special-token methods until their
// implementations land; each refuses with NotImplementedError.
#include "lib/py_methods.h"

namespace quorvane::py {
namespace {

PyObject* not_yet(const char* name) {
  PyErr_Format(PyExc_NotImplementedError, "Tokenizer.%s() is not available yet", name);
  return nullptr;
}

}  // namespace

PyObject* tok_set_special_tokens(QV_FASTCALL_PARAMS) { return not_yet("set_special_tokens"); }
PyObject* tok_encode_special_batch(QV_FASTCALL_PARAMS) { return not_yet("encode_special_batch"); }
PyObject* tok_encode_ordinary_batch(QV_FASTCALL_PARAMS) { return not_yet("encode_ordinary_batch"); }
PyObject* tok_count_tokens_batch(QV_FASTCALL_PARAMS) { return not_yet("count_tokens_batch"); }
PyObject* tok_encode_batch(QV_FASTCALL_PARAMS) { return not_yet("encode_batch"); }
PyObject* tok_encode_special_padded(QV_FASTCALL_PARAMS) { return not_yet("encode_special_padded"); }
PyObject* tok_decode_batch(QV_FASTCALL_PARAMS) { return not_yet("decode_batch"); }

}  // namespace quorvane::py
