// The error value of every operation that can fail.
//
// Four variants: a Win32 code (`OsCode`), a bare kind, a reference to a
// fixed process-lifetime record, or an owned object with its own display
// text (`Wrapped`, the only one that allocates). Moved, never copied.
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

#include "runtime/error_kind.h"
#include "runtime/text_sink.h"

namespace wr {

class System;

// A fixed message and its kind; lives for the whole process.
struct FixedRecord {
  std::string_view text;
  ErrorKind kind;
};

// An error object of any type that can display itself.
class ErrorObject {
 public:
  virtual ~ErrorObject() = default;
  virtual bool Display(TextSink& sink) const = 0;
};

class IoError {
 public:
  enum class Variant : std::uint8_t { OsCode, BareKind, FixedMessage, Wrapped };

  static IoError FromOsCode(std::int32_t code) { return IoError(code); }
  static IoError FromKind(ErrorKind kind) { return IoError(kind); }
  static IoError Fixed(const FixedRecord& record) { return IoError(&record); }
  // Takes ownership of `object`, which must come from `new`. The record that
  // holds it is allocated here; a failed allocation is a fatal stop.
  static IoError Wrap(System& os, ErrorKind kind, ErrorObject* object);

  IoError(IoError&& other) noexcept;
  IoError& operator=(IoError&& other) noexcept;
  IoError(const IoError&) = delete;
  IoError& operator=(const IoError&) = delete;
  ~IoError();

  Variant variant() const { return variant_; }
  std::int32_t os_code() const { return code_; }        // OsCode only
  ErrorKind bare_kind() const { return kind_; }         // BareKind only
  const FixedRecord& fixed() const { return *fixed_; }  // FixedMessage only
  ErrorKind wrapped_kind() const;                       // Wrapped only
  const ErrorObject& wrapped_object() const;            // Wrapped only

 private:
  struct WrappedRecord;
  explicit IoError(std::int32_t code) : variant_(Variant::OsCode), code_(code) {}
  explicit IoError(ErrorKind kind) : variant_(Variant::BareKind), kind_(kind) {}
  explicit IoError(const FixedRecord* record) : variant_(Variant::FixedMessage), fixed_(record) {}
  explicit IoError(WrappedRecord* record) : variant_(Variant::Wrapped), wrapped_(record) {}
  void Destroy();

  Variant variant_;
  union {
    std::int32_t code_;
    ErrorKind kind_;
    const FixedRecord* fixed_;
    WrappedRecord* wrapped_;
  };
};

// The fixed records of the system.
namespace fixed {
extern const FixedRecord kProgramNotFound;           // "program not found"
extern const FixedRecord kNoFileName;                // "program path has no file name"
extern const FixedRecord kNulInData;                 // "nul byte found in provided data"
extern const FixedRecord kNulInWinApiString;         // "strings passed to WinAPI cannot contain NULs"
extern const FixedRecord kBadBatchFileName;          // "Windows file names may not contain `\"` or end with `\\`"
extern const FixedRecord kBadBatchArguments;         // "batch file arguments are invalid"
extern const FixedRecord kBadBatchFilePercent;       // "batch file paths may not contain `%`"
extern const FixedRecord kBadEnvironmentName;        // "environment variable names may not be empty or contain `=`"
extern const FixedRecord kInvalidUtf8ForWinApi;      // "strings passed to WinAPI must be valid UTF-8"
extern const FixedRecord kTooManyAttributes;         // "maximum number of ProcThreadAttributes exceeded"
extern const FixedRecord kConsoleNonUtf8;            // "Windows stdio in console mode does not support ..."
extern const FixedRecord kConsoleUnpairedSurrogate;  // "Windows stdin in console mode does not support ..."
extern const FixedRecord kWriteWholeBuffer;          // "failed to write whole buffer"
extern const FixedRecord kWriteBufferedData;         // "failed to write the buffered data"
}  // namespace fixed

// The thread's last error, read at once after the failed call.
IoError LastOsError(System& os);
// A failing NTSTATUS as the Win32 code RtlNtStatusToDosError gives for it.
IoError FromNtStatus(System& os, std::int32_t status);

ErrorKind KindOf(const IoError& error);
bool IsInterrupted(const IoError& error);
std::optional<std::int32_t> OsCodeOf(const IoError& error);

// Appends the error's display text. False only when the sink failed.
bool DisplayText(System& os, const IoError& error, TextSink& sink);

}  // namespace wr
