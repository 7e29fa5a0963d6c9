// The single device operation under every byte the program writes, the
// unbuffered write-all on top of it, and the standard-error writer.
#pragma once

#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <string_view>

#include "platform/system.h"
#include "runtime/result.h"

namespace wr {

enum class Stream : std::uint8_t { Output, Error };

// The start of a UTF-8 sequence whose other bytes have not arrived yet.
struct Utf8Carry {
  std::uint8_t bytes[4] = {0, 0, 0, 0};
  std::uint8_t count = 0;
};

// One attempt to write `data` to the stream's standard handle (looked up
// anew): UTF-16 to a console, the bytes unchanged to anything else. Returns
// how many bytes were consumed.
Result<std::size_t> DeviceWrite(System& os, Stream stream, std::string_view data, Utf8Carry& carry);

// Writes all of `data`. On standard output an invalid handle counts as
// success (the rest is dropped); standard error has no such rule.
Status WriteAllUnbuffered(System& os, Stream stream, std::string_view data, Utf8Carry& carry);

// Writes the pieces to standard error, unbuffered, with a fresh carry; the
// first failing piece ends the message. Failures are swallowed.
void WriteErrorText(System& os, std::initializer_list<std::string_view> pieces);

// A synchronous read or write still pending after its wait: the one fatal
// runtime message, then the fail-fast.
[[noreturn]] void StopOnPendingIo(System& os);

}  // namespace wr
