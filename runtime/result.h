// Expected-style results: a value or an IoError, never an exception.
#pragma once

#include <new>
#include <utility>

#include "runtime/io_error.h"

namespace wr {

struct Ok {};

template <class T>
class [[nodiscard]] Result {
 public:
  Result(T value) : ok_(true) { new (&value_) T(std::move(value)); }               // NOLINT: implicit by design
  Result(IoError error) : ok_(false) { new (&error_) IoError(std::move(error)); }  // NOLINT
  Result(Result&& other) noexcept : ok_(other.ok_) {
    if (ok_) new (&value_) T(std::move(other.value_));
    else new (&error_) IoError(std::move(other.error_));
  }
  Result& operator=(Result&&) = delete;
  Result(const Result&) = delete;
  Result& operator=(const Result&) = delete;
  ~Result() {
    if (ok_) value_.~T();
    else error_.~IoError();
  }

  bool ok() const { return ok_; }
  explicit operator bool() const { return ok_; }
  T& value() { return value_; }
  const T& value() const { return value_; }
  IoError& error() { return error_; }
  const IoError& error() const { return error_; }

 private:
  bool ok_;
  union {
    T value_;
    IoError error_;
  };
};

using Status = Result<Ok>;

inline Status Success() { return Status(Ok{}); }

// Success for a non-zero BOOL; LastOsError otherwise.
Status CheckWin32(System& os, bool result);

}  // namespace wr
