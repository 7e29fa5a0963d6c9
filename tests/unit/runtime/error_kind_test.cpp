#include "runtime/error_kind.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <map>
#include <set>
#include <string_view>

namespace wr {
namespace {

struct KindRow {
  int ordinal;
  ErrorKind kind;
  std::string_view description;
};

const KindRow kKinds[] = {
    {0, ErrorKind::NotFound, "entity not found"},
    {1, ErrorKind::PermissionDenied, "permission denied"},
    {2, ErrorKind::ConnectionRefused, "connection refused"},
    {3, ErrorKind::ConnectionReset, "connection reset"},
    {4, ErrorKind::HostUnreachable, "host unreachable"},
    {5, ErrorKind::NetworkUnreachable, "network unreachable"},
    {6, ErrorKind::ConnectionAborted, "connection aborted"},
    {7, ErrorKind::NotConnected, "not connected"},
    {8, ErrorKind::AddressInUse, "address in use"},
    {9, ErrorKind::AddressNotAvailable, "address not available"},
    {10, ErrorKind::NetworkDown, "network down"},
    {11, ErrorKind::BrokenPipe, "broken pipe"},
    {12, ErrorKind::AlreadyExists, "entity already exists"},
    {13, ErrorKind::WouldBlock, "operation would block"},
    {14, ErrorKind::NotADirectory, "not a directory"},
    {15, ErrorKind::IsADirectory, "is a directory"},
    {16, ErrorKind::DirectoryNotEmpty, "directory not empty"},
    {17, ErrorKind::ReadOnlyFilesystem, "read-only filesystem or storage medium"},
    {18, ErrorKind::FilesystemLoop, "filesystem loop or indirection limit (e.g. symlink loop)"},
    {19, ErrorKind::StaleNetworkFileHandle, "stale network file handle"},
    {20, ErrorKind::InvalidInput, "invalid input parameter"},
    {21, ErrorKind::InvalidData, "invalid data"},
    {22, ErrorKind::TimedOut, "timed out"},
    {23, ErrorKind::WriteZero, "write zero"},
    {24, ErrorKind::NoStorageSpace, "no storage space"},
    {25, ErrorKind::NotSeekable, "seek on unseekable file"},
    {26, ErrorKind::QuotaExceeded, "filesystem quota exceeded"},
    {27, ErrorKind::FileTooLarge, "file too large"},
    {28, ErrorKind::ResourceBusy, "resource busy"},
    {29, ErrorKind::ExecutableFileBusy, "executable file busy"},
    {30, ErrorKind::Deadlock, "deadlock"},
    {31, ErrorKind::CrossDevice, "cross-device link or rename"},
    {32, ErrorKind::TooManyLinks, "too many links"},
    {33, ErrorKind::InvalidFilename, "invalid filename"},
    {34, ErrorKind::ArgumentListTooLong, "argument list too long"},
    {35, ErrorKind::Interrupted, "operation interrupted"},
    {36, ErrorKind::Unsupported, "unsupported"},
    {37, ErrorKind::UnexpectedEndOfFile, "unexpected end of file"},
    {38, ErrorKind::OutOfMemory, "out of memory"},
    {39, ErrorKind::OtherError, "other error"},
    {40, ErrorKind::Uncategorized, "uncategorized error"},
};

TEST(ErrorKind, EveryKindHasItsOrdinalAndDescription) {
  ASSERT_EQ(std::size(kKinds), static_cast<std::size_t>(kErrorKindCount));
  for (const KindRow& row : kKinds) {
    SCOPED_TRACE(row.ordinal);
    EXPECT_EQ(static_cast<int>(row.kind), row.ordinal);
    EXPECT_EQ(DescriptionOf(row.kind), row.description);
  }
}

TEST(ErrorKind, DescriptionsArePrintableAsciiAndDistinct) {
  std::set<std::string_view> seen;
  for (const KindRow& row : kKinds) {
    const std::string_view text = DescriptionOf(row.kind);
    EXPECT_FALSE(text.empty());
    for (char c : text) EXPECT_TRUE(c >= 0x20 && c < 0x7F) << text;
    EXPECT_TRUE(seen.insert(text).second) << "repeated: " << text;
  }
}

// The whole classification table; every code not here is Uncategorized.
const std::map<std::int32_t, ErrorKind> kClassified = {
    {2, ErrorKind::NotFound},
    {3, ErrorKind::NotFound},
    {15, ErrorKind::NotFound},
    {53, ErrorKind::NotFound},
    {67, ErrorKind::NotFound},
    {5, ErrorKind::PermissionDenied},
    {10013, ErrorKind::PermissionDenied},
    {10061, ErrorKind::ConnectionRefused},
    {10054, ErrorKind::ConnectionReset},
    {1232, ErrorKind::HostUnreachable},
    {10065, ErrorKind::HostUnreachable},
    {1231, ErrorKind::NetworkUnreachable},
    {10051, ErrorKind::NetworkUnreachable},
    {10053, ErrorKind::ConnectionAborted},
    {10057, ErrorKind::NotConnected},
    {10048, ErrorKind::AddressInUse},
    {10049, ErrorKind::AddressNotAvailable},
    {10050, ErrorKind::NetworkDown},
    {109, ErrorKind::BrokenPipe},
    {232, ErrorKind::BrokenPipe},
    {80, ErrorKind::AlreadyExists},
    {183, ErrorKind::AlreadyExists},
    {10035, ErrorKind::WouldBlock},
    {267, ErrorKind::NotADirectory},
    {336, ErrorKind::IsADirectory},
    {145, ErrorKind::DirectoryNotEmpty},
    {19, ErrorKind::ReadOnlyFilesystem},
    {87, ErrorKind::InvalidInput},
    {10022, ErrorKind::InvalidInput},
    {121, ErrorKind::TimedOut},
    {258, ErrorKind::TimedOut},
    {594, ErrorKind::TimedOut},
    {995, ErrorKind::TimedOut},
    {1053, ErrorKind::TimedOut},
    {1121, ErrorKind::TimedOut},
    {1460, ErrorKind::TimedOut},
    {5910, ErrorKind::TimedOut},
    {7012, ErrorKind::TimedOut},
    {7040, ErrorKind::TimedOut},
    {8014, ErrorKind::TimedOut},
    {8226, ErrorKind::TimedOut},
    {9705, ErrorKind::TimedOut},
    {10060, ErrorKind::TimedOut},
    {13805, ErrorKind::TimedOut},
    {15402, ErrorKind::TimedOut},
    {15403, ErrorKind::TimedOut},
    {39, ErrorKind::NoStorageSpace},
    {112, ErrorKind::NoStorageSpace},
    {132, ErrorKind::NotSeekable},
    {1295, ErrorKind::QuotaExceeded},
    {223, ErrorKind::FileTooLarge},
    {170, ErrorKind::ResourceBusy},
    {1131, ErrorKind::Deadlock},
    {17, ErrorKind::CrossDevice},
    {1142, ErrorKind::TooManyLinks},
    {123, ErrorKind::InvalidFilename},
    {161, ErrorKind::InvalidFilename},
    {206, ErrorKind::InvalidFilename},
    {120, ErrorKind::Unsupported},
    {8, ErrorKind::OutOfMemory},
    {14, ErrorKind::OutOfMemory},
};

ErrorKind Expected(std::int32_t code) {
  auto it = kClassified.find(code);
  return it == kClassified.end() ? ErrorKind::Uncategorized : it->second;
}

TEST(KindOfOsCode, ListedCodes) {
  for (const auto& [code, kind] : kClassified) {
    EXPECT_EQ(KindOfOsCode(code), kind) << "code " << code;
  }
}

// Sweeping the whole range the table lives in catches a stray extra case
// as well as a missing one.
TEST(KindOfOsCode, EveryCodeUpTo20000MatchesTheTable) {
  for (std::int32_t code = -20000; code <= 20000; ++code) {
    ASSERT_EQ(KindOfOsCode(code), Expected(code)) << "code " << code;
  }
}

TEST(KindOfOsCode, ComparedAsSigned32BitNumbers) {
  struct Case {
    std::int32_t code;
    ErrorKind kind;
  };
  const Case cases[] = {
      {0, ErrorKind::Uncategorized},
      {-1, ErrorKind::Uncategorized},
      {-2, ErrorKind::Uncategorized},  // not ERROR_FILE_NOT_FOUND under any sign confusion
      {-109, ErrorKind::Uncategorized},
      {std::numeric_limits<std::int32_t>::min(), ErrorKind::Uncategorized},
      {std::numeric_limits<std::int32_t>::max(), ErrorKind::Uncategorized},
      // The low bits of an NTSTATUS-like code do not select a kind.
      {static_cast<std::int32_t>(0x10000002u), ErrorKind::Uncategorized},
      {static_cast<std::int32_t>(0xC0000005u), ErrorKind::Uncategorized},
      {static_cast<std::int32_t>(0x00010002u), ErrorKind::Uncategorized},
      {109, ErrorKind::BrokenPipe},
      {232, ErrorKind::BrokenPipe},
      {317, ErrorKind::Uncategorized},  // ERROR_MR_MID_NOT_FOUND
      {6, ErrorKind::Uncategorized},    // ERROR_INVALID_HANDLE
  };
  for (const Case& c : cases) {
    EXPECT_EQ(KindOfOsCode(c.code), c.kind) << "code " << c.code;
  }
}

}  // namespace
}  // namespace wr
