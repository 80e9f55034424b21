#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <stdexcept>
#include <type_traits>

namespace morfex::bpe {

// A growable array that keeps its first N elements inline. A word's ids or
// text fit there, so one call on a word allocates nothing; longer inputs
// spill to the heap.
template <class T, std::size_t N>
class SmallVector {
  static_assert(std::is_trivially_copyable_v<T>);

 public:
  SmallVector() = default;
  SmallVector(const SmallVector&) = delete;
  SmallVector& operator=(const SmallVector&) = delete;

  void reserve(std::size_t capacity) {
    if (capacity <= capacity_) return;
    if (capacity > PTRDIFF_MAX / sizeof(T)) throw std::length_error("capacity overflow");
    auto grown = std::make_unique_for_overwrite<T[]>(capacity);
    if (size_ != 0) std::memcpy(grown.get(), data_, size_ * sizeof(T));
    heap_ = std::move(grown);
    data_ = heap_.get();
    capacity_ = capacity;
  }

  void push_back(T value) {
    if (size_ == capacity_) reserve(capacity_ * 2);
    data_[size_++] = value;
  }

  void append(const T* values, std::size_t count) {
    if (count > capacity_ - size_) reserve(std::max(size_ + count, 2 * capacity_));
    if (count != 0) std::memcpy(data_ + size_, values, count * sizeof(T));
    size_ += count;
  }

  // Grows the size by `count` and returns where the new, unset elements
  // start; `spare` more elements stay allocated past them, free to scribble on.
  T* extend(std::size_t count, std::size_t spare) {
    if (count + spare > capacity_ - size_) reserve(std::max(size_ + count + spare, 2 * capacity_));
    T* added = data_ + size_;
    size_ += count;
    return added;
  }

  // Drops the elements from `size` on.
  void truncate(std::size_t size) noexcept {
    if (size < size_) size_ = size;
  }

  T* data() noexcept { return data_; }
  const T* data() const noexcept { return data_; }
  std::size_t size() const noexcept { return size_; }
  T* begin() noexcept { return data_; }
  T* end() noexcept { return data_ + size_; }
  const T* begin() const noexcept { return data_; }
  const T* end() const noexcept { return data_ + size_; }

 private:
  T inline_[N];
  std::unique_ptr<T[]> heap_;
  T* data_ = inline_;
  std::size_t size_ = 0;
  std::size_t capacity_ = N;
};

}  // namespace morfex::bpe
