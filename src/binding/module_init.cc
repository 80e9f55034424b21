#include "binding/module_init.h"

#include <string>

#include "binding/conversions.h"
#include "binding/errors.h"
#include "binding/guard.h"

namespace morfex::py {

namespace {

// What a second interpreter gets: the types and exceptions the module keeps
// belong to the first one.
std::string second_interpreter_message(const char* module_name) {
  return std::string(module_name) +
         " does not support sub-interpreters: it can only be imported by the first interpreter that loaded it";
}

}  // namespace

PyObject* init_module(ModuleSlot& slot, Ref (*make)()) noexcept {
  return guard([&] {
    const std::int64_t id = PyInterpreterState_GetID(PyInterpreterState_Get());
    if (id == -1) throw_fetched();
    if (!slot.owner.claim(id)) throw PyError::lazy(PyExc_ImportError, second_interpreter_message(slot.name));
    if (slot.module == nullptr) {
      Ref module = make();
      // Making it may have imported the module again.
      if (slot.module == nullptr) slot.module = module.release();
    }
    return Ref::new_ref(slot.module);
  });
}

void add_constant(PyObject* module, const char* name, std::uint64_t value) {
  Ref object = Ref::steal(require_created(PyLong_FromUnsignedLongLong(value)));
  if (PyModule_AddObjectRef(module, name, object.get()) < 0) throw_fetched();
}

void add_constant(PyObject* module, const char* name, std::string_view text) {
  Ref object = Ref::steal(text_to_str(text));
  if (PyModule_AddObjectRef(module, name, object.get()) < 0) throw_fetched();
}

void add_constant(PyObject* module, const char* name, std::span<const std::string> texts) {
  Ref tuple = Ref::steal(require_created(PyTuple_New(static_cast<Py_ssize_t>(texts.size()))));
  for (std::size_t i = 0; i < texts.size(); ++i) {
    PyTuple_SET_ITEM(tuple.get(), static_cast<Py_ssize_t>(i), text_to_str(texts[i]));
  }
  if (PyModule_AddObjectRef(module, name, tuple.get()) < 0) throw_fetched();
}

}  // namespace morfex::py
