#include "runtime/io_error.h"

#include <cstdlib>
#include <new>
#include <utility>

#include "platform/system.h"
#include "runtime/result.h"

namespace wr {

struct IoError::WrappedRecord {
  ErrorKind kind;
  ErrorObject* object;
};

IoError IoError::Wrap(System& os, ErrorKind kind, ErrorObject* object) {
  void* memory = std::malloc(sizeof(WrappedRecord));
  if (memory == nullptr) os.FatalStop();
  return IoError(new (memory) WrappedRecord{kind, object});
}

IoError::IoError(IoError&& other) noexcept : variant_(other.variant_) {
  switch (variant_) {
    case Variant::OsCode: code_ = other.code_; break;
    case Variant::BareKind: kind_ = other.kind_; break;
    case Variant::FixedMessage: fixed_ = other.fixed_; break;
    case Variant::Wrapped:
      wrapped_ = other.wrapped_;
      // The moved-from value keeps nothing to free.
      other.variant_ = Variant::BareKind;
      other.kind_ = wrapped_->kind;
      break;
  }
}

IoError& IoError::operator=(IoError&& other) noexcept {
  if (this != &other) {
    Destroy();
    new (this) IoError(std::move(other));
  }
  return *this;
}

IoError::~IoError() { Destroy(); }

void IoError::Destroy() {
  if (variant_ == Variant::Wrapped) {
    delete wrapped_->object;
    std::free(wrapped_);
    variant_ = Variant::BareKind;
    kind_ = ErrorKind::Uncategorized;
  }
}

ErrorKind IoError::wrapped_kind() const { return wrapped_->kind; }
const ErrorObject& IoError::wrapped_object() const { return *wrapped_->object; }

namespace fixed {
const FixedRecord kProgramNotFound{"program not found", ErrorKind::NotFound};
const FixedRecord kNoFileName{"program path has no file name", ErrorKind::InvalidInput};
const FixedRecord kNulInData{"nul byte found in provided data", ErrorKind::InvalidInput};
const FixedRecord kNulInWinApiString{"strings passed to WinAPI cannot contain NULs", ErrorKind::InvalidInput};
const FixedRecord kBadBatchFileName{"Windows file names may not contain `\"` or end with `\\`",
                                    ErrorKind::InvalidInput};
const FixedRecord kBadBatchArguments{"batch file arguments are invalid", ErrorKind::InvalidInput};
const FixedRecord kBadBatchFilePercent{"batch file paths may not contain `%`", ErrorKind::InvalidInput};
const FixedRecord kBadEnvironmentName{"environment variable names may not be empty or contain `=`",
                                      ErrorKind::InvalidInput};
const FixedRecord kInvalidUtf8ForWinApi{"strings passed to WinAPI must be valid UTF-8", ErrorKind::InvalidData};
const FixedRecord kTooManyAttributes{"maximum number of ProcThreadAttributes exceeded", ErrorKind::InvalidInput};
const FixedRecord kConsoleNonUtf8{"Windows stdio in console mode does not support writing non-UTF-8 byte sequences",
                                  ErrorKind::InvalidData};
const FixedRecord kConsoleUnpairedSurrogate{
    "Windows stdin in console mode does not support non-UTF-16 input; encountered unpaired surrogate",
    ErrorKind::InvalidData};
const FixedRecord kWriteWholeBuffer{"failed to write whole buffer", ErrorKind::WriteZero};
const FixedRecord kWriteBufferedData{"failed to write the buffered data", ErrorKind::WriteZero};
}  // namespace fixed

IoError LastOsError(System& os) { return IoError::FromOsCode(static_cast<std::int32_t>(os.GetLastError())); }

Status CheckWin32(System& os, bool result) {
  if (result) return Success();
  return LastOsError(os);
}

IoError FromNtStatus(System& os, std::int32_t status) {
  return IoError::FromOsCode(static_cast<std::int32_t>(os.RtlNtStatusToDosError(status)));
}

ErrorKind KindOf(const IoError& error) {
  switch (error.variant()) {
    case IoError::Variant::OsCode: return KindOfOsCode(error.os_code());
    case IoError::Variant::BareKind: return error.bare_kind();
    case IoError::Variant::FixedMessage: return error.fixed().kind;
    case IoError::Variant::Wrapped: return error.wrapped_kind();
  }
  return ErrorKind::Uncategorized;
}

bool IsInterrupted(const IoError& error) {
  return error.variant() != IoError::Variant::OsCode && KindOf(error) == ErrorKind::Interrupted;
}

std::optional<std::int32_t> OsCodeOf(const IoError& error) {
  if (error.variant() != IoError::Variant::OsCode) return std::nullopt;
  return error.os_code();
}

}  // namespace wr
