#include "binding/owned_buffer.h"

#include <new>
#include <utility>

#include "binding/errors.h"
#include "binding/entry.h"
#include "binding/lazy_type.h"

namespace morfex::py {
namespace {

struct OwnedBufferObject {
  PyObject_HEAD
  engine::Storage storage;
};

int get_buffer(PyObject* self, Py_buffer* view, int flags) noexcept {
  auto* object = reinterpret_cast<OwnedBufferObject*>(self);
  // An empty result still hands out a valid address.
  static char empty;
  void* data = object->storage.data ? object->storage.data.get() : &empty;
  return PyBuffer_FillInfo(view, self, data, static_cast<Py_ssize_t>(object->storage.bytes), 0, flags);
}

Py_ssize_t length(PyObject* self) noexcept {
  return static_cast<Py_ssize_t>(reinterpret_cast<OwnedBufferObject*>(self)->storage.bytes);
}

void clear(OwnedBufferObject& object) { object.storage.~Storage(); }

PyObject* create_type() {
  PyType_Slot slots[] = {
      {Py_tp_doc, const_cast<char*>("Native memory of a batch result, exported as a writable buffer.")},
      {Py_bf_getbuffer, reinterpret_cast<void*>(get_buffer)},
      {Py_sq_length, reinterpret_cast<void*>(length)},
      {Py_tp_dealloc, dealloc_slot<OwnedBufferObject, clear>()},
      {0, nullptr},
  };
  return type_from_spec("morfex._engine.OwnedBuffer", static_cast<int>(sizeof(OwnedBufferObject)),
                        Py_TPFLAGS_DEFAULT | Py_TPFLAGS_DISALLOW_INSTANTIATION, slots);
}

constinit LazyType g_type{create_type};

}  // namespace

PyObject* owned_buffer_type() { return g_type.get(); }

PyObject* owned_buffer(engine::Storage storage) {
  auto* type = reinterpret_cast<PyTypeObject*>(owned_buffer_type());
  Ref self = Ref::steal(type->tp_alloc(type, 0));
  if (!self) throw_fetched();
  new (&reinterpret_cast<OwnedBufferObject*>(self.get())->storage) engine::Storage(std::move(storage));
  return self.release();
}

}  // namespace morfex::py
