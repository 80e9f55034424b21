#include "binding/utf8_text.h"

#include <cstdint>

#include "binding/errors.h"

namespace morfex::py {
namespace {

template <class Unit>
bool has_surrogate(const Unit* units, std::size_t length) noexcept {
  for (std::size_t i = 0; i < length; ++i) {
    if (units[i] >= 0xD800 && units[i] <= 0xDFFF) return true;
  }
  return false;
}

template <class Unit>
std::size_t encoded_size(const Unit* units, std::size_t length) noexcept {
  std::size_t size = length;
  for (std::size_t i = 0; i < length; ++i) size += (units[i] >= 0x80) + (units[i] >= 0x800) + (units[i] >= 0x10000);
  return size;
}

template <class Unit>
void encode(const Unit* units, std::size_t length, char* out) noexcept {
  for (std::size_t i = 0; i < length; ++i) {
    const std::uint32_t c = units[i];
    if (c < 0x80) {
      *out++ = static_cast<char>(c);
    } else if (c < 0x800) {
      *out++ = static_cast<char>(0xC0 | (c >> 6));
      *out++ = static_cast<char>(0x80 | (c & 0x3F));
    } else if (c < 0x10000) {
      *out++ = static_cast<char>(0xE0 | (c >> 12));
      *out++ = static_cast<char>(0x80 | ((c >> 6) & 0x3F));
      *out++ = static_cast<char>(0x80 | (c & 0x3F));
    } else {
      *out++ = static_cast<char>(0xF0 | (c >> 18));
      *out++ = static_cast<char>(0x80 | ((c >> 12) & 0x3F));
      *out++ = static_cast<char>(0x80 | ((c >> 6) & 0x3F));
      *out++ = static_cast<char>(0x80 | (c & 0x3F));
    }
  }
}

}  // namespace

char* Utf8Text::room(std::size_t size) {
  if (size <= sizeof(inline_)) return inline_;
  spill_.resize(size);
  return spill_.data();
}

std::string_view Utf8Text::read(PyObject* str) {
  const auto length = static_cast<std::size_t>(PyUnicode_GET_LENGTH(str));
  const void* data = PyUnicode_DATA(str);
  if (PyUnicode_IS_ASCII(str)) return std::string_view(static_cast<const char*>(data), length);

  auto encode_units = [&](const auto* units) -> std::string_view {
    const std::size_t size = encoded_size(units, length);
    char* out = room(size);
    encode(units, length, out);
    return std::string_view(out, size);
  };
  switch (PyUnicode_KIND(str)) {
    case PyUnicode_1BYTE_KIND:
      return encode_units(static_cast<const Py_UCS1*>(data));
    case PyUnicode_2BYTE_KIND:
      if (!has_surrogate(static_cast<const Py_UCS2*>(data), length)) return encode_units(static_cast<const Py_UCS2*>(data));
      break;
    default:
      if (!has_surrogate(static_cast<const Py_UCS4*>(data), length)) return encode_units(static_cast<const Py_UCS4*>(data));
      break;
  }
  // A lone surrogate has no UTF-8 form: let the interpreter raise its own error.
  Py_ssize_t size = 0;
  const char* utf8 = PyUnicode_AsUTF8AndSize(str, &size);
  if (utf8 == nullptr) throw_fetched();
  return std::string_view(utf8, static_cast<std::size_t>(size));
}

}  // namespace morfex::py
