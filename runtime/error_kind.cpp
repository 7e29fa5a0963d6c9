#include "runtime/error_kind.h"

namespace wr {

// A switch rather than an array indexed by ordinal: -Wswitch then reports a
// kind added to the enumeration without a description.
std::string_view DescriptionOf(ErrorKind kind) {
  switch (kind) {
    case ErrorKind::NotFound: return "entity not found";
    case ErrorKind::PermissionDenied: return "permission denied";
    case ErrorKind::ConnectionRefused: return "connection refused";
    case ErrorKind::ConnectionReset: return "connection reset";
    case ErrorKind::HostUnreachable: return "host unreachable";
    case ErrorKind::NetworkUnreachable: return "network unreachable";
    case ErrorKind::ConnectionAborted: return "connection aborted";
    case ErrorKind::NotConnected: return "not connected";
    case ErrorKind::AddressInUse: return "address in use";
    case ErrorKind::AddressNotAvailable: return "address not available";
    case ErrorKind::NetworkDown: return "network down";
    case ErrorKind::BrokenPipe: return "broken pipe";
    case ErrorKind::AlreadyExists: return "entity already exists";
    case ErrorKind::WouldBlock: return "operation would block";
    case ErrorKind::NotADirectory: return "not a directory";
    case ErrorKind::IsADirectory: return "is a directory";
    case ErrorKind::DirectoryNotEmpty: return "directory not empty";
    case ErrorKind::ReadOnlyFilesystem: return "read-only filesystem or storage medium";
    case ErrorKind::FilesystemLoop: return "filesystem loop or indirection limit (e.g. symlink loop)";
    case ErrorKind::StaleNetworkFileHandle: return "stale network file handle";
    case ErrorKind::InvalidInput: return "invalid input parameter";
    case ErrorKind::InvalidData: return "invalid data";
    case ErrorKind::TimedOut: return "timed out";
    case ErrorKind::WriteZero: return "write zero";
    case ErrorKind::NoStorageSpace: return "no storage space";
    case ErrorKind::NotSeekable: return "seek on unseekable file";
    case ErrorKind::QuotaExceeded: return "filesystem quota exceeded";
    case ErrorKind::FileTooLarge: return "file too large";
    case ErrorKind::ResourceBusy: return "resource busy";
    case ErrorKind::ExecutableFileBusy: return "executable file busy";
    case ErrorKind::Deadlock: return "deadlock";
    case ErrorKind::CrossDevice: return "cross-device link or rename";
    case ErrorKind::TooManyLinks: return "too many links";
    case ErrorKind::InvalidFilename: return "invalid filename";
    case ErrorKind::ArgumentListTooLong: return "argument list too long";
    case ErrorKind::Interrupted: return "operation interrupted";
    case ErrorKind::Unsupported: return "unsupported";
    case ErrorKind::UnexpectedEndOfFile: return "unexpected end of file";
    case ErrorKind::OutOfMemory: return "out of memory";
    case ErrorKind::OtherError: return "other error";
    case ErrorKind::Uncategorized: return "uncategorized error";
  }
  // Only a value cast from outside the enumeration gets here.
  return "uncategorized error";
}

// Win32 codes and Winsock codes share one number space; the Winsock ones
// (100xx) are listed next to their Win32 relatives.
ErrorKind KindOfOsCode(std::int32_t code) {
  switch (code) {
    case 2:   // ERROR_FILE_NOT_FOUND
    case 3:   // ERROR_PATH_NOT_FOUND
    case 15:  // ERROR_INVALID_DRIVE
    case 53:  // ERROR_BAD_NETPATH
    case 67:  // ERROR_BAD_NET_NAME
      return ErrorKind::NotFound;
    case 5:      // ERROR_ACCESS_DENIED
    case 10013:  // WSAEACCES
      return ErrorKind::PermissionDenied;
    case 10061:  // WSAECONNREFUSED
      return ErrorKind::ConnectionRefused;
    case 10054:  // WSAECONNRESET
      return ErrorKind::ConnectionReset;
    case 1232:   // ERROR_HOST_UNREACHABLE
    case 10065:  // WSAEHOSTUNREACH
      return ErrorKind::HostUnreachable;
    case 1231:   // ERROR_NETWORK_UNREACHABLE
    case 10051:  // WSAENETUNREACH
      return ErrorKind::NetworkUnreachable;
    case 10053:  // WSAECONNABORTED
      return ErrorKind::ConnectionAborted;
    case 10057:  // WSAENOTCONN
      return ErrorKind::NotConnected;
    case 10048:  // WSAEADDRINUSE
      return ErrorKind::AddressInUse;
    case 10049:  // WSAEADDRNOTAVAIL
      return ErrorKind::AddressNotAvailable;
    case 10050:  // WSAENETDOWN
      return ErrorKind::NetworkDown;
    case 109:  // ERROR_BROKEN_PIPE
    case 232:  // ERROR_NO_DATA: the reading end of a pipe is being closed
      return ErrorKind::BrokenPipe;
    case 80:   // ERROR_FILE_EXISTS
    case 183:  // ERROR_ALREADY_EXISTS
      return ErrorKind::AlreadyExists;
    case 10035:  // WSAEWOULDBLOCK
      return ErrorKind::WouldBlock;
    case 267:  // ERROR_DIRECTORY
      return ErrorKind::NotADirectory;
    case 336:  // ERROR_DIRECTORY_NOT_SUPPORTED
      return ErrorKind::IsADirectory;
    case 145:  // ERROR_DIR_NOT_EMPTY
      return ErrorKind::DirectoryNotEmpty;
    case 19:  // ERROR_WRITE_PROTECT
      return ErrorKind::ReadOnlyFilesystem;
    case 87:     // ERROR_INVALID_PARAMETER
    case 10022:  // WSAEINVAL
      return ErrorKind::InvalidInput;
    case 121:    // ERROR_SEM_TIMEOUT
    case 258:    // WAIT_TIMEOUT
    case 594:    // ERROR_DRIVER_CANCEL_TIMEOUT
    case 995:    // ERROR_OPERATION_ABORTED
    case 1053:   // ERROR_SERVICE_REQUEST_TIMEOUT
    case 1121:   // ERROR_COUNTER_TIMEOUT
    case 1460:   // ERROR_TIMEOUT
    case 5910:   // ERROR_RESOURCE_CALL_TIMED_OUT
    case 7012:   // ERROR_CTX_MODEM_RESPONSE_TIMEOUT
    case 7040:   // ERROR_CTX_CLIENT_QUERY_TIMEOUT
    case 8014:   // FRS_ERR_SYSVOL_POPULATE_TIMEOUT
    case 8226:   // ERROR_DS_TIMELIMIT_EXCEEDED
    case 9705:   // DNS_ERROR_RECORD_TIMED_OUT
    case 10060:  // WSAETIMEDOUT
    case 13805:  // ERROR_IPSEC_IKE_TIMED_OUT
    case 15402:  // ERROR_RUNLEVEL_SWITCH_TIMEOUT
    case 15403:  // ERROR_RUNLEVEL_SWITCH_AGENT_TIMEOUT
      return ErrorKind::TimedOut;
    case 39:   // ERROR_HANDLE_DISK_FULL
    case 112:  // ERROR_DISK_FULL
      return ErrorKind::NoStorageSpace;
    case 132:  // ERROR_SEEK_ON_DEVICE
      return ErrorKind::NotSeekable;
    case 1295:  // ERROR_DISK_QUOTA_EXCEEDED
      return ErrorKind::QuotaExceeded;
    case 223:  // ERROR_FILE_TOO_LARGE
      return ErrorKind::FileTooLarge;
    case 170:  // ERROR_BUSY
      return ErrorKind::ResourceBusy;
    case 1131:  // ERROR_POSSIBLE_DEADLOCK
      return ErrorKind::Deadlock;
    case 17:  // ERROR_NOT_SAME_DEVICE
      return ErrorKind::CrossDevice;
    case 1142:  // ERROR_TOO_MANY_LINKS
      return ErrorKind::TooManyLinks;
    case 123:  // ERROR_INVALID_NAME
    case 161:  // ERROR_BAD_PATHNAME
    case 206:  // ERROR_FILENAME_EXCED_RANGE
      return ErrorKind::InvalidFilename;
    case 120:  // ERROR_CALL_NOT_IMPLEMENTED
      return ErrorKind::Unsupported;
    case 8:   // ERROR_NOT_ENOUGH_MEMORY
    case 14:  // ERROR_OUTOFMEMORY
      return ErrorKind::OutOfMemory;
    default: return ErrorKind::Uncategorized;
  }
}

}  // namespace wr
