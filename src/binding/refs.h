#pragma once

#include <utility>

#include "binding/python.h"

namespace morfex::py {

// Owns one strong reference (or none). The named constructors make the
// difference between taking over a new reference and adding one visible.
class Ref {
 public:
  Ref() noexcept = default;
  Ref(const Ref&) = delete;
  Ref& operator=(const Ref&) = delete;
  Ref(Ref&& other) noexcept : obj_(std::exchange(other.obj_, nullptr)) {}
  Ref& operator=(Ref&& other) noexcept {
    Ref(std::move(other)).swap(*this);
    return *this;
  }
  ~Ref() { Py_XDECREF(obj_); }

  // Takes over a reference the caller already owns (a "new reference").
  static Ref steal(PyObject* obj) noexcept { return Ref(obj); }
  // Adds a reference to a borrowed object.
  static Ref new_ref(PyObject* obj) noexcept {
    Py_XINCREF(obj);
    return Ref(obj);
  }

  PyObject* get() const noexcept { return obj_; }
  explicit operator bool() const noexcept { return obj_ != nullptr; }
  // Hands the reference to the caller, e.g. as an entry point's result.
  [[nodiscard]] PyObject* release() noexcept { return std::exchange(obj_, nullptr); }
  void swap(Ref& other) noexcept { std::swap(obj_, other.obj_); }

 private:
  explicit Ref(PyObject* obj) noexcept : obj_(obj) {}
  PyObject* obj_ = nullptr;
};

}  // namespace morfex::py
