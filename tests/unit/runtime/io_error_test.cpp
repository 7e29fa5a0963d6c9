#include "runtime/io_error.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <optional>
#include <string>
#include <utility>

#include "runtime/result.h"
#include "tests/unit/fake/fake_system.h"
#include "tests/unit/runtime/string_sink.h"

namespace wr {
namespace {

using testing::FakeSystem;
using testing::StringSink;

struct FixedRow {
  const FixedRecord* record;
  std::string_view text;
  ErrorKind kind;
};

const FixedRow kFixedRecords[] = {
    {&fixed::kProgramNotFound, "program not found", ErrorKind::NotFound},
    {&fixed::kNoFileName, "program path has no file name", ErrorKind::InvalidInput},
    {&fixed::kNulInData, "nul byte found in provided data", ErrorKind::InvalidInput},
    {&fixed::kNulInWinApiString, "strings passed to WinAPI cannot contain NULs", ErrorKind::InvalidInput},
    {&fixed::kBadBatchFileName, "Windows file names may not contain `\"` or end with `\\`", ErrorKind::InvalidInput},
    {&fixed::kBadBatchArguments, "batch file arguments are invalid", ErrorKind::InvalidInput},
    {&fixed::kBadBatchFilePercent, "batch file paths may not contain `%`", ErrorKind::InvalidInput},
    {&fixed::kBadEnvironmentName, "environment variable names may not be empty or contain `=`",
     ErrorKind::InvalidInput},
    {&fixed::kInvalidUtf8ForWinApi, "strings passed to WinAPI must be valid UTF-8", ErrorKind::InvalidData},
    {&fixed::kTooManyAttributes, "maximum number of ProcThreadAttributes exceeded", ErrorKind::InvalidInput},
    {&fixed::kConsoleNonUtf8, "Windows stdio in console mode does not support writing non-UTF-8 byte sequences",
     ErrorKind::InvalidData},
    {&fixed::kConsoleUnpairedSurrogate,
     "Windows stdin in console mode does not support non-UTF-16 input; encountered unpaired surrogate",
     ErrorKind::InvalidData},
    {&fixed::kWriteWholeBuffer, "failed to write whole buffer", ErrorKind::WriteZero},
    {&fixed::kWriteBufferedData, "failed to write the buffered data", ErrorKind::WriteZero},
};

TEST(FixedRecords, TextKindAndReference) {
  FakeSystem os;
  for (const FixedRow& row : kFixedRecords) {
    SCOPED_TRACE(std::string(row.text));
    EXPECT_EQ(row.record->text, row.text);
    const IoError error = IoError::Fixed(*row.record);
    EXPECT_EQ(error.variant(), IoError::Variant::FixedMessage);
    // The error refers to the process-wide record; nothing is copied.
    EXPECT_EQ(&error.fixed(), row.record);
    EXPECT_EQ(KindOf(error), row.kind);
    EXPECT_FALSE(IsInterrupted(error));
    EXPECT_EQ(OsCodeOf(error), std::nullopt);
    StringSink sink;
    EXPECT_TRUE(DisplayText(os, error, sink));
    EXPECT_EQ(sink.text, row.text);
  }
  EXPECT_TRUE(os.calls.empty()) << "displaying a fixed message asks nothing of the system";
}

TEST(FixedRecords, ProgramNotFoundIsSeventeenCharacters) {
  FakeSystem os;
  StringSink sink;
  ASSERT_TRUE(DisplayText(os, IoError::Fixed(fixed::kProgramNotFound), sink));
  EXPECT_EQ(sink.text.size(), 17u);
  EXPECT_EQ(sink.text, "program not found");
}

TEST(IsInterrupted, NeverForAnOsCode) {
  // Not even for codes whose number happens to be an Interrupted-ish value
  // elsewhere (EINTR is 4, WSAEINTR is 10004).
  for (std::int32_t code = -1000; code <= 20000; ++code) {
    ASSERT_FALSE(IsInterrupted(IoError::FromOsCode(code))) << code;
  }
  for (std::int32_t code : {std::numeric_limits<std::int32_t>::min(), std::numeric_limits<std::int32_t>::max()}) {
    EXPECT_FALSE(IsInterrupted(IoError::FromOsCode(code))) << code;
  }
}

class CountedObject : public ErrorObject {
 public:
  CountedObject(int* destroyed, std::string text) : destroyed_(destroyed), text_(std::move(text)) {}
  ~CountedObject() override { ++*destroyed_; }
  bool Display(TextSink& sink) const override { return sink.Append(text_); }

 private:
  int* destroyed_;
  std::string text_;
};

TEST(IsInterrupted, ExactlyWhenTheHeldKindIsInterrupted) {
  FakeSystem os;
  int destroyed = 0;
  for (int ordinal = 0; ordinal < kErrorKindCount; ++ordinal) {
    const auto kind = static_cast<ErrorKind>(ordinal);
    SCOPED_TRACE(ordinal);
    const bool interrupted = kind == ErrorKind::Interrupted;
    EXPECT_EQ(IsInterrupted(IoError::FromKind(kind)), interrupted);
    EXPECT_EQ(IsInterrupted(IoError::Wrap(os, kind, new CountedObject(&destroyed, "x"))), interrupted);
  }
  EXPECT_EQ(destroyed, kErrorKindCount);
}

TEST(KindOf, EachVariantGivesItsKind) {
  FakeSystem os;
  int destroyed = 0;
  EXPECT_EQ(KindOf(IoError::FromOsCode(232)), ErrorKind::BrokenPipe);
  EXPECT_EQ(KindOf(IoError::FromOsCode(109)), ErrorKind::BrokenPipe);
  EXPECT_EQ(KindOf(IoError::FromOsCode(0)), ErrorKind::Uncategorized);
  EXPECT_EQ(KindOf(IoError::FromOsCode(-5)), ErrorKind::Uncategorized);
  EXPECT_EQ(KindOf(IoError::FromKind(ErrorKind::TimedOut)), ErrorKind::TimedOut);
  EXPECT_EQ(KindOf(IoError::Fixed(fixed::kWriteWholeBuffer)), ErrorKind::WriteZero);
  EXPECT_EQ(KindOf(IoError::Wrap(os, ErrorKind::Deadlock, new CountedObject(&destroyed, "x"))), ErrorKind::Deadlock);
}

TEST(OsCodeOf, OnlyAnOsCodeHasOne) {
  FakeSystem os;
  int destroyed = 0;
  for (std::int32_t code : {0, 6, 109, -1, std::numeric_limits<std::int32_t>::min()}) {
    EXPECT_EQ(OsCodeOf(IoError::FromOsCode(code)), std::optional<std::int32_t>(code));
  }
  EXPECT_EQ(OsCodeOf(IoError::FromKind(ErrorKind::NotFound)), std::nullopt);
  EXPECT_EQ(OsCodeOf(IoError::Fixed(fixed::kProgramNotFound)), std::nullopt);
  EXPECT_EQ(OsCodeOf(IoError::Wrap(os, ErrorKind::NotFound, new CountedObject(&destroyed, "x"))), std::nullopt);
}

TEST(LastOsError, HoldsTheThreadsLastErrorAsSigned) {
  FakeSystem os;
  os.SetLastError(5);
  EXPECT_EQ(OsCodeOf(LastOsError(os)), 5);
  os.SetLastError(0xFFFFFFFFu);
  EXPECT_EQ(OsCodeOf(LastOsError(os)), -1);
  os.SetLastError(0x80000000u);
  EXPECT_EQ(OsCodeOf(LastOsError(os)), std::numeric_limits<std::int32_t>::min());
}

TEST(CheckWin32, SuccessReadsNoLastError) {
  FakeSystem os;
  os.SetLastError(87);
  os.calls.clear();
  const Status ok = CheckWin32(os, true);
  EXPECT_TRUE(ok.ok());
  EXPECT_EQ(os.count("GetLastError"), 0u);

  const Status failed = CheckWin32(os, false);
  ASSERT_FALSE(failed.ok());
  EXPECT_EQ(OsCodeOf(failed.error()), 87);
  EXPECT_EQ(KindOf(failed.error()), ErrorKind::InvalidInput);
}

TEST(FromNtStatus, TheSystemsWin32CodeForTheStatus) {
  FakeSystem os;
  os.nt_to_dos[static_cast<NtStatus>(0xC0000001u)] = 0xFFFFFFFFu;
  struct Case {
    NtStatus status;
    std::int32_t code;
  };
  const Case cases[] = {
      {STATUS_PIPE_BROKEN, 109},
      {STATUS_INVALID_HANDLE, 6},
      {static_cast<NtStatus>(0xC0000001u), -1},
  };
  for (const Case& c : cases) {
    const IoError error = FromNtStatus(os, c.status);
    EXPECT_EQ(error.variant(), IoError::Variant::OsCode);
    EXPECT_EQ(OsCodeOf(error), c.code);
  }
  EXPECT_EQ(KindOf(FromNtStatus(os, STATUS_PIPE_BROKEN)), ErrorKind::BrokenPipe);
}

TEST(Wrapped, DestroyingTheErrorDestroysTheObjectOnce) {
  FakeSystem os;
  int destroyed = 0;
  {
    IoError error = IoError::Wrap(os, ErrorKind::OtherError, new CountedObject(&destroyed, "x"));
    EXPECT_EQ(error.variant(), IoError::Variant::Wrapped);
    EXPECT_EQ(destroyed, 0);
  }
  EXPECT_EQ(destroyed, 1);
}

TEST(Wrapped, MoveConstructionHandsOverOwnership) {
  FakeSystem os;
  int destroyed = 0;
  {
    IoError first = IoError::Wrap(os, ErrorKind::OtherError, new CountedObject(&destroyed, "moved"));
    {
      IoError second(std::move(first));
      EXPECT_EQ(second.variant(), IoError::Variant::Wrapped);
      EXPECT_EQ(KindOf(second), ErrorKind::OtherError);
      StringSink sink;
      EXPECT_TRUE(DisplayText(os, second, sink));
      EXPECT_EQ(sink.text, "moved");
    }
    EXPECT_EQ(destroyed, 1);
  }
  EXPECT_EQ(destroyed, 1);
}

TEST(Wrapped, MoveAssignmentReleasesTheTargetsObject) {
  FakeSystem os;
  int destroyed_a = 0;
  int destroyed_b = 0;
  {
    IoError a = IoError::Wrap(os, ErrorKind::OtherError, new CountedObject(&destroyed_a, "a"));
    IoError b = IoError::Wrap(os, ErrorKind::Unsupported, new CountedObject(&destroyed_b, "b"));
    a = std::move(b);
    EXPECT_EQ(destroyed_a, 1);
    EXPECT_EQ(destroyed_b, 0);
    EXPECT_EQ(KindOf(a), ErrorKind::Unsupported);
    // Assigning a plain value over a wrapped one frees it as well.
    a = IoError::FromOsCode(5);
    EXPECT_EQ(destroyed_b, 1);
    EXPECT_EQ(OsCodeOf(a), 5);
  }
  EXPECT_EQ(destroyed_a, 1);
  EXPECT_EQ(destroyed_b, 1);
}

TEST(Wrapped, SurvivesATripThroughResults) {
  FakeSystem os;
  int destroyed = 0;
  {
    auto make = [&]() -> Result<int> {
      return IoError::Wrap(os, ErrorKind::OtherError, new CountedObject(&destroyed, "x"));
    };
    Result<int> first = make();
    Result<int> second(std::move(first));
    ASSERT_FALSE(second.ok());
    EXPECT_EQ(KindOf(second.error()), ErrorKind::OtherError);
    EXPECT_EQ(destroyed, 0);
  }
  EXPECT_EQ(destroyed, 1);
}

TEST(OsCodeError, MovesKeepTheCode) {
  IoError a = IoError::FromOsCode(-268435457);
  IoError b(std::move(a));
  EXPECT_EQ(OsCodeOf(b), -268435457);
  IoError c = IoError::Fixed(fixed::kNulInData);
  c = std::move(b);
  EXPECT_EQ(OsCodeOf(c), -268435457);
}

}  // namespace
}  // namespace wr
