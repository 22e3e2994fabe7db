// The extension module quorvane._core: multi-phase initialisation.
#define PY_SSIZE_T_CLEAN
#include <Python.h>

namespace {

int core_exec(PyObject* module) {
  return PyModule_AddStringConstant(module, "__version__", "0.1.2");
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

PyMODINIT_FUNC PyInit__core(void) { return PyModuleDef_Init(&core_def); }
