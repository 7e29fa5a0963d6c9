// The kinds an I/O failure is sorted into, with their fixed descriptions.
#pragma once

#include <cstdint>
#include <string_view>

namespace wr {

enum class ErrorKind : std::uint8_t {
  NotFound,
  PermissionDenied,
  ConnectionRefused,
  ConnectionReset,
  HostUnreachable,
  NetworkUnreachable,
  ConnectionAborted,
  NotConnected,
  AddressInUse,
  AddressNotAvailable,
  NetworkDown,
  BrokenPipe,
  AlreadyExists,
  WouldBlock,
  NotADirectory,
  IsADirectory,
  DirectoryNotEmpty,
  ReadOnlyFilesystem,
  FilesystemLoop,
  StaleNetworkFileHandle,
  InvalidInput,
  InvalidData,
  TimedOut,
  WriteZero,
  NoStorageSpace,
  NotSeekable,
  QuotaExceeded,
  FileTooLarge,
  ResourceBusy,
  ExecutableFileBusy,
  Deadlock,
  CrossDevice,
  TooManyLinks,
  InvalidFilename,
  ArgumentListTooLong,
  Interrupted,
  Unsupported,
  UnexpectedEndOfFile,
  OutOfMemory,
  OtherError,
  Uncategorized,
};

inline constexpr int kErrorKindCount = 41;

// The kind's fixed ASCII description ("entity not found", ...).
std::string_view DescriptionOf(ErrorKind kind);

// Sorts a Win32 error code into a kind; unknown codes are Uncategorized.
ErrorKind KindOfOsCode(std::int32_t code);

}  // namespace wr
