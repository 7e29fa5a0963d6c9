#include "console/console_reader.h"

#include <cstdlib>
#include <cstring>
#include <new>

#include "console/device_write.h"
#include "runtime/utf.h"

namespace wr {
namespace {

// One UTF-16 unit never takes more than three UTF-8 bytes, so a console read
// of a third of the destination always converts into it.
constexpr std::size_t kConsoleUnits = 4096;

// Besides Enter, the read also returns when Ctrl+Z (0x1A) is typed.
constexpr ConsoleReadControl kReadControl{sizeof(ConsoleReadControl), 0, 1u << 0x1A, 0};

constexpr char16_t kCtrlZ = 0x1A;

Result<std::size_t> ReadConsoleText(System& os, Handle console, std::uint8_t* destination, std::size_t size,
                                    char16_t& held) {
  char16_t units[kConsoleUnits];
  const std::size_t requested = size / 3 < kConsoleUnits ? size / 3 : kConsoleUnits;
  std::size_t count = 0;
  // The high half of a pair split by the previous read goes first, so that
  // the pair converts whole.
  if (held != 0) {
    units[count++] = held;
    held = 0;
  }
  const Dword room = static_cast<Dword>(requested > count ? requested - count : 0);
  Dword got = 0;
  for (;;) {
    os.SetLastError(0);
    got = 0;
    if (!os.ReadConsoleW(console, units + count, room, &got, &kReadControl)) return LastOsError(os);
    // Ctrl+C and Ctrl+Break end a pending read with nothing read and this
    // code; the line the user is typing is still to come.
    if (got == 0 && os.GetLastError() == ERROR_OPERATION_ABORTED) continue;
    break;
  }
  if (got > room) os.FatalStop();
  if (got > 0 && units[count + got - 1] == kCtrlZ) --got;
  count += got;
  if (count > 0 && IsHighSurrogate(units[count - 1])) held = units[--count];
  if (count == 0) return std::size_t{0};
  const int room_bytes = size < 0x7FFFFFFF ? static_cast<int>(size) : 0x7FFFFFFF;
  const int produced = os.WideCharToMultiByte(CP_UTF8, WC_ERR_INVALID_CHARS, units, static_cast<int>(count),
                                              reinterpret_cast<char*>(destination), room_bytes);
  if (produced <= 0) return IoError::Fixed(fixed::kConsoleUnpairedSurrogate);
  return static_cast<std::size_t>(produced);
}

Result<std::size_t> ReadBytes(System& os, Handle file, std::uint8_t* destination, std::size_t size) {
  IoStatusBlock block{STATUS_PENDING, 0};
  const Dword length = size < 0xFFFFFFFFu ? static_cast<Dword>(size) : 0xFFFFFFFFu;
  NtStatus status = os.NtReadFile(file, &block, destination, length);
  // A handle opened for overlapped I/O answers pending even to a read that
  // asked for no event; waiting on the handle itself completes it.
  if (status == STATUS_PENDING) {
    os.WaitForSingleObject(file, INFINITE);
    status = block.Status;
  }
  if (status == STATUS_END_OF_FILE) return std::size_t{0};
  if (status == STATUS_PENDING) StopOnPendingIo(os);
  if (status < 0) {
    IoError error = FromNtStatus(os, status);
    // The writing end of a pipe has gone: for a reader that is the end.
    if (KindOf(error) == ErrorKind::BrokenPipe) return std::size_t{0};
    return error;
  }
  return static_cast<std::size_t>(block.Information);
}

// Zero-initialised storage: the reader is built in place on first use and
// never destroyed, so no constructor runs at start-up and no destructor at
// exit.
constinit OnceGate g_input_gate;
alignas(ConsoleReader) unsigned char g_input_storage[sizeof(ConsoleReader)];

}  // namespace

ConsoleReader::ConsoleReader(System& os) : os_(os), buffer_(static_cast<std::uint8_t*>(std::malloc(kCapacity))) {
  if (buffer_ == nullptr) os_.FatalStop();
}

ConsoleReader::~ConsoleReader() { std::free(buffer_); }

Result<std::size_t> ConsoleReader::Read(std::uint8_t* destination, std::size_t size) {
  LockHolder<ByteMutex> hold(os_, mutex_);
  if (position_ >= filled_) {
    position_ = 0;
    filled_ = 0;
    Result<std::size_t> refill = DeviceRead(os_, buffer_, kCapacity, held_);
    if (refill.ok()) {
      if (refill.value() > kCapacity) os_.FatalStop();
      filled_ = refill.value();
    } else if (OsCodeOf(refill.error()) != static_cast<std::int32_t>(ERROR_INVALID_HANDLE)) {
      return std::move(refill.error());
    }
  }
  const std::size_t unread = filled_ - position_;
  const std::size_t count = size < unread ? size : unread;
  if (count > 0) std::memcpy(destination, buffer_ + position_, count);
  position_ += count;
  return count;
}

Result<std::size_t> DeviceRead(System& os, std::uint8_t* destination, std::size_t size, char16_t& held) {
  const Handle input = os.GetStdHandle(STD_INPUT_HANDLE);
  if (input == nullptr) return IoError::FromOsCode(ERROR_INVALID_HANDLE);
  if (input == InvalidHandleValue()) return LastOsError(os);
  // Asked anew every time: the handle may have been replaced since.
  Dword mode = 0;
  if (os.GetConsoleMode(input, &mode)) return ReadConsoleText(os, input, destination, size, held);
  return ReadBytes(os, input, destination, size);
}

ConsoleReader& StandardInput(System& os) {
  g_input_gate.Run(os, [&] { new (g_input_storage) ConsoleReader(os); });
  return *std::launder(reinterpret_cast<ConsoleReader*>(g_input_storage));
}

}  // namespace wr
