#include "binding/utf8_text.h"

#include <cstdint>

#include "binding/errors.h"
#include "bpe/utf8.h"

namespace morfex::py {
namespace {

template <class Unit>
std::size_t encoded_size(const Unit* units, std::size_t length) noexcept {
  std::size_t size = length;
  for (std::size_t i = 0; i < length; ++i) size += (units[i] >= 0x80) + (units[i] >= 0x800) + (units[i] >= 0x10000);
  return size;
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

  // A unit of kind k takes at most k + 1 bytes (4 for kind 4). When that
  // bound fits inline, one pass encodes; otherwise the exact size is
  // measured first, so a long text never reserves more than it needs.
  auto encode_units = [&](const auto* units) -> std::string_view {
    const std::size_t bound = length * (sizeof(*units) == 4 ? 4 : sizeof(*units) + 1);
    char* out = bound <= sizeof(inline_) ? inline_ : room(encoded_size(units, length));
    const std::size_t size = bpe::encode_code_units(units, length, out);
    return size == bpe::kLoneSurrogate ? std::string_view() : std::string_view(out, size);
  };
  std::string_view text;
  switch (PyUnicode_KIND(str)) {
    case PyUnicode_1BYTE_KIND:
      return encode_units(static_cast<const Py_UCS1*>(data));
    case PyUnicode_2BYTE_KIND:
      text = encode_units(static_cast<const Py_UCS2*>(data));
      break;
    default:
      text = encode_units(static_cast<const Py_UCS4*>(data));
      break;
  }
  if (text.data() != nullptr) return text;
  // A lone surrogate has no UTF-8 form: let the interpreter raise its own error.
  Py_ssize_t size = 0;
  const char* utf8 = PyUnicode_AsUTF8AndSize(str, &size);
  if (utf8 == nullptr) throw_fetched();
  return std::string_view(utf8, static_cast<std::size_t>(size));
}

}  // namespace morfex::py
