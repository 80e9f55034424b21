#include "binding/owned_buffer.h"

#include <new>
#include <utility>

#include "binding/errors.h"
#include "binding/guard.h"

namespace morfex::py {
namespace {

struct OwnedBufferObject {
  PyObject_HEAD
  engine::Storage storage;
};

PyObject* g_type = nullptr;

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

void dealloc(PyObject* self) noexcept {
  guard_dealloc([&] {
    PyTypeObject* type = Py_TYPE(self);
    reinterpret_cast<OwnedBufferObject*>(self)->storage.~Storage();
    type->tp_free(self);
    Py_DECREF(type);
  });
}

}  // namespace

PyObject* owned_buffer_type() {
  if (g_type != nullptr) return g_type;
  PyType_Slot slots[] = {
      {Py_tp_doc, const_cast<char*>("Native memory of a batch result, exported as a writable buffer.")},
      {Py_bf_getbuffer, reinterpret_cast<void*>(get_buffer)},
      {Py_sq_length, reinterpret_cast<void*>(length)},
      {Py_tp_dealloc, reinterpret_cast<void*>(dealloc)},
      {0, nullptr},
  };
  PyType_Spec spec = {"morfex._engine.OwnedBuffer", static_cast<int>(sizeof(OwnedBufferObject)), 0,
                      Py_TPFLAGS_DEFAULT | Py_TPFLAGS_DISALLOW_INSTANTIATION, slots};
  g_type = PyType_FromSpec(&spec);
  if (g_type == nullptr) throw_fetched();
  return g_type;
}

PyObject* owned_buffer(engine::Storage storage) {
  auto* type = reinterpret_cast<PyTypeObject*>(owned_buffer_type());
  Ref self = Ref::steal(type->tp_alloc(type, 0));
  if (!self) throw_fetched();
  new (&reinterpret_cast<OwnedBufferObject*>(self.get())->storage) engine::Storage(std::move(storage));
  return self.release();
}

}  // namespace morfex::py
