#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>

#include "binding/interpreter_owner.h"
#include "binding/python.h"
#include "binding/refs.h"

// What the init functions of _morfex, morfex._engine and morfex._trainer
// share: one interpreter per module, one module object, and their constants.
namespace morfex::py {

// The process-wide state of one extension module.
struct ModuleSlot {
  explicit constexpr ModuleSlot(const char* module_name) noexcept : name(module_name) {}

  const char* name;  // as imported, for messages
  InterpreterOwner owner;
  PyObject* module = nullptr;  // made once and kept for the process
};

// The body of an init function: ImportError for any interpreter but the one
// that initialised the module first, else the module, made by `make` on the
// first call and the same object on every later one.
PyObject* init_module(ModuleSlot& slot, Ref (*make)()) noexcept;

// Module constants; each throws the interpreter's error.
void add_constant(PyObject* module, const char* name, std::uint64_t value);
void add_constant(PyObject* module, const char* name, std::string_view text);
void add_constant(PyObject* module, const char* name, std::span<const std::string> texts);

}  // namespace morfex::py
