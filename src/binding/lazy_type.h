#pragma once

#include "binding/conversions.h"
#include "binding/errors.h"
#include "binding/python.h"

// The native types of the modules are made on first use and kept for the
// process; this is the one place that does so and checks an instance's type.
namespace morfex::py {

class LazyType {
 public:
  // `make` returns a new reference to the type, or throws the creation error.
  explicit constexpr LazyType(PyObject* (*make)()) noexcept : make_(make) {}
  LazyType(const LazyType&) = delete;
  LazyType& operator=(const LazyType&) = delete;

  // The type, made now when it is the first use. Should making it run Python
  // code that asks for it again, the first one made is kept.
  PyObject* get() {
    if (type_ != nullptr) return type_;
    PyObject* made = make_();
    if (type_ == nullptr) {
      type_ = made;
    } else {
      Py_DECREF(made);
    }
    return type_;
  }

  // Whether `obj` is exactly of this type (false while the type is not made).
  bool holds(PyObject* obj) const noexcept {
    return type_ != nullptr && reinterpret_cast<PyObject*>(Py_TYPE(obj)) == type_;
  }

  // `obj` as an `Object`; TypeError naming `class_name` when it is not one.
  template <class Object>
  Object* cast(PyObject* obj, const char* class_name) const {
    if (!holds(obj)) throw type_mismatch(obj, class_name);
    return reinterpret_cast<Object*>(obj);
  }

 private:
  PyObject* (*make_)();
  PyObject* type_ = nullptr;
};

// A new heap type from its slots; throws the interpreter's error.
inline PyObject* type_from_spec(const char* qualified_name, int basic_size, unsigned int flags,
                                PyType_Slot* slots) {
  PyType_Spec spec = {qualified_name, basic_size, 0, flags, slots};
  PyObject* type = PyType_FromSpec(&spec);
  if (type == nullptr) throw_fetched();
  return type;
}

}  // namespace morfex::py
