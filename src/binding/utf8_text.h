#pragma once

#include <cstddef>
#include <string>
#include <string_view>

#include "binding/python.h"

namespace morfex::py {

// The UTF-8 form of a str, with the meaning and errors of
// PyUnicode_AsUTF8AndSize but without its cost on fresh strs: an ASCII str is
// read in place, and any other is encoded into this object's own storage
// instead of a copy that the interpreter would attach to the str. Reusable;
// each read invalidates the previous view.
class Utf8Text {
 public:
  Utf8Text() = default;
  Utf8Text(const Utf8Text&) = delete;
  Utf8Text& operator=(const Utf8Text&) = delete;

  // The caller has checked that `str` is a str and keeps it alive while the view is used.
  std::string_view read(PyObject* str);

 private:
  char* room(std::size_t size);

  // Enough for a word; longer texts spill to the heap.
  char inline_[256];
  std::string spill_;
};

}  // namespace morfex::py
