#pragma once

#include <cstddef>
#include <span>
#include <string>

#include "binding/python.h"

namespace morfex::py {

// The parameters of one callable: binding works from it and its messages
// name the callable by it. All parameters here are positional-or-keyword.
struct FunctionDescription {
  const char* class_name;  // null for a plain function
  const char* function_name;
  std::span<const char* const> parameters;
  std::size_t required;

  std::string display_name() const;
};

// Bind the arguments of one call into `out` (one borrowed slot per parameter,
// null where none was given); binding errors are thrown as TypeError.
void bind_fastcall_any(const FunctionDescription& fn, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                       std::span<PyObject*> out);
inline void bind_fastcall(const FunctionDescription& fn, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                          std::span<PyObject*> out) {
  // Most calls pass every parameter by position, which leaves nothing to check.
  if (kwnames == nullptr && static_cast<std::size_t>(nargs) == fn.parameters.size()) {
    for (std::size_t i = 0; i < fn.parameters.size(); ++i) out[i] = args[i];
    return;
  }
  bind_fastcall_any(fn, args, nargs, kwnames, out);
}
void bind_tuple_dict(const FunctionDescription& fn, PyObject* args, PyObject* kwargs, std::span<PyObject*> out);

}  // namespace morfex::py
