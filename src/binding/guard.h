#pragma once

#include <cstdlib>
#include <exception>
#include <new>
#include <source_location>
#include <string>
#include <utility>

#include "binding/errors.h"
#include "binding/failure_report.h"

namespace morfex::py {

inline constexpr const char* kGenericFailure = "the native code of _morfex failed";

namespace detail {

// The PanicException error for a failure caught at an entry point; the
// failure report has already been written where the failure started, except
// for exceptions thrown by the standard library, reported here.
inline PyError to_panic(std::exception_ptr caught, const std::source_location& where) {
  try {
    std::rethrow_exception(std::move(caught));
  } catch (InternalFailure& failure) {
    return PyError::panic(std::move(failure.message));
  } catch (const std::exception& e) {
    write_failure_report(e.what(), where);
    return PyError::panic(e.what());
  } catch (...) {
    write_failure_report(kGenericFailure, where);
    return PyError::panic(kGenericFailure);
  }
}

}  // namespace detail

// Runs an entry point's body so that nothing unwinds into the interpreter:
// error values become the current exception, internal failures become
// PanicException, and exhausted native memory becomes MemoryError (after
// every partly built table has been released by unwinding). Should raising
// itself fail, the interpreter's state cannot be trusted and we abort.
template <class Body>
PyObject* guard(Body&& body, std::source_location where = std::source_location::current()) noexcept {
  try {
    try {
      return body().release();
    } catch (PyError& error) {
      std::move(error).raise();
    } catch (const std::bad_alloc&) {
      PyErr_NoMemory();
    } catch (...) {
      detail::to_panic(std::current_exception(), where).raise();
    }
  } catch (...) {
    std::abort();
  }
  return nullptr;
}

// The deallocation form: nobody can receive an exception where the last
// reference was dropped, so a failure goes to sys.unraisablehook, leaving
// any exception that was already pending untouched.
template <class Body>
void guard_dealloc(Body&& body, std::source_location where = std::source_location::current()) noexcept {
  try {
    try {
      body();
    } catch (...) {
      Ref pending = Ref::steal(PyErr_GetRaisedException());
      try {
        std::rethrow_exception(std::current_exception());
      } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
      } catch (...) {
        detail::to_panic(std::current_exception(), where).raise();
      }
      PyErr_WriteUnraisable(nullptr);
      PyErr_SetRaisedException(pending.release());
    }
  } catch (...) {
    std::abort();
  }
}

}  // namespace morfex::py
