#include "binding/conversions.h"

#include <cstddef>
#include <cstdint>
#include <new>

namespace morfex::py {
namespace {

constexpr const char* kStrAsSequence = "Can't extract `str` into a list";

// Reserves room for a sequence's reported length. The length is only a hint:
// an unanswerable query or a reservation that memory cannot satisfy leaves
// the list to grow as it fills; a size beyond the address space is a failure.
// Memory is asked for without throwing first, because under AddressSanitizer
// or valgrind a throwing operator new that cannot allocate aborts the process.
template <class T>
void reserve_reported_length(PyObject* sequence, std::vector<T>& out) {
  const Py_ssize_t length = PySequence_Size(sequence);
  if (length < 0) {
    PyErr_Clear();
    return;
  }
  const auto count = static_cast<std::size_t>(length);
  if (count > static_cast<std::size_t>(PTRDIFF_MAX) / sizeof(T)) fail("capacity overflow");
  void* probe = ::operator new(count * sizeof(T), std::nothrow);
  if (probe == nullptr) return;
  ::operator delete(probe);
  try {
    out.reserve(count);
  } catch (const std::bad_alloc&) {
  }
}

template <class T, class Element>
std::vector<T> to_vector(PyObject* obj, Element&& convert_element) {
  if (PyUnicode_Check(obj)) throw PyError::lazy(PyExc_TypeError, kStrAsSequence);
  if (!PySequence_Check(obj)) throw type_mismatch(obj, "Sequence");
  std::vector<T> out;
  reserve_reported_length(obj, out);
  Ref iterator = Ref::steal(PyObject_GetIter(obj));
  if (!iterator) throw_fetched();
  while (Ref item = Ref::steal(PyIter_Next(iterator.get()))) out.push_back(convert_element(item.get()));
  if (PyErr_Occurred()) throw_fetched();
  return out;
}

std::pair<std::string, std::string> to_pair(PyObject* obj) {
  if (!PyTuple_Check(obj)) throw type_mismatch(obj, "PyTuple");
  const Py_ssize_t size = PyTuple_GET_SIZE(obj);
  if (size != 2) {
    throw PyError::lazy(PyExc_ValueError,
                        "expected tuple of length 2, but got tuple of length " + std::to_string(size));
  }
  std::string left = to_string(PyTuple_GET_ITEM(obj, 0));
  return {std::move(left), to_string(PyTuple_GET_ITEM(obj, 1))};
}

}  // namespace

PyError type_mismatch(PyObject* obj, const char* target) {
  std::string name = "<failed to extract type name>";
  if (Ref qualname = Ref::steal(PyType_GetQualName(Py_TYPE(obj)))) {
    Py_ssize_t size = 0;
    if (const char* utf8 = PyUnicode_AsUTF8AndSize(qualname.get(), &size)) {
      name.assign(utf8, static_cast<std::size_t>(size));
    }
  }
  if (PyErr_Occurred()) PyErr_Clear();
  return PyError::lazy(PyExc_TypeError, "'" + name + "' object cannot be converted to '" + target + "'");
}

std::string_view to_str_view(PyObject* obj) {
  if (!PyUnicode_Check(obj)) throw type_mismatch(obj, "PyString");
  Py_ssize_t size = 0;
  const char* utf8 = PyUnicode_AsUTF8AndSize(obj, &size);
  if (utf8 == nullptr) throw_fetched();
  return std::string_view(utf8, static_cast<std::size_t>(size));
}

std::string to_string(PyObject* obj) { return std::string(to_str_view(obj)); }

bpe::TokenId to_id(PyObject* obj) {
  const long value = PyLong_AsLong(obj);
  if (value == -1 && PyErr_Occurred()) throw_fetched();
  if (value < 0 || value > static_cast<long>(UINT32_MAX)) {
    throw PyError::lazy(PyExc_OverflowError, "out of range integral type conversion attempted");
  }
  return static_cast<bpe::TokenId>(value);
}

std::vector<bpe::TokenId> to_ids(PyObject* obj) { return to_vector<bpe::TokenId>(obj, to_id); }

bpe::MergeList to_merges(PyObject* obj) { return to_vector<std::pair<std::string, std::string>>(obj, to_pair); }

bpe::TokenToId to_vocab(PyObject* obj) {
  if (!PyDict_Check(obj)) throw type_mismatch(obj, "PyDict");
  bpe::TokenToId vocab;
  const Py_ssize_t initial = PyDict_GET_SIZE(obj);
  vocab.reserve(static_cast<std::size_t>(initial));
  Py_ssize_t pos = 0;
  Py_ssize_t seen = 0;
  PyObject* key = nullptr;
  PyObject* value = nullptr;
  while (PyDict_Next(obj, &pos, &key, &value)) {
    // A value's __index__ may change the dict, so hold the entry while converting.
    Ref held_key = Ref::new_ref(key);
    Ref held_value = Ref::new_ref(value);
    std::string token = to_string(held_key.get());
    vocab.insert_or_assign(std::move(token), to_id(held_value.get()));
    if (PyDict_GET_SIZE(obj) != initial) fail("dictionary changed size during iteration");
    if (++seen > initial) fail("dictionary keys changed during iteration");
  }
  return vocab;
}

PyObject* ids_to_list(const std::vector<bpe::TokenId>& ids) {
  Ref list = Ref::steal(require_created(PyList_New(static_cast<Py_ssize_t>(ids.size()))));
  for (std::size_t i = 0; i < ids.size(); ++i) {
    PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), require_created(PyLong_FromLong(ids[i])));
  }
  return list.release();
}

PyObject* text_to_str(std::string_view text) {
  return require_created(PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size())));
}

}  // namespace morfex::py
