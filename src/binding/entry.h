#pragma once

#include "binding/guard.h"
#include "binding/python.h"
#include "binding/refs.h"

// The adapters that turn a body returning a Ref (and throwing PyError) into
// the noexcept entry point a method table or a type slot wants, so that every
// callable of the three modules enters through the guard the same way.
namespace morfex::py {

// A METH_FASTCALL | METH_KEYWORDS body: self (the module for a function), the
// positional arguments, their count and the keyword names.
using FastcallBody = Ref (*)(PyObject*, PyObject* const*, Py_ssize_t, PyObject*);
// A METH_O body (self, argument), or a METH_NOARGS one (self, null).
using UnaryBody = Ref (*)(PyObject*, PyObject*);
using GetterBody = Ref (*)(PyObject*);
// A setter body; `value` is null when the attribute is deleted.
using SetterBody = void (*)(PyObject*, PyObject*);
using NewBody = Ref (*)(PyTypeObject*, PyObject*, PyObject*);

namespace detail {

template <FastcallBody Body>
PyObject* fastcall_entry(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
  return guard([&] { return Body(self, args, nargs, kwnames); });
}

template <UnaryBody Body>
PyObject* unary_entry(PyObject* self, PyObject* arg) noexcept {
  return guard([&] { return Body(self, arg); });
}

template <GetterBody Body>
PyObject* getter_entry(PyObject* self, void*) noexcept {
  return guard([&] { return Body(self); });
}

template <SetterBody Body>
int setter_entry(PyObject* self, PyObject* value, void*) noexcept {
  PyObject* done = guard([&] {
    Body(self, value);
    return Ref::new_ref(Py_None);
  });
  if (done == nullptr) return -1;
  Py_DECREF(done);
  return 0;
}

template <NewBody Body>
PyObject* new_entry(PyTypeObject* type, PyObject* args, PyObject* kwargs) noexcept {
  return guard([&] { return Body(type, args, kwargs); });
}

template <class Object, void (*Clear)(Object&)>
void dealloc_entry(PyObject* self) noexcept {
  guard_dealloc([&] {
    PyTypeObject* type = Py_TYPE(self);
    Clear(*reinterpret_cast<Object*>(self));
    type->tp_free(self);
    // Heap-type instances hold a reference to their type from allocation on.
    Py_DECREF(type);
  });
}

}  // namespace detail

// The ml_meth of a METH_FASTCALL | METH_KEYWORDS method or function.
template <FastcallBody Body>
PyCFunction fastcall() {
  return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(detail::fastcall_entry<Body>));
}

// The ml_meth of a METH_O or METH_NOARGS method or function.
template <UnaryBody Body>
PyCFunction unary() {
  return detail::unary_entry<Body>;
}

template <GetterBody Body>
getter getter_of() {
  return detail::getter_entry<Body>;
}

template <SetterBody Body>
setter setter_of() {
  return detail::setter_entry<Body>;
}

// The Py_tp_new slot.
template <NewBody Body>
void* new_slot() {
  return reinterpret_cast<void*>(detail::new_entry<Body>);
}

// The Py_tp_dealloc slot of a heap type whose instances are `Object`: `Clear`
// destroys the C++ members, then the memory and the type's reference go.
template <class Object, void (*Clear)(Object&)>
void* dealloc_slot() {
  return reinterpret_cast<void*>(detail::dealloc_entry<Object, Clear>);
}

}  // namespace morfex::py
