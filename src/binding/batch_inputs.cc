#include "binding/batch_inputs.h"

#include <string>

#include "binding/conversions.h"
#include "binding/utf8_text.h"

namespace morfex::py {

PyError item_error(std::size_t index, PyError error) {
  PyObject* original = error.normalize();
  const std::string prefix = "item " + std::to_string(index) + ": ";
  PyObject* type = reinterpret_cast<PyObject*>(Py_TYPE(original));
  if (type == PyExc_TypeError || type == PyExc_ValueError || type == PyExc_OverflowError) {
    PyError indexed = PyError::lazy(type, prefix + str_text(original));
    Ref cause = Ref::steal(PyException_GetCause(original));
    indexed.set_cause(cause.get());
    return indexed;
  }
  if (type == PyExc_UnicodeEncodeError) {
    // Its text is made from its fields, so the index goes in front of the reason.
    Ref encoding = Ref::steal(PyUnicodeEncodeError_GetEncoding(original));
    Ref object = Ref::steal(PyUnicodeEncodeError_GetObject(original));
    Ref reason = Ref::steal(PyUnicodeEncodeError_GetReason(original));
    Py_ssize_t start = 0;
    Py_ssize_t end = 0;
    if (!encoding || !object || !reason || PyUnicodeEncodeError_GetStart(original, &start) < 0 ||
        PyUnicodeEncodeError_GetEnd(original, &end) < 0) {
      throw_fetched();
    }
    const std::string indexed_reason = prefix + str_text(reason.get());
    Ref indexed = Ref::steal(PyObject_CallFunction(PyExc_UnicodeEncodeError, "OOnns", encoding.get(), object.get(),
                                                   start, end, indexed_reason.c_str()));
    if (!indexed) throw_fetched();
    return PyError::normalized(std::move(indexed));
  }
  return error;
}

Ref batch_sequence(PyObject* obj, const char* name, const char* of_what) {
  if (PyUnicode_Check(obj) || PyBytes_Check(obj) || PyByteArray_Check(obj)) {
    throw PyError::lazy(PyExc_TypeError, std::string("argument '") + name + "' must be an iterable of " + of_what +
                                             ", not a single '" + Py_TYPE(obj)->tp_name + "'");
  }
  if (PyList_CheckExact(obj) || PyTuple_CheckExact(obj)) return Ref::new_ref(obj);
  Ref iterator = Ref::steal(PyObject_GetIter(obj));
  if (!iterator) {
    if (!PyErr_ExceptionMatches(PyExc_TypeError)) throw_fetched();
    PyErr_Clear();
    throw PyError::lazy(PyExc_TypeError, std::string("argument '") + name + "' must be an iterable of " + of_what +
                                             ", not '" + Py_TYPE(obj)->tp_name + "'");
  }
  Ref list = Ref::steal(PySequence_List(iterator.get()));
  if (!list) throw_fetched();
  return list;
}

engine::WordRef word_of(PyObject* item, std::size_t index) {
  if (!PyUnicode_Check(item)) [[unlikely]] {
    try {
      Utf8Text text;
      convert_argument("text", [&] { return to_str_view(item, text); });
    } catch (PyError& error) {
      throw item_error(index, std::move(error));
    }
  }
  const auto length = static_cast<std::size_t>(PyUnicode_GET_LENGTH(item));
  const void* data = PyUnicode_DATA(item);
  if (PyUnicode_IS_ASCII(item)) return {data, length, engine::Units::kUtf8};
  switch (PyUnicode_KIND(item)) {
    case PyUnicode_1BYTE_KIND:
      return {data, length, engine::Units::kLatin1};
    case PyUnicode_2BYTE_KIND:
      return {data, length, engine::Units::kUcs2};
    default:
      return {data, length, engine::Units::kUcs4};
  }
}

void words_of_block(std::span<const Ref> items, std::size_t first, std::vector<engine::WordRef>& words) {
  words.clear();
  words.reserve(items.size());
  for (std::size_t k = 0; k < items.size(); ++k) {
    try {
      words.push_back(word_of(items[k].get(), first + k));
    } catch (PyError&) {
      const std::size_t unencodable = engine::first_unencodable(words);
      if (unencodable != engine::kNoWord) raise_unencodable(items[unencodable].get(), first + unencodable);
      throw;
    }
  }
}

void raise_unencodable(PyObject* item, std::size_t index) {
  try {
    Utf8Text text;
    text.read(item);
  } catch (PyError& error) {
    throw item_error(index, std::move(error));
  }
  fail("a word that the workers could not encode has a UTF-8 form");
}

}  // namespace morfex::py
