#include "binding/conversions.h"

#include <cstddef>
#include <cstdint>
#include <new>
#include <cstring>
#include <stdexcept>
#include <type_traits>

#include "bpe/utf8.h"

namespace morfex::py {
namespace {

constexpr const char* kStrAsSequence = "Can't extract `str` into a list";
constexpr const char* kIdOutOfRange = "out of range integral type conversion attempted";

// Reserves room for `length` elements that take `element_size` bytes each. A
// size beyond the address space is a failure. A length that a sequence only
// reports is a hint: when memory (or a table's 32-bit positions) cannot hold
// it, the storage grows as it fills instead. Memory for a hint is asked for
// without throwing first, because under AddressSanitizer or valgrind a
// throwing operator new that cannot allocate aborts the process. The length
// of an exact list or tuple is real, so there running out of memory is
// reported as such.
template <class Reserve>
void reserve_length(Py_ssize_t length, std::size_t element_size, bool hint, Reserve&& reserve) {
  const auto count = static_cast<std::size_t>(length);
  if (count > static_cast<std::size_t>(PTRDIFF_MAX) / element_size) fail("capacity overflow");
  if (hint) {
    void* probe = ::operator new(count * element_size, std::nothrow);
    if (probe == nullptr) return;
    ::operator delete(probe);
  }
  try {
    reserve(count);
  } catch (const std::bad_alloc&) {
    if (!hint) throw;
  } catch (const std::length_error&) {
    if (!hint) throw;
  }
}

// Feeds every element of a sequence argument to `element`, in order. Exact
// lists and tuples are read by index; a list is re-measured before every
// element, which is what its iterator does, so conversion code that changes
// the list sees the same outcome as on the generic path. Elements are
// borrowed: an `element` that may run Python code holds its own reference.
template <class Reserve, class Element>
void for_each_element(PyObject* obj, std::size_t element_size, Reserve&& reserve, Element&& element) {
  // Exact lists and tuples are sequences and no str: they need neither check.
  if (PyList_CheckExact(obj)) {
    reserve_length(PyList_GET_SIZE(obj), element_size, false, reserve);
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(obj); ++i) element(PyList_GET_ITEM(obj, i));
    return;
  }
  if (PyTuple_CheckExact(obj)) {
    reserve_length(PyTuple_GET_SIZE(obj), element_size, false, reserve);
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(obj); ++i) element(PyTuple_GET_ITEM(obj, i));
    return;
  }
  if (PyUnicode_Check(obj)) throw PyError::lazy(PyExc_TypeError, kStrAsSequence);
  if (!PySequence_Check(obj)) throw type_mismatch(obj, "Sequence");
  if (const Py_ssize_t length = PySequence_Size(obj); length >= 0) {
    reserve_length(length, element_size, true, reserve);
  } else {
    PyErr_Clear();
  }
  Ref iterator = Ref::steal(PyObject_GetIter(obj));
  if (!iterator) throw_fetched();
  while (Ref item = Ref::steal(PyIter_Next(iterator.get()))) element(item.get());
  if (PyErr_Occurred()) throw_fetched();
}

// Ids from anything with __index__, and every id out of range.
[[gnu::noinline]] bpe::TokenId any_int_to_id(PyObject* obj) {
  // __index__ may drop the last other reference to `obj`.
  Ref held = Ref::new_ref(obj);
  const long value = PyLong_AsLong(obj);
  if (value == -1 && PyErr_Occurred()) throw_fetched();
  if (value < 0 || value > static_cast<long>(UINT32_MAX)) throw PyError::lazy(PyExc_OverflowError, kIdOutOfRange);
  return static_cast<bpe::TokenId>(value);
}

// Reads an exact int that fits a machine word and an id in place, with no
// call and no Python code; false for anything else.
[[gnu::always_inline]] inline bool read_plain_id(PyObject* obj, bpe::TokenId& id) {
  if (!PyLong_CheckExact(obj) || !PyUnstable_Long_IsCompact(reinterpret_cast<PyLongObject*>(obj))) return false;
  const Py_ssize_t value = PyUnstable_Long_CompactValue(reinterpret_cast<PyLongObject*>(obj));
  if (value < 0 || value > static_cast<Py_ssize_t>(UINT32_MAX)) return false;
  id = static_cast<bpe::TokenId>(value);
  return true;
}

// A plain id is read in place; everything else takes any_int_to_id.
[[gnu::always_inline]] inline bpe::TokenId id_of(PyObject* obj) {
  bpe::TokenId id;
  return read_plain_id(obj, id) ? id : any_int_to_id(obj);
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

std::string_view to_str_view(PyObject* obj, Utf8Text& text) {
  if (!PyUnicode_Check(obj)) throw type_mismatch(obj, "PyString");
  return text.read(obj);
}

bpe::TokenId to_id(PyObject* obj) { return id_of(obj); }

void to_ids(PyObject* obj, bpe::IdBuffer& ids) {
  // An exact list or tuple of ints that fit a machine word runs no Python
  // code while it is read, so it is read in one tight loop; at the first
  // other element the general path starts over.
  if (PyList_CheckExact(obj) || PyTuple_CheckExact(obj)) {
    const std::size_t start = ids.size();
    const auto count = static_cast<std::size_t>(PySequence_Fast_GET_SIZE(obj));
    PyObject* const* items = PySequence_Fast_ITEMS(obj);
    bpe::TokenId* out = ids.extend(count, 0);
    std::size_t i = 0;
    for (; i < count; ++i) {
      bpe::TokenId id;
      if (!read_plain_id(items[i], id)) break;
      out[i] = id;
    }
    if (i == count) return;
    ids.truncate(start);
  }
  for_each_element(
      obj, sizeof(bpe::TokenId), [&](std::size_t length) { ids.reserve(ids.size() + length); },
      [&](PyObject* item) { ids.push_back(id_of(item)); });
}

bpe::MergeRanks to_merge_ranks(PyObject* obj) {
  bpe::MergeRanks ranks;
  bpe::DeferredInserts<bpe::Rank> inserts(ranks);
  Utf8Text left_text;
  Utf8Text right_text;
  std::string key;
  bpe::Rank rank = 0;
  // Each reserved entry costs its record and two index slots.
  constexpr std::size_t kEntrySize = 3 * sizeof(std::size_t) + 2 * sizeof(std::uint64_t);
  for_each_element(
      obj, kEntrySize, [&](std::size_t length) { ranks.reserve(length); },
      [&](PyObject* pair) {
        if (!PyTuple_Check(pair)) throw type_mismatch(pair, "PyTuple");
        const Py_ssize_t size = PyTuple_GET_SIZE(pair);
        if (size != 2) {
          throw PyError::lazy(PyExc_ValueError,
                              "expected tuple of length 2, but got tuple of length " + std::to_string(size));
        }
        const std::string_view left = to_str_view(PyTuple_GET_ITEM(pair, 0), left_text);
        const std::string_view right = to_str_view(PyTuple_GET_ITEM(pair, 1), right_text);
        bpe::add_merge(inserts, left, right, rank++, key);
      });
  inserts.flush();
  return ranks;
}

bpe::TokenToId to_vocab(PyObject* obj) {
  if (!PyDict_Check(obj)) throw type_mismatch(obj, "PyDict");
  bpe::TokenToId vocab;
  const Py_ssize_t initial = PyDict_GET_SIZE(obj);
  vocab.reserve(static_cast<std::size_t>(initial));
  bpe::DeferredInserts<bpe::TokenId> inserts(vocab);
  Utf8Text text;
  Py_ssize_t pos = 0;
  Py_ssize_t seen = 0;
  PyObject* key = nullptr;
  PyObject* value = nullptr;
  while (PyDict_Next(obj, &pos, &key, &value)) {
    // A value's __index__ may change the dict, so hold the entry while
    // converting; an exact int runs no Python code.
    Ref held_key;
    Ref held_value;
    if (!PyLong_CheckExact(value)) {
      held_key = Ref::new_ref(key);
      held_value = Ref::new_ref(value);
    }
    const std::string_view token = to_str_view(key, text);
    inserts.insert_or_assign(token, to_id(value));
    if (PyDict_GET_SIZE(obj) != initial) fail("dictionary changed size during iteration");
    if (++seen > initial) fail("dictionary keys changed during iteration");
  }
  inserts.flush();
  return vocab;
}

PyObject* ids_to_list(std::span<const bpe::TokenId> ids) {
  Ref list = Ref::steal(require_created(PyList_New(static_cast<Py_ssize_t>(ids.size()))));
  for (std::size_t i = 0; i < ids.size(); ++i) {
    PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), require_created(PyLong_FromLong(ids[i])));
  }
  return list.release();
}

PyObject* text_to_str(std::string_view text) { return text_to_str(text, bpe::shape_of(text)); }

PyObject* text_to_str(std::string_view text, const bpe::TextShape& shape) {
  // Knowing the length and widest character, the str is made at its
  // narrowest width and filled in place: no general decoder, no widening as
  // it goes. Bytes that are not UTF-8 take the interpreter's decoder.
  const std::size_t size = text.size();
  if (shape.widest == bpe::Width::kMalformed) {
    return require_created(PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(size), nullptr));
  }
  static constexpr Py_UCS4 kMaxChar[] = {0x7F, 0xFF, 0xFFFF, 0x10FFFF};
  PyObject* str =
      require_created(PyUnicode_New(static_cast<Py_ssize_t>(shape.chars), kMaxChar[static_cast<int>(shape.widest)]));
  const auto* bytes = reinterpret_cast<const unsigned char*>(text.data());
  if (shape.widest == bpe::Width::kAscii) {
    std::memcpy(PyUnicode_DATA(str), bytes, size);
    return str;
  }
  // The text is UTF-8, so every lead byte says how many continuation bytes follow.
  auto fill = [&](auto* out) {
    for (std::size_t pos = 0; pos < size;) {
      const std::uint32_t lead = bytes[pos];
      std::uint32_t scalar;
      if (lead < 0x80) {
        scalar = lead;
        pos += 1;
      } else if (lead < 0xE0) {
        scalar = (lead & 0x1F) << 6 | (bytes[pos + 1] & 0x3F);
        pos += 2;
      } else if (lead < 0xF0) {
        scalar = (lead & 0x0F) << 12 | (bytes[pos + 1] & 0x3F) << 6 | (bytes[pos + 2] & 0x3F);
        pos += 3;
      } else {
        scalar = (lead & 0x07) << 18 | (bytes[pos + 1] & 0x3F) << 12 | (bytes[pos + 2] & 0x3F) << 6 |
                 (bytes[pos + 3] & 0x3F);
        pos += 4;
      }
      *out++ = static_cast<std::remove_reference_t<decltype(*out)>>(scalar);
    }
  };
  switch (PyUnicode_KIND(str)) {
    case PyUnicode_1BYTE_KIND:
      fill(PyUnicode_1BYTE_DATA(str));
      break;
    case PyUnicode_2BYTE_KIND:
      fill(PyUnicode_2BYTE_DATA(str));
      break;
    default:
      fill(PyUnicode_4BYTE_DATA(str));
      break;
  }
  return str;
}

bool to_bool(const char* name, PyObject* obj) {
  if (!PyBool_Check(obj)) {
    throw PyError::lazy(PyExc_TypeError,
                        std::string("argument '") + name + "' must be a bool, not '" + Py_TYPE(obj)->tp_name + "'");
  }
  return obj == Py_True;
}

std::size_t to_size(const char* name, PyObject* obj, std::size_t minimum, std::size_t maximum) {
  const std::size_t value = convert_argument(name, [obj] {
    if (!PyLong_Check(obj)) throw type_mismatch(obj, "int");
    const Py_ssize_t value = PyLong_AsSsize_t(obj);
    if (value == -1 && PyErr_Occurred()) {
      if (!PyErr_ExceptionMatches(PyExc_OverflowError)) throw_fetched();
      PyErr_Clear();
      return SIZE_MAX;
    }
    return value < 0 ? SIZE_MAX : static_cast<std::size_t>(value);
  });
  if (value < minimum || value > maximum) {
    throw PyError::lazy(PyExc_ValueError, std::string(name) + " must be from " + std::to_string(minimum) + " to " +
                                              std::to_string(maximum) + ", got " + str_text(obj));
  }
  return value;
}

}  // namespace morfex::py
