// The list-returning batch methods: encode_ordinary_batch, encode_special_batch,
// count_tokens_batch and decode_batch. Arguments are converted with the lock
// held and the engine runs over the items with it released. On the pool, the
// calling thread builds each row's list as the row finishes.
#include <string>
#include <vector>

#include "lib/decode.h"
#include "lib/encode.h"
#include "lib/py_args.h"
#include "lib/py_batch_frame.h"
#include "lib/py_methods.h"
#include "lib/py_ref.h"
#include "lib/py_tokenizer.h"
#include "lib/py_worker_pools.h"
#include "lib/special_tokens.h"

namespace quorvane::py {
namespace {

const char* const kTextsParams[] = {"texts", "num_threads"};
const char* const kSequencesParams[] = {"sequences", "num_threads"};

// Steps shared by the three text batches: bind, self, borrow, texts, num_threads.
struct TextCall {
  TokenizerObject* tok = nullptr;
  SharedBorrow borrow;
  TextBatch texts;
  uint64_t num_threads = 0;

  bool start(const MethodParams& params, QV_FASTCALL_PARAMS) {
    PyObject* values[2];
    if (!bind_args(params, args, nargs, kwnames, values)) return false;
    tok = check_self(self);
    if (tok == nullptr || !borrow.acquire(tok->borrow)) return false;
    if (!texts_from_object(values[0], "texts", texts)) return false;
    return values[1] == nullptr || arg_u64(values[1], "num_threads", num_threads);
  }
};

PyObject* rows_to_pylist(const std::vector<std::vector<uint32_t>>& rows) {
  OwnedRef list(PyList_New(static_cast<Py_ssize_t>(rows.size())));
  if (!list) return nullptr;
  for (size_t i = 0; i < rows.size(); ++i) {
    PyObject* row = ids_to_pylist(rows[i]);
    if (row == nullptr) return nullptr;
    PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), row);
  }
  return list.release();
}

struct ListBatch {
  const Tokenizer* model;
  const TextBatch* texts;
  RowEncoder encoder;
  std::vector<std::vector<uint32_t>> rows;
  PyObject* list;  // made by make_list, items filled as rows finish
};

InternalCheck encode_range(void* context, size_t begin, size_t end) {
  auto& b = *static_cast<ListBatch*>(context);
  for (size_t i = begin; i < end; ++i) {
    InternalCheck failed =
        b.encoder == RowEncoder::kSpecial
            ? encode_with_specials(*b.model, b.texts->texts[i], b.rows[i])
            : encode_text(*b.model, b.texts->texts[i], MergeStrategy::kAuto, true, b.rows[i]);
    if (failed != nullptr) return failed;
  }
  return nullptr;
}

// A text's cost to encode, about proportional to its length; the context is
// the TextBatch.
uint64_t text_bytes(const void* texts, size_t i) {
  return static_cast<const TextBatch*>(texts)->texts[i].size();
}

// Makes the result list while the helpers wake.
bool make_list(void* context) {
  auto& b = *static_cast<ListBatch*>(context);
  b.list = PyList_New(static_cast<Py_ssize_t>(b.texts->size()));
  return b.list != nullptr;
}

bool take_row(void* context, size_t i) {
  auto& b = *static_cast<ListBatch*>(context);
  PyObject* row = ids_to_pylist(b.rows[i]);
  if (row == nullptr) return false;
  PyList_SET_ITEM(b.list, static_cast<Py_ssize_t>(i), row);
  std::vector<uint32_t>().swap(b.rows[i]);
  return true;
}

struct CountBatch {
  const Tokenizer* model;
  const TextBatch* texts;
  std::vector<uint64_t> counts;
};

InternalCheck count_range(void* context, size_t begin, size_t end) {
  auto& b = *static_cast<CountBatch*>(context);
  std::vector<uint32_t> ids;
  for (size_t i = begin; i < end; ++i) {
    ids.clear();
    InternalCheck failed =
        encode_text(*b.model, b.texts->texts[i], MergeStrategy::kAuto, true, ids);
    if (failed != nullptr) return failed;
    b.counts[i] = ids.size();
  }
  return nullptr;
}

bool take_nothing(void*, size_t) { return true; }

PyObject* encode_list_batch(const MethodParams& params, RowEncoder encoder,
                            bool parallel_when_small, QV_FASTCALL_PARAMS) {
  TextCall call;
  if (!call.start(params, self, args, nargs, kwnames)) return nullptr;
  if (run_serially(call.num_threads, call.texts.size(), parallel_when_small)) {
    std::vector<std::vector<uint32_t>> rows;
    if (!run_unlocked([&] {
          return encode_rows(call.tok->model, call.texts, encoder, call.num_threads,
                             parallel_when_small, rows);
        })) {
      return nullptr;
    }
    call.texts = TextBatch();
    return rows_to_pylist(rows);
  }
  // On the pool, each row's list is built as soon as the row is done, while
  // the helpers encode the rest.
  ListBatch batch{&call.tok->model, &call.texts, encoder, {}, nullptr};
  batch.rows.resize(call.texts.size());
  bool no_memory = false;
  bool take_failed = false;
  InternalCheck failed = run_in_pool_taking(
      call.num_threads, call.texts.size(),
      min_task_length(call.texts.total_bytes, call.texts.size()), encode_range, &batch, text_bytes,
      &call.texts, Taker{take_row, make_list, &batch}, &no_memory, &take_failed);
  OwnedRef list(batch.list);
  if (take_failed) return nullptr;
  if (no_memory) return PyErr_NoMemory();
  if (failed != nullptr) {
    raise_batch_failure(failed);
    return nullptr;
  }
  if (!list) return make_list(&batch) ? batch.list : nullptr;  // no texts: no run was started
  return list.release();
}

}  // namespace

PyObject* tok_encode_ordinary_batch(QV_FASTCALL_PARAMS) {
  static const MethodParams kParams{"Tokenizer.encode_ordinary_batch()", kTextsParams, 2, 1};
  // The only batch method that goes to the pool even for fewer than two texts.
  return encode_list_batch(kParams, RowEncoder::kOrdinary, true, self, args, nargs, kwnames);
}

PyObject* tok_encode_special_batch(QV_FASTCALL_PARAMS) {
  static const MethodParams kParams{"Tokenizer.encode_special_batch()", kTextsParams, 2, 1};
  return encode_list_batch(kParams, RowEncoder::kSpecial, false, self, args, nargs, kwnames);
}

PyObject* tok_count_tokens_batch(QV_FASTCALL_PARAMS) {
  static const MethodParams kParams{"Tokenizer.count_tokens_batch()", kTextsParams, 2, 1};
  TextCall call;
  if (!call.start(kParams, self, args, nargs, kwnames)) return nullptr;
  CountBatch batch{&call.tok->model, &call.texts, {}};
  batch.counts.resize(call.texts.size());
  const size_t n = call.texts.size();
  if (run_serially(call.num_threads, n, false)) {
    if (!run_unlocked([&] { return count_range(&batch, 0, n); })) return nullptr;
  } else {
    // The same pool run as the list batches (heaviest chunks first), with
    // nothing to build as items finish.
    bool no_memory = false;
    bool take_failed = false;
    InternalCheck failed = run_in_pool_taking(
        call.num_threads, n, min_task_length(call.texts.total_bytes, n), count_range, &batch,
        text_bytes, &call.texts, Taker{take_nothing, nullptr, nullptr}, &no_memory, &take_failed);
    if (no_memory) return PyErr_NoMemory();
    if (failed != nullptr) {
      raise_batch_failure(failed);
      return nullptr;
    }
  }
  OwnedRef list(PyList_New(static_cast<Py_ssize_t>(n)));
  if (!list) return nullptr;
  for (size_t i = 0; i < n; ++i) {
    PyObject* count = PyLong_FromUnsignedLongLong(batch.counts[i]);
    if (count == nullptr) return nullptr;
    PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), count);
  }
  return list.release();
}

PyObject* tok_decode_batch(QV_FASTCALL_PARAMS) {
  static const MethodParams kParams{"Tokenizer.decode_batch()", kSequencesParams, 2, 1};
  PyObject* values[2];
  if (!bind_args(kParams, args, nargs, kwnames, values)) return nullptr;
  TokenizerObject* tok = check_self(self);
  if (tok == nullptr) return nullptr;
  SharedBorrow borrow;
  if (!borrow.acquire(tok->borrow)) return nullptr;
  std::vector<std::vector<uint32_t>> sequences;
  if (!id_lists_from_object(values[0], "sequences", sequences)) return nullptr;
  uint64_t num_threads = 0;
  if (values[1] != nullptr && !arg_u64(values[1], "num_threads", num_threads)) return nullptr;

  const Tokenizer& model = tok->model;
  uint64_t total = 0;
  for (const auto& ids : sequences) total += 4 * static_cast<uint64_t>(ids.size());
  std::vector<std::string> decoded(sequences.size());
  if (!run_unlocked([&] {
        return run_batch(num_threads, sequences.size(), total, false,
                         [&](size_t i) -> InternalCheck {
                           return decode_bytes(model, sequences[i], decoded[i]);
                         });
      })) {
    return nullptr;
  }
  std::vector<std::vector<uint32_t>>().swap(sequences);
  OwnedRef list(PyList_New(static_cast<Py_ssize_t>(decoded.size())));
  if (!list) return nullptr;
  for (size_t i = 0; i < decoded.size(); ++i) {
    PyObject* text = bytes_to_pystr(decoded[i]);
    if (text == nullptr) return nullptr;
    PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), text);
    std::string().swap(decoded[i]);
  }
  return list.release();
}

}  // namespace quorvane::py
