// The korvex_graph_lib extension module: its definition for multi-phase
// initialisation and the execution slot that adds the two functions.
//
// The module keeps no state (state size 0, no traverse/clear/free hooks) and
// has no method table of its own; the function objects are created per
// module object by the execution slot. PyInit_korvex_graph_lib is the only
// symbol the shared library exports.

#include <Python.h>

#include "docstrings.hpp"
#include "lib_functions.hpp"
#include "py_compat.hpp"
#include "py_ref.hpp"

namespace korvex::py {
namespace {

int exec_module(PyObject* module) {
  if (!PyModule_Check(module)) {
    PyErr_Format(PyExc_TypeError, "expected a module object, got '%.200s'", Py_TYPE(module)->tp_name);
    return -1;
  }
  Ref module_name = Ref::steal(PyModule_GetNameObject(module));
  if (!module_name) return -1;
  for (PyMethodDef* definition : {&build_graph_def, &build_fds_index_def}) {
    Ref function = Ref::steal(PyCFunction_NewEx(definition, module, module_name.get()));
    if (!function) return -1;
    if (PyModule_AddObjectRef(module, definition->ml_name, function.get()) < 0) return -1;
  }
  return 0;
}

PyModuleDef_Slot module_slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(&exec_module)},
    KX_MOD_GIL_NOT_USED_SLOT
    KX_MOD_MULTIPLE_INTERPRETERS_SLOT
    {0, nullptr},
};

PyModuleDef module_definition = {
    PyModuleDef_HEAD_INIT,
    "korvex_graph_lib",  // m_name
    docs::kModule,       // m_doc
    0,                   // m_size: no per-module state
    nullptr,             // m_methods: added by the execution slot
    module_slots,        // m_slots
    nullptr,             // m_traverse
    nullptr,             // m_clear
    nullptr,             // m_free
};

}  // namespace
}  // namespace korvex::py

PyMODINIT_FUNC PyInit_korvex_graph_lib(void) {
  return PyModuleDef_Init(&korvex::py::module_definition);
}
