#include "lib/py_tokenizer.h"

#include <atomic>
#include <cstdio>
#include <new>
#include <stdexcept>
#include <string>
#include <utility>

#include "lib/loader.h"
#include "lib/py_args.h"
#include "lib/py_errors.h"
#include "lib/py_fork.h"
#include "lib/py_methods.h"
#include "lib/py_ref.h"
#include "lib/quoted.h"

namespace quorvane::py {
namespace {

TokenizerObject* as_tok(PyObject* self) { return reinterpret_cast<TokenizerObject*>(self); }

// ---- Construction and lifetime ----

PyObject* tok_new(PyTypeObject*, PyObject* args, PyObject* kwargs) {
  static const char* const kNames[] = {"path"};
  static const MethodParams kParams{"Tokenizer.__new__()", kNames, 1, 1};
  PyObject* values[1];
  if (!bind_args_tuple(kParams, args, kwargs, values)) return nullptr;
  std::string_view path;
  if (!arg_str(values[0], "path", path)) return nullptr;
  try {
    return tokenizer_from_path(path);
  } catch (const std::bad_alloc&) {
    return PyErr_NoMemory();
  }
}

void tok_dealloc(PyObject* self) {
  unregister_object(as_tok(self));
  as_tok(self)->model.~Tokenizer();
  PyTypeObject* type = Py_TYPE(self);
  type->tp_free(self);
  Py_DECREF(type);
}

// ---- repr, len, n_vocab ----

PyObject* tok_repr(PyObject* self) {
  TokenizerObject* tok = as_tok(self);
  SharedBorrow borrow;
  if (!borrow.acquire(tok->borrow)) return nullptr;
  try {
    std::string text = "Tokenizer(n_vocab=" + std::to_string(tok->model.n_vocab) + ", path=";
    text += quoted_text(tok->model.path, /*escape_combining=*/true);
    text += ')';
    return PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "replace");
  } catch (const std::bad_alloc&) {
    return PyErr_NoMemory();
  }
}

Py_ssize_t tok_len(PyObject* self) {
  TokenizerObject* tok = as_tok(self);
  SharedBorrow borrow;
  if (!borrow.acquire(tok->borrow)) return -1;
  if (tok->model.n_vocab > static_cast<uint64_t>(PY_SSIZE_T_MAX)) {
    PyErr_SetNone(PyExc_OverflowError);
    return -1;
  }
  return static_cast<Py_ssize_t>(tok->model.n_vocab);
}

PyObject* tok_get_n_vocab(PyObject* self, void*) {
  TokenizerObject* tok = as_tok(self);
  SharedBorrow borrow;
  if (!borrow.acquire(tok->borrow)) return nullptr;
  return PyLong_FromUnsignedLongLong(tok->model.n_vocab);
}

// ---- The class object ----

// Every method runs inside this: an allocation failure that escapes argument
// conversion or result building (with the lock held) becomes MemoryError, and
// the guards on the way out release the borrow.
template <PyObject* (*Method)(QV_FASTCALL_PARAMS)>
PyObject* guarded(QV_FASTCALL_PARAMS) {
  try {
    return Method(self, args, nargs, kwnames);
  } catch (const std::bad_alloc&) {
    return PyErr_NoMemory();
  } catch (const std::length_error&) {
    return PyErr_NoMemory();
  }
}

#define QV_METHOD(name, fn, flags, doc)                                                 \
  {                                                                                     \
    name, reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(guarded<fn>)), \
        METH_FASTCALL | METH_KEYWORDS | (flags), doc                                    \
  }

PyMethodDef kMethods[] = {
    QV_METHOD("__reduce__", tok_reduce, 0,
              "__reduce__($self)\n--\n\n"
              "Pickle support: the tokenizer is rebuilt from its tokenizer.json path."),
    QV_METHOD("from_pretrained", tok_from_pretrained, METH_STATIC,
              "from_pretrained(repo_id, revision=None)\n--\n\n"
              "Load by HuggingFace repository id: downloads the repository's tokenizer.json\n"
              "with huggingface_hub, then loads it."),
    QV_METHOD("from_tiktoken", tok_from_tiktoken, METH_STATIC,
              "from_tiktoken(name)\n--\n\n"
              "Load a tiktoken encoding by name (such as \"cl100k_base\" or \"o200k_base\")\n"
              "through the package's cached conversion to a tokenizer.json."),
    QV_METHOD("encode_ordinary", tok_encode_ordinary, 0, "encode_ordinary($self, text)\n--\n\n"),
    QV_METHOD("encode_ordinary_no_prefix", tok_encode_ordinary_no_prefix, 0,
              "encode_ordinary_no_prefix($self, text)\n--\n\n"
              "As encode_ordinary, but without the metaspace prefix (for fragments that follow\n"
              "a special token). The same as encode_ordinary for models without metaspace."),
    QV_METHOD("set_special_tokens", tok_set_special_tokens, 0,
              "set_special_tokens($self, contents, ids, lstrip, rstrip, scheme)\n--\n\n"
              "Register the special tokens as parallel lists, and the prefix scheme\n"
              "(0 none, 1 always, 2 first)."),
    QV_METHOD("encode_special", tok_encode_special, 0,
              "encode_special($self, text)\n--\n\n"
              "Special-token-aware encode of one text, without the post-processor's begin and\n"
              "end ids."),
    QV_METHOD("encode_special_batch", tok_encode_special_batch, 0,
              "encode_special_batch($self, texts, num_threads=0)\n--\n\n"
              "encode_special over many texts in parallel."),
    QV_METHOD("encode_to_bytes", tok_encode_to_bytes, 0,
              "encode_to_bytes($self, text)\n--\n\n"
              "Ordinary encode as raw native-endian uint32 bytes, for\n"
              "numpy.frombuffer(buf, dtype=numpy.uint32); the counterpart of decode_array."),
    QV_METHOD("_encode_ordinary_stream", tok_encode_ordinary_stream, 0,
              "_encode_ordinary_stream($self, text)\n--\n\n"
              "Encode with the streaming merger forced on every piece (for parity tests)."),
    QV_METHOD("_encode_ordinary_scan", tok_encode_ordinary_scan, 0,
              "_encode_ordinary_scan($self, text)\n--\n\n"
              "Encode with scan-and-merge forced on every piece (for parity tests)."),
    QV_METHOD("count_tokens", tok_count_tokens, 0, "count_tokens($self, text)\n--\n\n"),
    QV_METHOD("encode_with_offsets", tok_encode_with_offsets, 0,
              "encode_with_offsets($self, text)\n--\n\n"
              "Ids with the byte span (start, end) of each token in the text; ByteLevel\n"
              "models only."),
    QV_METHOD("encode_ordinary_batch", tok_encode_ordinary_batch, 0,
              "encode_ordinary_batch($self, texts, num_threads=0)\n--\n\n"),
    QV_METHOD("count_tokens_batch", tok_count_tokens_batch, 0,
              "count_tokens_batch($self, texts, num_threads=0)\n--\n\n"
              "Token counts of many texts in parallel, without building id lists."),
    QV_METHOD("encode_batch", tok_encode_batch, 0,
              "encode_batch($self, texts, max_length=None, pad_id=0, num_threads=0)\n--\n\n"
              "Padded uint32 id matrix and uint8 attention mask as numpy arrays."),
    QV_METHOD("encode_special_padded", tok_encode_special_padded, 0,
              "encode_special_padded($self, texts, prefix, suffix, max_length=None, pad_id=0, "
              "truncation=False, pad_to_max=False, pad_left=False, trunc_left=False, "
              "num_threads=0)\n--\n\n"
              "Special-aware padded batch with prefix and suffix ids, truncation and padding,\n"
              "as int64 numpy arrays."),
    QV_METHOD("decode_batch", tok_decode_batch, 0,
              "decode_batch($self, sequences, num_threads=0)\n--\n\n"
              "Decode many id sequences in parallel."),
    QV_METHOD("decode", tok_decode, 0, "decode($self, tokens)\n--\n\n"),
    QV_METHOD("decode_array", tok_decode_array, 0,
              "decode_array($self, tokens)\n--\n\n"
              "Ids from a C-contiguous uint32 buffer to text."),
    {nullptr, nullptr, 0, nullptr},
};

#undef QV_METHOD

PyGetSetDef kGetSet[] = {
    {"n_vocab", tok_get_n_vocab, nullptr, "", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot kSlots[] = {
    {Py_tp_doc, const_cast<char*>("Tokenizer(path)\n--\n\n")},
    {Py_tp_new, reinterpret_cast<void*>(tok_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(tok_dealloc)},
    {Py_tp_repr, reinterpret_cast<void*>(tok_repr)},
    {Py_mp_length, reinterpret_cast<void*>(tok_len)},
    {Py_tp_methods, kMethods},
    {Py_tp_getset, kGetSet},
    {0, nullptr},
};

// Final (no Py_TPFLAGS_BASETYPE), immutable, outside cyclic GC; no __dict__ and
// no weak references: the type declares neither a dict nor a weaklist offset.
PyType_Spec kSpec = {
    "quorvane.Tokenizer",
    static_cast<int>(sizeof(TokenizerObject)),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE,
    kSlots,
};

std::atomic<PyTypeObject*> g_type{nullptr};
#if PY_VERSION_HEX >= 0x030D0000
PyMutex g_type_mutex;
#endif

}  // namespace

PyTypeObject* tokenizer_type() {
  PyTypeObject* t = g_type.load(std::memory_order_acquire);
  if (t != nullptr) return t;
#if PY_VERSION_HEX >= 0x030D0000
  // Blocking on a PyMutex detaches the thread state, so a creator that lets
  // other threads run cannot deadlock with a waiter.
  PyMutex_Lock(&g_type_mutex);
#endif
  t = g_type.load(std::memory_order_acquire);
  if (t == nullptr) {
    t = reinterpret_cast<PyTypeObject*>(PyType_FromSpec(&kSpec));
    if (t != nullptr) g_type.store(t, std::memory_order_release);
  }
#if PY_VERSION_HEX >= 0x030D0000
  PyMutex_Unlock(&g_type_mutex);
#endif
  return t;
}

TokenizerObject* check_self(PyObject* self) {
  PyTypeObject* type = tokenizer_type();
  if (type == nullptr) return nullptr;
  if (self == nullptr || !PyObject_TypeCheck(self, type)) {
    raise_not_instance(self == nullptr ? Py_None : self, "Tokenizer");
    return nullptr;
  }
  return as_tok(self);
}

PyObject* tokenizer_from_path(std::string_view path) {
  PyTypeObject* type = tokenizer_type();
  if (type == nullptr) return nullptr;
  Result<std::unique_ptr<Tokenizer>> loaded = load_tokenizer_json(path);
  if (!loaded.ok()) return raise_value_error(loaded.error());
  PyObject* obj = type->tp_alloc(type, 0);
  if (obj == nullptr) return nullptr;
  TokenizerObject* tok = as_tok(obj);
  new (&tok->model) Tokenizer(std::move(*loaded.value()));
  new (&tok->borrow) BorrowCounter(0);
  register_object(tok);
  return obj;
}

// ---- Methods of this file ----

PyObject* tok_reduce(QV_FASTCALL_PARAMS) {
  static const MethodParams kParams{"Tokenizer.__reduce__()", nullptr, 0, 0};
  if (!bind_args(kParams, args, nargs, kwnames, nullptr)) return nullptr;
  TokenizerObject* tok = check_self(self);
  if (tok == nullptr) return nullptr;
  SharedBorrow borrow;
  if (!borrow.acquire(tok->borrow)) return nullptr;
  const std::string& path = tok->model.path;
  OwnedRef path_str(
      PyUnicode_DecodeUTF8(path.data(), static_cast<Py_ssize_t>(path.size()), "surrogateescape"));
  if (!path_str) return nullptr;
  return Py_BuildValue("(O(O))", reinterpret_cast<PyObject*>(Py_TYPE(self)), path_str.get());
}

namespace {

// Loads the path that a path source (hub download, tiktoken cache) returned.
PyObject* load_returned_path(PyObject* result) {
  if (!PyUnicode_Check(result)) {
    raise_not_instance(result, "str");
    return nullptr;
  }
  std::string_view path;
  if (!str_view(result, path)) return nullptr;
  return tokenizer_from_path(path);
}

}  // namespace

PyObject* tok_from_pretrained(QV_FASTCALL_PARAMS) {
  static const char* const kNames[] = {"repo_id", "revision"};
  static const MethodParams kParams{"Tokenizer.from_pretrained()", kNames, 2, 1};
  PyObject* values[2];
  if (!bind_args(kParams, args, nargs, kwnames, values)) return nullptr;
  std::string_view repo_id;
  if (!arg_str(values[0], "repo_id", repo_id)) return nullptr;
  std::string_view revision;
  bool has_revision = values[1] != nullptr && values[1] != Py_None;
  if (has_revision && !arg_str(values[1], "revision", revision)) return nullptr;

  OwnedRef hub(PyImport_ImportModule("huggingface_hub"));
  if (!hub) {
    PyErr_Clear();
    return raise_value_error(
        "from_pretrained requires huggingface_hub (pip install huggingface_hub)");
  }
  OwnedRef kwargs(PyDict_New());
  if (!kwargs) return nullptr;
  if (has_revision) {
    OwnedRef rev(
        PyUnicode_FromStringAndSize(revision.data(), static_cast<Py_ssize_t>(revision.size())));
    if (!rev || PyDict_SetItemString(kwargs.get(), "revision", rev.get()) < 0) return nullptr;
  }
  OwnedRef download(PyObject_GetAttrString(hub.get(), "hf_hub_download"));
  if (!download) return nullptr;
  OwnedRef call_args(Py_BuildValue("(s#s)", repo_id.data(), static_cast<Py_ssize_t>(repo_id.size()),
                                   "tokenizer.json"));
  if (!call_args) return nullptr;
  OwnedRef result(PyObject_Call(download.get(), call_args.get(), kwargs.get()));
  if (!result) return nullptr;
  return load_returned_path(result.get());
}

PyObject* tok_from_tiktoken(QV_FASTCALL_PARAMS) {
  static const char* const kNames[] = {"name"};
  static const MethodParams kParams{"Tokenizer.from_tiktoken()", kNames, 1, 1};
  PyObject* values[1];
  if (!bind_args(kParams, args, nargs, kwnames, values)) return nullptr;
  std::string_view name;
  if (!arg_str(values[0], "name", name)) return nullptr;
  OwnedRef module(PyImport_ImportModule("quorvane._tiktoken"));
  if (!module) return nullptr;
  OwnedRef name_str(PyUnicode_FromStringAndSize(name.data(), static_cast<Py_ssize_t>(name.size())));
  if (!name_str) return nullptr;
  OwnedRef method(PyUnicode_FromString("get_cached_tokenizer_path"));
  if (!method) return nullptr;
  OwnedRef result(PyObject_CallMethodOneArg(module.get(), method.get(), name_str.get()));
  if (!result) return nullptr;
  return load_returned_path(result.get());
}

}  // namespace quorvane::py

// The borrow counter closes the object (tests read it there to catch leaks).
static_assert(offsetof(quorvane::py::TokenizerObject, borrow) +
                  sizeof(quorvane::py::BorrowCounter) ==
              sizeof(quorvane::py::TokenizerObject));
