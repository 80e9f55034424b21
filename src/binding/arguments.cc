#include "binding/arguments.h"

#include <cstring>
#include <string_view>
#include <vector>

#include "binding/errors.h"

namespace morfex::py {
namespace {

[[noreturn]] void type_error(std::string message) { throw PyError::lazy(PyExc_TypeError, std::move(message)); }

void check_positional_count(const FunctionDescription& fn, std::size_t given) {
  const std::size_t count = fn.parameters.size();
  if (given <= count) return;
  const char* verb = given == 1 ? "was" : "were";
  std::string message = fn.display_name() + " takes ";
  if (fn.required == count) {
    message += std::to_string(count);
  } else {
    message += "from " + std::to_string(fn.required) + " to " + std::to_string(count);
  }
  type_error(message + " positional arguments but " + std::to_string(given) + " " + verb + " given");
}

void bind_keyword(const FunctionDescription& fn, PyObject* name, PyObject* value, std::span<PyObject*> out) {
  Py_ssize_t size = 0;
  const char* utf8 = PyUnicode_Check(name) ? PyUnicode_AsUTF8AndSize(name, &size) : nullptr;
  if (utf8 == nullptr) PyErr_Clear();
  const std::string_view text = utf8 != nullptr ? std::string_view(utf8, static_cast<std::size_t>(size)) : "";
  for (std::size_t i = 0; utf8 != nullptr && i < fn.parameters.size(); ++i) {
    if (text != fn.parameters[i]) continue;
    if (out[i] != nullptr) {
      type_error(fn.display_name() + " got multiple values for argument '" + fn.parameters[i] + "'");
    }
    out[i] = value;
    return;
  }
  type_error(fn.display_name() + " got an unexpected keyword argument '" + str_text(name) + "'");
}

void check_required(const FunctionDescription& fn, std::size_t positional, std::span<PyObject*> out) {
  if (positional >= fn.required) return;
  std::vector<const char*> missing;
  for (std::size_t i = positional; i < fn.required; ++i) {
    if (out[i] == nullptr) missing.push_back(fn.parameters[i]);
  }
  if (missing.empty()) return;
  std::string names;
  for (std::size_t i = 0; i < missing.size(); ++i) {
    if (i > 0) {
      if (missing.size() > 2) names += ",";
      names += i + 1 == missing.size() ? " and " : " ";
    }
    names += std::string("'") + missing[i] + "'";
  }
  type_error(fn.display_name() + " missing " + std::to_string(missing.size()) + " required positional " +
             (missing.size() == 1 ? "argument" : "arguments") + ": " + names);
}

}  // namespace

std::string FunctionDescription::display_name() const {
  std::string name;
  if (class_name != nullptr) name = std::string(class_name) + ".";
  return name + function_name + "()";
}

void bind_fastcall_any(const FunctionDescription& fn, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                       std::span<PyObject*> out) {
  const auto given = static_cast<std::size_t>(nargs);
  check_positional_count(fn, given);
  for (std::size_t i = 0; i < given; ++i) out[i] = args[i];
  if (kwnames != nullptr) {
    const Py_ssize_t count = PyTuple_GET_SIZE(kwnames);
    for (Py_ssize_t k = 0; k < count; ++k) bind_keyword(fn, PyTuple_GET_ITEM(kwnames, k), args[nargs + k], out);
  }
  check_required(fn, given, out);
}

void bind_tuple_dict(const FunctionDescription& fn, PyObject* args, PyObject* kwargs, std::span<PyObject*> out) {
  const auto given = static_cast<std::size_t>(PyTuple_GET_SIZE(args));
  check_positional_count(fn, given);
  for (std::size_t i = 0; i < given; ++i) out[i] = PyTuple_GET_ITEM(args, static_cast<Py_ssize_t>(i));
  if (kwargs != nullptr) {
    Py_ssize_t pos = 0;
    PyObject* name = nullptr;
    PyObject* value = nullptr;
    while (PyDict_Next(kwargs, &pos, &name, &value)) bind_keyword(fn, name, value, out);
  }
  check_required(fn, given, out);
}

}  // namespace morfex::py
