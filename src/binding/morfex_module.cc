// The _morfex module: the standalone CoreBPE class.

#include <string>

#include "binding/core_bpe_type.h"
#include "binding/errors.h"
#include "binding/module_init.h"

namespace morfex::py {
namespace {

constexpr int kApiVersion = 1013;
constexpr const char* kClassName = "CoreBPE";

PyModuleDef g_module_def = {
    PyModuleDef_HEAD_INIT, "_morfex", "", 0, nullptr, nullptr, nullptr, nullptr, nullptr,
};

ModuleSlot g_module{"_morfex"};
PyObject* g_all_name = nullptr;

PyObject* all_name() {
  if (g_all_name == nullptr) {
    PyObject* name = require_created(PyUnicode_FromString("__all__"));
    PyUnicode_InternInPlace(&name);
    g_all_name = name;
  }
  return g_all_name;
}

PyObject* type_or_runtime_error() {
  try {
    return core_bpe_type();
  } catch (PyError& cause) {
    PyError error = PyError::lazy(PyExc_RuntimeError, std::string("An error occurred while initializing class ") +
                                                          kClassName);
    error.set_cause(cause.normalize());
    throw error;
  }
}

void add_class(PyObject* module) {
  PyObject* type = type_or_runtime_error();
  Ref name = Ref::steal(require_created(PyUnicode_FromString(kClassName)));
  Ref all = Ref::steal(PyObject_GetAttr(module, all_name()));
  if (!all) {
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) throw_fetched();
    PyErr_Clear();
    all = Ref::steal(require_created(PyList_New(0)));
    if (PyObject_SetAttr(module, all_name(), all.get()) < 0) throw_fetched();
  }
  if (!PyList_Check(all.get()) || PyList_Append(all.get(), name.get()) < 0) {
    PyError error = fetch();
    fail(std::string("could not append __name__ to __all__: ") + debug_rendering(error.normalize()));
  }
  if (PyObject_SetAttr(module, name.get(), type) < 0) throw_fetched();
}

Ref make_module() {
  Ref module = Ref::steal(PyModule_Create2(&g_module_def, kApiVersion));
  if (!module) throw_fetched();
  add_class(module.get());
  return module;
}

}  // namespace
}  // namespace morfex::py

PyMODINIT_FUNC PyInit__morfex() { return morfex::py::init_module(morfex::py::g_module, morfex::py::make_module); }
