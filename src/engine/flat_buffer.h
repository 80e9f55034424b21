#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>
#include <stdexcept>
#include <type_traits>
#include <utility>

namespace morfex::engine {

struct FreeDeleter {
  void operator()(void* data) const noexcept { std::free(data); }
};

// Memory handed over by a FlatBuffer: `bytes` bytes at `data`, released with std::free.
struct Storage {
  std::unique_ptr<void, FreeDeleter> data;
  std::size_t bytes = 0;
};

// A growable array of plain values in one malloc'd block. It grows with
// realloc, which moves large blocks by remapping pages instead of copying,
// and it can hand its block over (release) so a result leaves without a copy.
template <class T>
class FlatBuffer {
  static_assert(std::is_trivially_copyable_v<T>);

 public:
  FlatBuffer() = default;
  FlatBuffer(const FlatBuffer&) = delete;
  FlatBuffer& operator=(const FlatBuffer&) = delete;
  FlatBuffer(FlatBuffer&& other) noexcept
      : data_(std::exchange(other.data_, nullptr)),
        size_(std::exchange(other.size_, 0)),
        capacity_(std::exchange(other.capacity_, 0)) {}
  FlatBuffer& operator=(FlatBuffer&& other) noexcept {
    FlatBuffer(std::move(other)).swap(*this);
    return *this;
  }
  ~FlatBuffer() { std::free(data_); }

  void swap(FlatBuffer& other) noexcept {
    std::swap(data_, other.data_);
    std::swap(size_, other.size_);
    std::swap(capacity_, other.capacity_);
  }

  void reserve(std::size_t capacity) {
    if (capacity <= capacity_) return;
    if (capacity > PTRDIFF_MAX / sizeof(T)) throw std::length_error("capacity overflow");
    void* grown = std::realloc(data_, capacity * sizeof(T));
    if (grown == nullptr) throw std::bad_alloc();
    data_ = static_cast<T*>(grown);
    capacity_ = capacity;
  }

  // Grows the size by `count` and returns where the new, unset elements start.
  T* extend(std::size_t count) {
    if (count > capacity_ - size_) {
      if (count > PTRDIFF_MAX / sizeof(T) - size_) throw std::length_error("capacity overflow");
      reserve(std::max(size_ + count, capacity_ + capacity_ / 2 + 16));
    }
    T* added = data_ + size_;
    size_ += count;
    return added;
  }

  void push_back(T value) { *extend(1) = value; }
  void append(const T* values, std::size_t count) {
    if (count != 0) std::memcpy(extend(count), values, count * sizeof(T));
  }
  void clear() noexcept { size_ = 0; }

  // Hands the elements over; the buffer is empty afterwards.
  Storage release() noexcept {
    Storage storage{std::unique_ptr<void, FreeDeleter>(data_), size_ * sizeof(T)};
    data_ = nullptr;
    size_ = capacity_ = 0;
    return storage;
  }

  T* data() noexcept { return data_; }
  const T* data() const noexcept { return data_; }
  std::size_t size() const noexcept { return size_; }
  bool empty() const noexcept { return size_ == 0; }
  T& operator[](std::size_t i) noexcept { return data_[i]; }
  const T& operator[](std::size_t i) const noexcept { return data_[i]; }
  T* begin() noexcept { return data_; }
  T* end() noexcept { return data_ + size_; }
  const T* begin() const noexcept { return data_; }
  const T* end() const noexcept { return data_ + size_; }

 private:
  T* data_ = nullptr;
  std::size_t size_ = 0;
  std::size_t capacity_ = 0;
};

}  // namespace morfex::engine
