#include "lib/py_batch_frame.h"

#include <cstring>

#include "lib/encode.h"
#include "lib/py_args.h"
#include "lib/py_errors.h"
#include "lib/py_methods.h"
#include "lib/py_worker_pools.h"
#include "lib/special_tokens.h"

namespace quorvane::py {
namespace {

// Converts every item of a list-like argument with `item`, which returns false
// with an error set. Iteration errors pass through; TypeErrors get the prefix.
template <class Item>
bool for_each_item(PyObject* value, const char* name, Item&& item) {
  bool ok = false;
  if (PyUnicode_Check(value)) {
    PyErr_SetString(PyExc_TypeError, "Can't extract `str` to `Vec`");
  } else if (!PySequence_Check(value)) {
    raise_not_instance(value, "Sequence");
  } else if (OwnedRef iter{PyObject_GetIter(value)}) {
    ok = true;
    while (OwnedRef element{PyIter_Next(iter.get())}) {
      if (!item(element.get())) {
        ok = false;
        break;
      }
    }
    ok = ok && !PyErr_Occurred();
  }
  if (!ok) prefix_argument_error(name);
  return ok;
}

// The room to reserve for a sequence's items; 0 when it has no length.
size_t size_hint(PyObject* value) {
  if (PyUnicode_Check(value) || !PySequence_Check(value)) return 0;
  Py_ssize_t n = PyObject_Size(value);
  if (n < 0) {
    PyErr_Clear();
    return 0;
  }
  return reserve_hint(value, n);
}

bool is_numpy_bool(PyObject* value) {
  const char* name = Py_TYPE(value)->tp_name;
  return std::strcmp(name, "numpy.bool") == 0 || std::strcmp(name, "numpy.bool_") == 0;
}

bool bool_value(PyObject* value, bool& out) {
  if (PyBool_Check(value)) {
    out = value == Py_True;
    return true;
  }
  if (!is_numpy_bool(value)) return raise_not_instance(value, "bool");
  int truth = PyObject_IsTrue(value);
  if (truth < 0) return false;
  out = truth != 0;
  return true;
}

bool i64_value(PyObject* value, int64_t& out) {
  long long v = PyLong_AsLongLong(value);
  if (v == -1 && PyErr_Occurred()) return false;
  out = static_cast<int64_t>(v);
  return true;
}

// How far ahead a TextBatch fetches the strs it takes or releases.
constexpr size_t kTextsAhead = 8;

}  // namespace

bool raise_batch_failure(InternalCheck failed) {
  raise_internal(failed);
  return false;
}

TextBatch::~TextBatch() {
  if (!holds_interpreter()) return;  // the references are left behind (py_gil.h)
  // By the end of a large batch its strs are mostly out of cache: each is
  // fetched a few ahead of its release.
  for (size_t i = 0, n = owners.size(); i < n; ++i) {
    if (i + kTextsAhead < n) __builtin_prefetch(owners[i + kTextsAhead].get(), 1);
    owners[i].reset();
  }
}

bool texts_from_object(PyObject* value, const char* name, TextBatch& out) {
  if (PyList_CheckExact(value)) {
    // The usual case read straight from the list, each str fetched a few items
    // ahead: the strs of a large batch are mostly out of cache.
    const size_t n = static_cast<size_t>(PyList_GET_SIZE(value));
    out.owners.reserve(n);
    out.texts.reserve(n);
    auto item_at = [value](size_t i) { return PyList_GET_ITEM(value, static_cast<Py_ssize_t>(i)); };
    for (size_t i = 0; i < n; ++i) {
      if (i + kTextsAhead < n) __builtin_prefetch(item_at(i + kTextsAhead), 1);
      PyObject* item = item_at(i);
      std::string_view text;
      if (!str_view(item, text)) {
        prefix_argument_error(name);
        return false;
      }
      out.owners.push_back(OwnedRef::borrowed(item));
      out.texts.push_back(text);
      out.total_bytes += text.size();
    }
    return true;
  }
  size_t hint = size_hint(value);
  out.owners.reserve(hint);
  out.texts.reserve(hint);
  return for_each_item(value, name, [&](PyObject* item) {
    std::string_view text;
    if (!str_view(item, text)) return false;
    out.owners.push_back(OwnedRef::borrowed(item));
    out.texts.push_back(text);
    out.total_bytes += text.size();
    return true;
  });
}

bool strings_from_object(PyObject* value, const char* name, std::vector<std::string>& out) {
  out.reserve(size_hint(value));
  return for_each_item(value, name, [&](PyObject* item) {
    std::string_view text;
    if (!str_view(item, text)) return false;
    out.emplace_back(text);
    return true;
  });
}

bool i64s_from_object(PyObject* value, const char* name, std::vector<int64_t>& out) {
  out.reserve(size_hint(value));
  return for_each_item(value, name, [&](PyObject* item) {
    int64_t v = 0;
    if (!i64_value(item, v)) return false;
    out.push_back(v);
    return true;
  });
}

bool bools_from_object(PyObject* value, const char* name, std::vector<uint8_t>& out) {
  out.reserve(size_hint(value));
  return for_each_item(value, name, [&](PyObject* item) {
    bool v = false;
    if (!bool_value(item, v)) return false;
    out.push_back(v ? 1 : 0);
    return true;
  });
}

bool id_lists_from_object(PyObject* value, const char* name,
                          std::vector<std::vector<uint32_t>>& out) {
  out.reserve(size_hint(value));
  return for_each_item(value, name, [&](PyObject* item) {
    out.emplace_back();
    return ids_from_object(item, out.back());
  });
}

bool arg_bool(PyObject* value, const char* name, bool& out) {
  if (bool_value(value, out)) return true;
  prefix_argument_error(name);
  return false;
}

bool arg_i64(PyObject* value, const char* name, int64_t& out) {
  if (i64_value(value, out)) return true;
  prefix_argument_error(name);
  return false;
}

InternalCheck encode_rows(const Tokenizer& model, const TextBatch& texts, RowEncoder encoder,
                          uint64_t num_threads, bool parallel_when_small,
                          std::vector<std::vector<uint32_t>>& rows) {
  rows.assign(texts.size(), {});
  if (encoder == RowEncoder::kSpecial) {
    return run_batch(
        num_threads, texts.size(), texts.total_bytes, parallel_when_small,
        [&](size_t i) { return encode_with_specials(model, texts.texts[i], rows[i]); });
  }
  return run_batch(num_threads, texts.size(), texts.total_bytes, parallel_when_small,
                   [&](size_t i) {
                     return encode_text(model, texts.texts[i], MergeStrategy::kAuto, true, rows[i]);
                   });
}

}  // namespace quorvane::py
