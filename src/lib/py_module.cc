// The extension module quorvane._core: multi-phase initialisation. The exec
// step publishes the class Tokenizer and __version__, listing both in __all__.
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include "lib/py_args.h"
#include "lib/py_fork.h"
#include "lib/py_ref.h"
#include "lib/py_tokenizer.h"

namespace quorvane::py {
namespace {

// Appends `name` to the module's __all__ (created empty when missing), then
// sets the attribute. Steals `value`.
bool add_exported(PyObject* module, const char* name, PyObject* value) {
  OwnedRef owned(value);
  if (!owned) return false;
  OwnedRef all(PyObject_GetAttrString(module, "__all__"));
  if (!all) {
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return false;
    PyErr_Clear();
    all.reset(PyList_New(0));
    if (!all || PyObject_SetAttrString(module, "__all__", all.get()) < 0) return false;
  }
  if (!PyList_Check(all.get())) return raise_not_instance(all.get(), "PyList");
  OwnedRef name_str(PyUnicode_FromString(name));
  if (!name_str || PyList_Append(all.get(), name_str.get()) < 0) return false;
  return PyObject_SetAttrString(module, name, owned.get()) == 0;
}

int core_exec(PyObject* module) {
  if (!PyModule_Check(module)) {
    raise_not_instance(module, "PyModule");
    return -1;
  }
  install_fork_handlers();
  PyTypeObject* type = tokenizer_type();
  if (type == nullptr) return -1;
  Py_INCREF(type);
  if (!add_exported(module, "Tokenizer", reinterpret_cast<PyObject*>(type))) return -1;
  if (!add_exported(module, "__version__", PyUnicode_FromString(QUORVANE_VERSION))) return -1;
  return 0;
}

PyModuleDef_Slot core_slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(core_exec)},
#if PY_VERSION_HEX >= 0x030D0000
    {Py_mod_gil, Py_MOD_GIL_NOT_USED},
#endif
    {0, nullptr},
};

PyModuleDef core_def = {PyModuleDef_HEAD_INIT, "_core", "", 0, nullptr, core_slots};

}  // namespace
}  // namespace quorvane::py

PyMODINIT_FUNC PyInit__core(void) { return PyModuleDef_Init(&quorvane::py::core_def); }
