#pragma once

#include <source_location>
#include <string>
#include <utility>

#include "binding/python.h"
#include "binding/refs.h"

namespace morfex::py {

// An expected failure on its way to the entry point, thrown as a C++
// exception. Lazy errors hold a built-in exception type (or PanicException)
// and a message and touch the interpreter only when raised or inspected;
// normalized errors hold an exception object fetched from the interpreter.
class PyError {
 public:
  static PyError lazy(PyObject* builtin_type, std::string message) {
    return PyError(builtin_type, std::move(message), false);
  }
  static PyError panic(std::string message) { return PyError(nullptr, std::move(message), true); }
  static PyError normalized(Ref exception) { return PyError(std::move(exception)); }

  // Makes this error the interpreter's current exception.
  void raise() &&;
  // The exception object, building it first if the error is still lazy.
  PyObject* normalize();
  // Whether the exception's type is exactly `type` (subclasses do not count).
  bool type_is(PyObject* type) const;
  // Sets `__cause__` (and so `__suppress_context__`); `cause` may be null.
  void set_cause(PyObject* cause);

 private:
  PyError(PyObject* type, std::string message, bool panic)
      : lazy_type_(type), message_(std::move(message)), panic_(panic) {}
  explicit PyError(Ref exception) : exception_(std::move(exception)) {}
  void raise_lazy() const;

  PyObject* lazy_type_ = nullptr;  // borrowed: built-in types live for the process
  std::string message_;
  bool panic_ = false;
  Ref exception_;  // set once normalized
};

// A broken internal expectation. It unwinds to the nearest entry point, which
// turns it into a PanicException carrying the message.
struct InternalFailure {
  std::string message;
};

// Starts an internal failure: writes the failure report, then unwinds.
[[noreturn]] void fail(std::string message, std::source_location where = std::source_location::current());

// Takes the pending exception after an interpreter call reported failure;
// SystemError when the interpreter set none. A fetched PanicException resumes
// the internal failure it came from instead of returning.
PyError fetch();
[[noreturn]] inline void throw_fetched() { throw fetch(); }

// Where the module creates a str, int, list or tuple it treats as unable to
// fail: a null result prints the pending exception and fails internally.
[[noreturn]] void creation_failed(std::source_location where);
inline PyObject* require_created(PyObject* obj, std::source_location where = std::source_location::current()) {
  if (obj == nullptr) [[unlikely]] creation_failed(where);
  return obj;
}

// The process-wide PanicException type, created on first use.
PyObject* panic_exception_type();

// A debug rendering of an exception: its type, value and traceback.
std::string debug_rendering(PyObject* exception);

// The interpreter's str() of `obj` as UTF-8; never fails (see the .cc file).
std::string str_text(PyObject* obj);

}  // namespace morfex::py
