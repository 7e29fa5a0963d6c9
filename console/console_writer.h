// The process-wide, line-buffered standard-output writer.
#pragma once

#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <string_view>

#include "console/device_write.h"
#include "platform/system.h"
#include "runtime/result.h"
#include "runtime/sync.h"
#include "runtime/text_sink.h"

namespace wr {

class ConsoleWriter {
 public:
  static constexpr std::size_t kCapacity = 1024;

  // Allocates the buffer once; a failed allocation is a fatal stop.
  explicit ConsoleWriter(System& os);
  ~ConsoleWriter();
  ConsoleWriter(const ConsoleWriter&) = delete;
  ConsoleWriter& operator=(const ConsoleWriter&) = delete;

  // One message as ordered pieces, under one lock; a failure ends the
  // process in a fatal stop once the lock is released.
  void Print(std::initializer_list<std::string_view> pieces);
  // The same, for a message composed by `compose(TextSink&)` (used when a
  // value such as an error's display text arrives as several pieces).
  template <class Compose>
  void PrintComposed(Compose&& compose);

  // One byte string under the lock, line-buffered.
  Status WriteAll(std::string_view bytes);
  // Sends everything buffered on.
  Status Flush();

  // For tests.
  std::string_view buffered() const { return {reinterpret_cast<const char*>(buffer_), length_}; }
  ReentrantLock& lock() { return lock_; }

 private:
  class LockedSink;
  class BufferUse;
  // One piece through the line buffer; the caller holds the lock.
  Status WritePiece(std::string_view piece);
  Status LineBufferedWriteAll(std::string_view piece);
  Status BufferedWriteAll(std::string_view piece);
  Status FlushBuffer();
  Status SendBuffered(std::size_t& sent);
  void PrintLocked(void (*compose)(TextSink&, void*), void* context);

  System& os_;
  ReentrantLock lock_;
  std::uint8_t* buffer_;
  std::size_t length_ = 0;
  bool busy_ = false;  // a write on the buffer is under way
  Utf8Carry carry_;
};

template <class Compose>
void ConsoleWriter::PrintComposed(Compose&& compose) {
  PrintLocked([](TextSink& sink, void* context) { (*static_cast<Compose*>(context))(sink); }, &compose);
}

// The process-wide writer, created on first use under a once-only gate.
ConsoleWriter& StandardOutput(System& os);

}  // namespace wr
