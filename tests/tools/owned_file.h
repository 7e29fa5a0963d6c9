// Move-only owner of a file handle for the small test tools, which use plain
// Win32 without the program's System seam. The empty value is
// INVALID_HANDLE_VALUE, as CreateFileW gives it.
#pragma once

#include <windows.h>

#include <utility>

class OwnedFile {
 public:
  explicit OwnedFile(HANDLE handle) : handle_(handle) {}
  OwnedFile(OwnedFile&& other) noexcept : handle_(std::exchange(other.handle_, INVALID_HANDLE_VALUE)) {}
  OwnedFile& operator=(OwnedFile&&) = delete;
  OwnedFile(const OwnedFile&) = delete;
  OwnedFile& operator=(const OwnedFile&) = delete;
  ~OwnedFile() {
    if (handle_ != INVALID_HANDLE_VALUE) CloseHandle(handle_);
  }
  HANDLE get() const { return handle_; }
  explicit operator bool() const { return handle_ != INVALID_HANDLE_VALUE; }

 private:
  HANDLE handle_;
};
