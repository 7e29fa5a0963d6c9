// A small growable array on the C heap. The product keeps away from the
// standard containers (they drag in the exception machinery); a failed
// allocation here is a fatal stop, as for every broken invariant.
#pragma once

#include <cstddef>
#include <cstdlib>
#include <functional>
#include <new>
#include <string_view>
#include <utility>

#include "platform/system.h"

namespace wr {

template <class T>
class GrowBuffer {
 public:
  explicit GrowBuffer(System& os) : os_(&os) {}
  GrowBuffer(GrowBuffer&& other) noexcept
      : os_(other.os_),
        data_(std::exchange(other.data_, nullptr)),
        size_(std::exchange(other.size_, 0)),
        capacity_(std::exchange(other.capacity_, 0)) {}
  GrowBuffer& operator=(GrowBuffer&& other) noexcept {
    if (this != &other) {
      Free();
      os_ = other.os_;
      data_ = std::exchange(other.data_, nullptr);
      size_ = std::exchange(other.size_, 0);
      capacity_ = std::exchange(other.capacity_, 0);
    }
    return *this;
  }
  GrowBuffer(const GrowBuffer&) = delete;
  GrowBuffer& operator=(const GrowBuffer&) = delete;
  ~GrowBuffer() { Free(); }

  T* data() { return data_; }
  const T* data() const { return data_; }
  std::size_t size() const { return size_; }
  bool empty() const { return size_ == 0; }
  T& operator[](std::size_t i) {
    if (i >= size_) os_->FatalStop();
    return data_[i];
  }
  const T& operator[](std::size_t i) const {
    if (i >= size_) os_->FatalStop();
    return data_[i];
  }
  T& back() { return (*this)[size_ - 1]; }
  T* begin() { return data_; }
  T* end() { return data_ + size_; }
  const T* begin() const { return data_; }
  const T* end() const { return data_ + size_; }
  System& os() const { return *os_; }

  void Reserve(std::size_t capacity) {
    if (capacity <= capacity_) return;
    if (capacity > static_cast<std::size_t>(-1) / sizeof(T)) os_->FatalStop();
    T* fresh = static_cast<T*>(std::malloc(capacity * sizeof(T)));
    if (fresh == nullptr) os_->FatalStop();
    for (std::size_t i = 0; i < size_; ++i) {
      new (&fresh[i]) T(std::move(data_[i]));
      data_[i].~T();
    }
    std::free(data_);
    data_ = fresh;
    capacity_ = capacity;
  }
  void Push(T value) {
    Grow(1);
    new (&data_[size_]) T(std::move(value));
    ++size_;
  }
  void Append(const T* values, std::size_t count) {
    // The source may be this buffer's own storage, which the growth below
    // can move: find it again by its offset afterwards.
    const bool own =
        count != 0 && std::less_equal<const T*>()(data_, values) && std::less<const T*>()(values, data_ + size_);
    const std::size_t offset = own ? static_cast<std::size_t>(values - data_) : 0;
    Grow(count);
    if (own) values = data_ + offset;
    for (std::size_t i = 0; i < count; ++i) new (&data_[size_ + i]) T(values[i]);
    size_ += count;
  }
  // Grows to `count` elements, value-initialising the new ones.
  void Resize(std::size_t count) {
    if (count < size_) {
      Truncate(count);
      return;
    }
    Reserve(count);
    for (std::size_t i = size_; i < count; ++i) new (&data_[i]) T();
    size_ = count;
  }
  void Truncate(std::size_t count) {
    while (size_ > count) data_[--size_].~T();
  }
  void Clear() { Truncate(0); }

 private:
  void Grow(std::size_t extra) {
    if (extra > static_cast<std::size_t>(-1) - size_) os_->FatalStop();
    const std::size_t needed = size_ + extra;
    if (needed <= capacity_) return;
    std::size_t capacity = capacity_ < 8 ? 8 : capacity_;
    while (capacity < needed) capacity = capacity > static_cast<std::size_t>(-1) / 2 ? needed : capacity * 2;
    Reserve(capacity);
  }
  void Free() {
    Clear();
    std::free(data_);
    data_ = nullptr;
    capacity_ = 0;
  }

  System* os_;
  T* data_ = nullptr;
  std::size_t size_ = 0;
  std::size_t capacity_ = 0;
};

// UTF-8 text and UTF-16 text owned on the heap.
using Text = GrowBuffer<char>;
using WideText = GrowBuffer<char16_t>;

inline std::string_view View(const Text& text) { return {text.data(), text.size()}; }
inline std::u16string_view View(const WideText& text) { return {text.data(), text.size()}; }

inline void AppendView(Text& out, std::string_view text) { out.Append(text.data(), text.size()); }
inline void AppendView(WideText& out, std::u16string_view text) { out.Append(text.data(), text.size()); }

}  // namespace wr
