#pragma once

#include <cstddef>
#include <string_view>

#include "binding/errors.h"
#include "binding/python.h"

namespace morfex::py {

// Holds one exported buffer of a Python object (released on every path) so
// that the exporter can neither free nor resize it while it is read.
class BufferView {
 public:
  BufferView(PyObject* obj, int flags) {
    if (PyObject_GetBuffer(obj, &view_, flags) < 0) throw_fetched();
  }
  ~BufferView() { PyBuffer_Release(&view_); }
  BufferView(const BufferView&) = delete;
  BufferView& operator=(const BufferView&) = delete;

  const void* data() const noexcept { return view_.buf; }
  std::size_t bytes() const noexcept { return static_cast<std::size_t>(view_.len); }
  std::size_t itemsize() const noexcept { return static_cast<std::size_t>(view_.itemsize); }
  // The struct format, without a native or little-endian prefix ("B" when none was given).
  std::string_view format() const noexcept {
    std::string_view format = view_.format != nullptr ? view_.format : "B";
    if (!format.empty() && (format[0] == '@' || format[0] == '=' || format[0] == '<')) format.remove_prefix(1);
    return format;
  }

 private:
  Py_buffer view_;
};

}  // namespace morfex::py
