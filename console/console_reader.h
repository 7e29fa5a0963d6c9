// The process-wide standard-input reader.
#pragma once

#include <cstddef>
#include <cstdint>

#include "platform/system.h"
#include "runtime/result.h"
#include "runtime/sync.h"

namespace wr {

class ConsoleReader {
 public:
  static constexpr std::size_t kCapacity = 12288;

  // Allocates the buffer once; a failed allocation is a fatal stop.
  explicit ConsoleReader(System& os);
  ~ConsoleReader();
  ConsoleReader(const ConsoleReader&) = delete;
  ConsoleReader& operator=(const ConsoleReader&) = delete;

  // Delivers up to `size` bytes; 0 is end of input.
  Result<std::size_t> Read(std::uint8_t* destination, std::size_t size);

  char16_t held_surrogate() const { return held_; }

 private:
  System& os_;
  ByteMutex mutex_;
  std::uint8_t* buffer_;
  std::size_t position_ = 0;
  std::size_t filled_ = 0;
  char16_t held_ = 0;
};

// One read from standard input (looked up anew) into `destination`.
Result<std::size_t> DeviceRead(System& os, std::uint8_t* destination, std::size_t size, char16_t& held);

ConsoleReader& StandardInput(System& os);

}  // namespace wr
