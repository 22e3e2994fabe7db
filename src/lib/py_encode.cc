// The per-text encode methods: one text in, one engine call with the
// interpreter lock released, the ids out as a list, a count or raw bytes.
#include <string_view>
#include <utility>
#include <vector>

#include "lib/encode.h"
#include "lib/offsets.h"
#include "lib/py_args.h"
#include "lib/py_errors.h"
#include "lib/py_gil.h"
#include "lib/py_id_ints.h"
#include "lib/py_methods.h"
#include "lib/py_ref.h"
#include "lib/py_tokenizer.h"
#include "lib/special_tokens.h"

namespace quorvane::py {

PyObject* ids_to_pylist(const std::vector<uint32_t>& ids) {
  return id_list(ids.data(), ids.size());
}

namespace {

const char* const kTextName[] = {"text"};

enum class Output { kList, kCount, kBytes };

struct EncodeKind {
  MethodParams params;
  bool special;  // encode_with_specials instead of encode_text
  MergeStrategy strategy;
  bool add_prefix;
  Output output;
};

PyObject* run_encode(const EncodeKind& kind, QV_FASTCALL_PARAMS) {
  PyObject* text_obj;
  if (!bind_args(kind.params, args, nargs, kwnames, &text_obj)) return nullptr;
  TokenizerObject* tok = check_self(self);
  if (tok == nullptr) return nullptr;
  SharedBorrow borrow;
  if (!borrow.acquire(tok->borrow)) return nullptr;
  std::string_view text;
  if (!arg_str(text_obj, "text", text)) return nullptr;

  std::vector<uint32_t> ids;
  size_t count = 0;
  InternalCheck failed = without_gil([&] {
    InternalCheck check = kind.special
                              ? encode_with_specials(tok->model, text, ids)
                              : encode_text(tok->model, text, kind.strategy, kind.add_prefix, ids);
    if (kind.output == Output::kCount) {
      count = ids.size();
      std::vector<uint32_t>().swap(ids);
    }
    return check;
  });
  if (failed != nullptr) return raise_internal(failed);
  switch (kind.output) {
    case Output::kCount:
      return PyLong_FromSize_t(count);
    case Output::kBytes:
      return PyBytes_FromStringAndSize(reinterpret_cast<const char*>(ids.data()),
                                       static_cast<Py_ssize_t>(ids.size() * sizeof(uint32_t)));
    case Output::kList:
      break;
  }
  return ids_to_pylist(ids);
}

using enum MergeStrategy;
constexpr EncodeKind kEncodeOrdinary{
    {"Tokenizer.encode_ordinary()", kTextName, 1, 1}, false, kAuto, true, Output::kList};
constexpr EncodeKind kEncodeNoPrefix{
    {"Tokenizer.encode_ordinary_no_prefix()", kTextName, 1, 1}, false, kAuto, false, Output::kList};
constexpr EncodeKind kEncodeStream{
    {"Tokenizer._encode_ordinary_stream()", kTextName, 1, 1}, false, kStream, true, Output::kList};
constexpr EncodeKind kEncodeScan{
    {"Tokenizer._encode_ordinary_scan()", kTextName, 1, 1}, false, kScan, true, Output::kList};
constexpr EncodeKind kCountTokens{
    {"Tokenizer.count_tokens()", kTextName, 1, 1}, false, kAuto, true, Output::kCount};
constexpr EncodeKind kEncodeToBytes{
    {"Tokenizer.encode_to_bytes()", kTextName, 1, 1}, false, kAuto, true, Output::kBytes};
constexpr EncodeKind kEncodeSpecial{
    {"Tokenizer.encode_special()", kTextName, 1, 1}, true, kAuto, true, Output::kList};

}  // namespace

PyObject* tok_encode_ordinary(QV_FASTCALL_PARAMS) {
  return run_encode(kEncodeOrdinary, self, args, nargs, kwnames);
}
PyObject* tok_encode_ordinary_no_prefix(QV_FASTCALL_PARAMS) {
  return run_encode(kEncodeNoPrefix, self, args, nargs, kwnames);
}
PyObject* tok_encode_ordinary_stream(QV_FASTCALL_PARAMS) {
  return run_encode(kEncodeStream, self, args, nargs, kwnames);
}
PyObject* tok_encode_ordinary_scan(QV_FASTCALL_PARAMS) {
  return run_encode(kEncodeScan, self, args, nargs, kwnames);
}
PyObject* tok_count_tokens(QV_FASTCALL_PARAMS) {
  return run_encode(kCountTokens, self, args, nargs, kwnames);
}
PyObject* tok_encode_to_bytes(QV_FASTCALL_PARAMS) {
  return run_encode(kEncodeToBytes, self, args, nargs, kwnames);
}
PyObject* tok_encode_special(QV_FASTCALL_PARAMS) {
  return run_encode(kEncodeSpecial, self, args, nargs, kwnames);
}

PyObject* tok_encode_with_offsets(QV_FASTCALL_PARAMS) {
  static const MethodParams kParams{"Tokenizer.encode_with_offsets()", kTextName, 1, 1};
  PyObject* text_obj;
  if (!bind_args(kParams, args, nargs, kwnames, &text_obj)) return nullptr;
  TokenizerObject* tok = check_self(self);
  if (tok == nullptr) return nullptr;
  SharedBorrow borrow;
  if (!borrow.acquire(tok->borrow)) return nullptr;
  std::string_view text;
  if (!arg_str(text_obj, "text", text)) return nullptr;
  // The checks (the normalizer one included) run with the lock held.
  if (const char* refusal = offsets_refusal(tok->model, text)) {
    return refusal == kOutOfMemory ? PyErr_NoMemory() : raise_value_error(refusal);
  }

  std::vector<uint32_t> ids;
  std::vector<Span> spans;
  InternalCheck failed =
      without_gil([&] { return encode_with_offsets(tok->model, text, ids, spans); });
  if (failed != nullptr) return raise_internal(failed);
  OwnedRef id_list(ids_to_pylist(ids));
  if (!id_list) return nullptr;
  OwnedRef span_list(PyList_New(static_cast<Py_ssize_t>(spans.size())));
  if (!span_list) return nullptr;
  for (size_t i = 0; i < spans.size(); ++i) {
    PyObject* pair = Py_BuildValue("(KK)", static_cast<unsigned long long>(spans[i].start),
                                   static_cast<unsigned long long>(spans[i].end));
    if (pair == nullptr) return nullptr;
    PyList_SET_ITEM(span_list.get(), static_cast<Py_ssize_t>(i), pair);
  }
  return PyTuple_Pack(2, id_list.get(), span_list.get());
}

}  // namespace quorvane::py
