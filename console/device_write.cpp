#include "console/device_write.h"

#include <algorithm>
#include <cstring>

#include "runtime/utf.h"

namespace wr {
namespace {

// Most bytes one console write converts, and so most UTF-16 units it can
// produce (every UTF-8 byte yields at most one unit).
constexpr std::size_t kConsoleChunk = 4096;

constexpr std::string_view kPendingMessage =
    "fatal runtime error: I/O error: operation failed to complete synchronously\n";

// What a byte write still pending after its wait leads to. The fatal message
// itself goes to standard error; if that write is stuck as well, writing the
// message again could only recurse, so the message is dropped and the
// process ends at once.
enum class OnStuckWrite : std::uint8_t { StopWithMessage, FailAtOnce };

Dword StdHandleId(Stream stream) { return stream == Stream::Output ? STD_OUTPUT_HANDLE : STD_ERROR_HANDLE; }

IoError NotUtf8() { return IoError::Fixed(fixed::kConsoleNonUtf8); }

Result<std::size_t> WriteBytes(System& os, Handle file, std::string_view data, OnStuckWrite on_stuck) {
  IoStatusBlock block{STATUS_PENDING, 0};
  // NtWriteFile takes a 32-bit length; the rest is left to the caller's
  // next call, like any partial write.
  const Dword length = static_cast<Dword>(std::min<std::size_t>(data.size(), 0xFFFFFFFFu));
  NtStatus status = os.NtWriteFile(file, &block, data.data(), length);
  if (status == STATUS_PENDING) {
    // The standard handles are opened for synchronous I/O, but a handle
    // inherited from a parent may not be; wait for this one write only.
    os.WaitForSingleObject(file, INFINITE);
    status = block.Status;
    if (status == STATUS_PENDING) {
      if (on_stuck == OnStuckWrite::FailAtOnce) os.FailFast();
      StopOnPendingIo(os);
    }
  }
  if (status < 0) return FromNtStatus(os, status);
  if (block.Information > length) os.FatalStop();
  return static_cast<std::size_t>(block.Information);
}

// Writes 1 to 4096 bytes of valid UTF-8 to a console as UTF-16; returns how
// many of the bytes the console took.
Result<std::size_t> WriteConsoleText(System& os, Handle console, const char* bytes, std::size_t count) {
  char16_t units[kConsoleChunk];
  const int produced = os.MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, bytes, static_cast<int>(count), units,
                                              static_cast<int>(kConsoleChunk));
  if (produced <= 0 || static_cast<std::size_t>(produced) > kConsoleChunk) os.FatalStop();
  const Dword given = static_cast<Dword>(produced);
  Dword written = 0;
  if (!os.WriteConsoleW(console, units, given, &written)) return LastOsError(os);
  if (written == given) return count;
  if (written > given) os.FatalStop();

  std::size_t taken = written;
  // A console that stops between the halves of a surrogate pair would show
  // a broken character and make the byte count below impossible; push the
  // low half through on its own, whatever becomes of it.
  if (IsLowSurrogate(units[taken])) {
    Dword ignored = 0;
    (void)os.WriteConsoleW(console, &units[taken], 1, &ignored);
    ++taken;
  }
  std::size_t consumed = 0;
  for (std::size_t i = 0; i < taken; ++i) {
    const char16_t unit = units[i];
    // A low surrogate adds 1: its high half counted 3, four bytes for the pair.
    if (unit < 0x80 || IsLowSurrogate(unit)) consumed += 1;
    else if (unit < 0x800) consumed += 2;
    else consumed += 3;
  }
  return consumed;
}

// The next byte of a character whose start an earlier call kept back.
Result<std::size_t> ContinueCarried(System& os, Handle console, std::uint8_t next, Utf8Carry& carry) {
  if (!IsContinuationByte(next)) {
    carry.count = 0;
    return NotUtf8();
  }
  if (carry.count >= sizeof carry.bytes) os.FatalStop();
  carry.bytes[carry.count++] = next;
  if (carry.count < Utf8SequenceWidth(carry.bytes[0])) return std::size_t{1};

  char collected[sizeof carry.bytes];
  const std::size_t count = carry.count;
  std::memcpy(collected, carry.bytes, count);
  carry.count = 0;
  if (ValidUtf8PrefixLength(reinterpret_cast<const std::uint8_t*>(collected), count) != count) return NotUtf8();
  Result<std::size_t> written = WriteConsoleText(os, console, collected, count);
  if (!written || written.value() == 0) {
    // Nothing of the character reached the console: keep its start, so that
    // the same byte handed over again completes it instead of being lost or
    // taken for invalid UTF-8.
    carry.count = static_cast<std::uint8_t>(count - 1);
    if (!written) return std::move(written.error());
    return std::size_t{0};
  }
  return std::size_t{1};
}

Result<std::size_t> WriteToConsole(System& os, Handle console, std::string_view data, Utf8Carry& carry) {
  const auto* bytes = reinterpret_cast<const std::uint8_t*>(data.data());
  if (carry.count != 0) return ContinueCarried(os, console, bytes[0], carry);

  const std::size_t part = std::min(data.size(), kConsoleChunk);
  const std::size_t valid = ValidUtf8PrefixLength(bytes, part);
  if (valid != 0) return WriteConsoleText(os, console, data.data(), valid);
  // Nothing valid at the front: either a character the data ends inside of,
  // kept back for the next call, or a byte no character can start with.
  if (static_cast<std::size_t>(Utf8SequenceWidth(bytes[0])) > data.size()) {
    carry.bytes[0] = bytes[0];
    carry.count = 1;
    return std::size_t{1};
  }
  return NotUtf8();
}

Result<std::size_t> WriteOnce(System& os, Stream stream, std::string_view data, Utf8Carry& carry,
                              OnStuckWrite on_stuck) {
  if (data.empty()) return std::size_t{0};
  const Handle handle = os.GetStdHandle(StdHandleId(stream));
  if (handle == nullptr) return IoError::FromOsCode(ERROR_INVALID_HANDLE);
  if (handle == InvalidHandleValue()) return LastOsError(os);
  // Redirection can change between writes (a child may even replace the
  // handle), so the console test is never cached.
  Dword mode = 0;
  if (os.GetConsoleMode(handle, &mode)) return WriteToConsole(os, handle, data, carry);
  return WriteBytes(os, handle, data, on_stuck);
}

Status WriteAll(System& os, Stream stream, std::string_view data, Utf8Carry& carry, OnStuckWrite on_stuck) {
  while (!data.empty()) {
    Result<std::size_t> written = WriteOnce(os, stream, data, carry, on_stuck);
    if (!written) {
      if (IsInterrupted(written.error())) continue;
      // Output to a closed or absent standard output is dropped silently;
      // the program must keep running without a visible console.
      if (stream == Stream::Output && OsCodeOf(written.error()) == std::int32_t{ERROR_INVALID_HANDLE}) {
        return Success();
      }
      return std::move(written.error());
    }
    if (written.value() == 0) return IoError::Fixed(fixed::kWriteWholeBuffer);
    data.remove_prefix(written.value());
  }
  return Success();
}

}  // namespace

Result<std::size_t> DeviceWrite(System& os, Stream stream, std::string_view data, Utf8Carry& carry) {
  return WriteOnce(os, stream, data, carry, OnStuckWrite::StopWithMessage);
}

Status WriteAllUnbuffered(System& os, Stream stream, std::string_view data, Utf8Carry& carry) {
  return WriteAll(os, stream, data, carry, OnStuckWrite::StopWithMessage);
}

void WriteErrorText(System& os, std::initializer_list<std::string_view> pieces) {
  // Every caller fails fast right after the message, so a stuck standard
  // error may end the process here already.
  Utf8Carry carry;
  for (std::string_view piece : pieces) {
    if (!WriteAll(os, Stream::Error, piece, carry, OnStuckWrite::FailAtOnce)) return;
  }
}

void StopOnPendingIo(System& os) {
  WriteErrorText(os, {kPendingMessage});
  // The compiler does not carry [[noreturn]] through a virtual call; the
  // loop only tells it what the seam already promises.
  for (;;) os.FailFast();
}

}  // namespace wr
