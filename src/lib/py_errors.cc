#include "lib/py_errors.h"

#include <atomic>

#include "lib/py_ref.h"
#include "lib/result.h"

namespace quorvane::py {

PyObject* internal_error_type() {
  static std::atomic<PyObject*> type{nullptr};
  PyObject* t = type.load(std::memory_order_acquire);
  if (t != nullptr) return t;
  // Creation runs with the interpreter lock held; on a free-threaded build a
  // racing creator's copy is dropped, so every caller sees one type.
  PyObject* made = PyErr_NewExceptionWithDoc("quorvane.InternalError",
                                             "An internal invariant of the tokenizer engine broke.",
                                             PyExc_BaseException, nullptr);
  if (made == nullptr) return nullptr;
  PyObject* expected = nullptr;
  if (!type.compare_exchange_strong(expected, made, std::memory_order_acq_rel)) {
    Py_DECREF(made);
    return expected;
  }
  return made;
}

PyObject* raise_value_error(std::string_view message) {
  OwnedRef text(
      PyUnicode_DecodeUTF8(message.data(), static_cast<Py_ssize_t>(message.size()), "replace"));
  if (text) PyErr_SetObject(PyExc_ValueError, text.get());
  return nullptr;
}

PyObject* raise_internal(const char* what) {
  if (what == kOutOfMemory) return PyErr_NoMemory();
  PyObject* type = internal_error_type();
  if (type != nullptr) PyErr_SetString(type, what);
  return nullptr;
}

}  // namespace quorvane::py
