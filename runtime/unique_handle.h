// Move-only owner of a Windows handle. The empty value (null) is part of the
// type; an owned handle is closed when the owner goes away.
#pragma once

#include <utility>

#include "platform/system.h"

namespace wr {

class UniqueHandle {
 public:
  UniqueHandle() = default;
  UniqueHandle(System& os, Handle handle) : os_(&os), handle_(handle) {}
  UniqueHandle(UniqueHandle&& other) noexcept : os_(other.os_), handle_(std::exchange(other.handle_, nullptr)) {}
  UniqueHandle& operator=(UniqueHandle&& other) noexcept {
    if (this != &other) {
      Reset();
      os_ = other.os_;
      handle_ = std::exchange(other.handle_, nullptr);
    }
    return *this;
  }
  UniqueHandle(const UniqueHandle&) = delete;
  UniqueHandle& operator=(const UniqueHandle&) = delete;
  ~UniqueHandle() { Reset(); }

  Handle get() const { return handle_; }
  explicit operator bool() const { return handle_ != nullptr; }

  // Closes now and reports whether CloseHandle succeeded (true when empty).
  bool Close() {
    if (handle_ == nullptr) return true;
    return os_->CloseHandle(std::exchange(handle_, nullptr));
  }
  // Gives the handle up without closing it.
  Handle Release() { return std::exchange(handle_, nullptr); }

 private:
  void Reset() {
    if (handle_ != nullptr) os_->CloseHandle(std::exchange(handle_, nullptr));
  }

  System* os_ = nullptr;
  Handle handle_ = nullptr;
};

}  // namespace wr
