#include "binding/errors.h"

#include <cstdio>

#include "binding/failure_report.h"
#include "binding/lazy_type.h"

namespace morfex::py {
namespace {

constexpr const char* kPanicQualifiedName = "tessel_runtime.PanicException";
constexpr const char* kPanicDoc =
    "\nThe exception raised when the native code of _morfex fails while called from Python.\n\n"
    "Like SystemExit, this exception is derived from BaseException so that\n"
    "it will typically propagate all the way through the stack and cause the\n"
    "Python interpreter to exit.\n";
constexpr const char* kResumeBanner =
    "--- _morfex is resuming an internal failure after fetching a PanicException from Python. ---";
constexpr const char* kUnprintablePanic = "Unwrapped internal failure from Python code";

// UTF-8 of a str; a str holding lone surrogates is encoded with
// "surrogatepass" and decoded with U+FFFD for every invalid sequence.
std::string utf8_lossy(PyObject* str) {
  Py_ssize_t size = 0;
  if (const char* data = PyUnicode_AsUTF8AndSize(str, &size)) return std::string(data, static_cast<size_t>(size));
  PyErr_Clear();
  Ref bytes = Ref::steal(require_created(PyUnicode_AsEncodedString(str, "utf-8", "surrogatepass")));
  Ref fixed = Ref::steal(require_created(
      PyUnicode_DecodeUTF8(PyBytes_AS_STRING(bytes.get()), PyBytes_GET_SIZE(bytes.get()), "replace")));
  const char* data = PyUnicode_AsUTF8AndSize(fixed.get(), &size);
  if (data == nullptr) throw_fetched();
  return std::string(data, static_cast<size_t>(size));
}

[[noreturn]] void resume_panic(Ref exception) {
  std::string message;
  if (Ref text = Ref::steal(PyObject_Str(exception.get()))) {
    message = utf8_lossy(text.get());
  } else {
    PyErr_Clear();
    message = kUnprintablePanic;
  }
  std::fprintf(stderr, "%s\nPython stack trace below:\n", kResumeBanner);
  std::fflush(stderr);
  PyErr_SetRaisedException(exception.release());
  PyErr_PrintEx(0);
  throw InternalFailure{std::move(message)};
}

}  // namespace

std::string debug_rendering(PyObject* exc) {
  std::string text = "PyErr { type: ";
  text += str_text(reinterpret_cast<PyObject*>(Py_TYPE(exc)));
  text += ", value: ";
  Ref repr = Ref::steal(PyObject_Repr(exc));
  if (repr) {
    text += utf8_lossy(repr.get());
  } else {
    PyErr_Clear();
    text += "<unprintable>";
  }
  text += ", traceback: ";
  Ref tb = Ref::steal(PyException_GetTraceback(exc));
  text += tb ? str_text(tb.get()) : "None";
  text += " }";
  return text;
}

void fail(std::string message, std::source_location where) {
  write_failure_report(message, where);
  throw InternalFailure{std::move(message)};
}

void creation_failed(std::source_location where) {
  PyErr_Print();
  fail("Python API call failed", where);
}

namespace {

PyObject* create_panic_type() {
  PyObject* type = PyErr_NewExceptionWithDoc(kPanicQualifiedName, kPanicDoc, PyExc_BaseException, nullptr);
  if (type == nullptr) {
    PyError error = fetch();
    fail(std::string("Failed to initialize new exception type.: ") + debug_rendering(error.normalize()));
  }
  return type;
}

constinit LazyType g_panic_type{create_panic_type};

}  // namespace

PyObject* panic_exception_type() { return g_panic_type.get(); }

PyError fetch() {
  Ref exception = Ref::steal(PyErr_GetRaisedException());
  if (!exception) {
    return PyError::lazy(PyExc_SystemError, "attempted to fetch exception but none was set");
  }
  if (reinterpret_cast<PyObject*>(Py_TYPE(exception.get())) == panic_exception_type()) {
    resume_panic(std::move(exception));
  }
  return PyError::normalized(std::move(exception));
}

void PyError::raise() && {
  if (exception_) {
    PyErr_SetRaisedException(exception_.release());
  } else {
    raise_lazy();
  }
}

void PyError::raise_lazy() const {
  Ref message = Ref::steal(require_created(
      PyUnicode_FromStringAndSize(message_.data(), static_cast<Py_ssize_t>(message_.size()))));
  Ref argument;
  PyObject* type = lazy_type_;
  if (panic_) {
    argument = Ref::steal(require_created(PyTuple_Pack(1, message.get())));
    type = panic_exception_type();
  } else {
    argument = std::move(message);
  }
  if (!PyExceptionClass_Check(type)) {
    PyErr_SetString(PyExc_TypeError, "exceptions must derive from BaseException");
    return;
  }
  PyErr_SetObject(type, argument.get());
}

PyObject* PyError::normalize() {
  if (!exception_) {
    raise_lazy();
    exception_ = Ref::steal(PyErr_GetRaisedException());
    if (!exception_) fail("exception missing after writing to the interpreter");
  }
  return exception_.get();
}

bool PyError::type_is(PyObject* type) const {
  if (exception_) return reinterpret_cast<PyObject*>(Py_TYPE(exception_.get())) == type;
  return !panic_ && lazy_type_ == type;
}

void PyError::set_cause(PyObject* cause) {
  PyObject* exception = normalize();
  // PyException_SetCause steals its argument.
  PyException_SetCause(exception, Ref::new_ref(cause).release());
}

std::string str_text(PyObject* obj) {
  if (Ref text = Ref::steal(PyObject_Str(obj))) return utf8_lossy(text.get());
  PyErr_WriteUnraisable(obj);
  std::string type_name = "object";
  if (Ref name = Ref::steal(PyType_GetName(Py_TYPE(obj)))) {
    type_name = utf8_lossy(name.get());
  } else {
    PyErr_Clear();
  }
  return "<unprintable " + type_name + " object>";
}

}  // namespace morfex::py

