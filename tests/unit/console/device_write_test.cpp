#include "console/device_write.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "runtime/io_error.h"
#include "tests/unit/fake/expect_error.h"
#include "tests/unit/fake/fake_system.h"

namespace wr {
namespace {

using testing::DeviceStep;
using testing::FailedFast;
using testing::FakeSystem;
using testing::FatalStopped;
using testing::Widen;

constexpr std::string_view kPendingMessage =
    "fatal runtime error: I/O error: operation failed to complete synchronously\n";

// Records what the device layer hands the system, and can be told to
// misreport console writes, conversions and the standard handle's error.
class RecordingSystem : public FakeSystem {
 public:
  struct Conversion {
    Dword code_page;
    Dword flags;
    std::string bytes;
    int room;
  };

  int MultiByteToWideChar(Dword codePage, Dword flags, const char* bytes, int count, char16_t* units,
                          int room) override {
    conversions.push_back({codePage, flags, std::string(bytes, static_cast<std::size_t>(count)), room});
    const int produced = FakeSystem::MultiByteToWideChar(codePage, flags, bytes, count, units, room);
    return converted_units.value_or(produced);
  }
  bool WriteConsoleW(Handle console, const char16_t* units, Dword count, Dword* written) override {
    const bool ok = FakeSystem::WriteConsoleW(console, units, count, written);
    if (ok && written_bonus != 0) *written = count + written_bonus;
    return ok;
  }
  NtStatus NtWriteFile(Handle file, IoStatusBlock* block, const void* data, Dword length) override {
    initial_blocks.push_back(*block);
    return FakeSystem::NtWriteFile(file, block, data, length);
  }
  Dword WaitForSingleObject(Handle object, Dword milliseconds) override {
    waits.push_back(milliseconds);
    return FakeSystem::WaitForSingleObject(object, milliseconds);
  }
  Handle GetStdHandle(Dword which) override {
    Handle h = FakeSystem::GetStdHandle(which);
    if (h == InvalidHandleValue() && invalid_handle_error) SetLastError(*invalid_handle_error);
    return h;
  }

  std::vector<Conversion> conversions;
  std::optional<int> converted_units;
  Dword written_bonus = 0;
  std::vector<IoStatusBlock> initial_blocks;
  std::vector<Dword> waits;
  std::optional<Dword> invalid_handle_error;
};

class DeviceWriteTest : public ::testing::Test {
 protected:
  Handle UseConsole(Dword which = STD_OUTPUT_HANDLE) {
    Handle h = os.AddConsole();
    os.SetStd(which, h);
    return h;
  }
  Handle UseFile(Dword which = STD_OUTPUT_HANDLE) {
    Handle h = os.AddFile();
    os.SetStd(which, h);
    return h;
  }
  Result<std::size_t> Write(std::string_view data, Stream stream = Stream::Output) {
    return DeviceWrite(os, stream, data, carry);
  }

  RecordingSystem os;
  Utf8Carry carry;
};

using testing::ExpectFixed;
using testing::ExpectOsCode;

std::string Repeat(std::string_view text, std::size_t times) {
  std::string out;
  for (std::size_t i = 0; i < times; ++i) out += text;
  return out;
}

// --- Handle lookup -----------------------------------------------------------

TEST_F(DeviceWriteTest, EmptyDataMakesNoSystemCall) {
  UseConsole();
  auto r = Write("");
  ASSERT_TRUE(r.ok());
  EXPECT_EQ(r.value(), 0u);
  EXPECT_TRUE(os.calls.empty());
}

TEST_F(DeviceWriteTest, MissingHandleIsInvalidHandleOnBothStreams) {
  for (Stream stream : {Stream::Output, Stream::Error}) {
    auto r = Write("abc", stream);
    ASSERT_FALSE(r.ok());
    ExpectOsCode(r.error(), 6);
  }
  EXPECT_EQ(os.count("GetConsoleMode"), 0u);
}

TEST_F(DeviceWriteTest, InvalidHandleValueGivesTheThreadsLastError) {
  os.SetStd(STD_OUTPUT_HANDLE, InvalidHandleValue());
  os.invalid_handle_error = ERROR_ACCESS_DENIED;
  auto r = Write("abc");
  ASSERT_FALSE(r.ok());
  ExpectOsCode(r.error(), 5);
  EXPECT_EQ(os.count("GetConsoleMode"), 0u);
}

TEST_F(DeviceWriteTest, HandleAndConsoleTestAreRepeatedOnEveryWrite) {
  const Handle console = UseConsole();
  ASSERT_TRUE(Write("a").ok());
  // A redirection made between two writes takes effect on the next one.
  const Handle file = UseFile();
  ASSERT_TRUE(Write("b").ok());
  os.SetStd(STD_OUTPUT_HANDLE, console);
  ASSERT_TRUE(Write("c").ok());
  EXPECT_EQ(os.count("GetStdHandle"), 3u);
  EXPECT_EQ(os.count("GetConsoleMode"), 3u);
  EXPECT_EQ(os.device(console).screen, u"ac");
  EXPECT_EQ(os.device(file).bytes, "b");
}

TEST_F(DeviceWriteTest, StreamsUseTheirOwnStandardHandles) {
  const Handle out = UseFile(STD_OUTPUT_HANDLE);
  const Handle err = UseFile(STD_ERROR_HANDLE);
  ASSERT_TRUE(Write("to out", Stream::Output).ok());
  ASSERT_TRUE(Write("to err", Stream::Error).ok());
  EXPECT_EQ(os.device(out).bytes, "to out");
  EXPECT_EQ(os.device(err).bytes, "to err");
}

// --- Byte path ---------------------------------------------------------------

TEST_F(DeviceWriteTest, FileReceivesTheUtf8BytesUnchanged) {
  const Handle file = UseFile();
  const std::string text = "\n    Отлично! Осталось перезагрузить windows!\n";
  auto r = Write(text);
  ASSERT_TRUE(r.ok());
  EXPECT_EQ(r.value(), text.size());
  EXPECT_EQ(os.device(file).bytes, text);
  ASSERT_EQ(os.initial_blocks.size(), 1u);
  EXPECT_EQ(os.initial_blocks[0].Status, STATUS_PENDING);
  EXPECT_EQ(os.initial_blocks[0].Information, 0u);
  EXPECT_EQ(os.count("MultiByteToWideChar"), 0u);
  EXPECT_TRUE(os.waits.empty());
}

TEST_F(DeviceWriteTest, BytePathOutcomes) {
  struct Case {
    const char* name;
    DeviceStep step;
    std::optional<std::size_t> consumed;  // or the OS code below
    std::int32_t code;
  };
  const Case cases[] = {
      {"partial take", DeviceStep::Take(3), 3, 0},
      {"nothing taken", DeviceStep::Take(0), 0, 0},
      {"broken pipe", DeviceStep::Status(STATUS_PIPE_BROKEN), std::nullopt, 109},
      {"invalid handle", DeviceStep::Fail(0), std::nullopt, 6},
      {"success status without data", DeviceStep::Status(0x40000000), 0, 0},
      {"pending, completed by the wait", DeviceStep::Pending(), 10, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    RecordingSystem fresh;
    const Handle file = fresh.AddFile();
    fresh.SetStd(STD_OUTPUT_HANDLE, file);
    fresh.device(file).write_script.push_back(c.step);
    Utf8Carry fresh_carry;
    auto r = DeviceWrite(fresh, Stream::Output, "0123456789", fresh_carry);
    if (c.consumed) {
      ASSERT_TRUE(r.ok());
      EXPECT_EQ(r.value(), *c.consumed);
    } else {
      ASSERT_FALSE(r.ok());
      ExpectOsCode(r.error(), c.code);
    }
  }
}

// A byte device that claims to have taken more than it was given.
class OverreportingSystem : public FakeSystem {
 public:
  NtStatus NtWriteFile(Handle file, IoStatusBlock* block, const void* data, Dword length) override {
    const NtStatus status = FakeSystem::NtWriteFile(file, block, data, length);
    block->Information = length + 1;
    return status;
  }
};

TEST(DeviceWriteByteCountTest, DeviceReportingMoreThanGivenIsFatal) {
  OverreportingSystem os;
  os.SetStd(STD_OUTPUT_HANDLE, os.AddFile());
  Utf8Carry carry;
  EXPECT_THROW((void)DeviceWrite(os, Stream::Output, "abc", carry), FatalStopped);
}

TEST_F(DeviceWriteTest, PendingWriteWaitsWithoutTimeLimit) {
  const Handle file = UseFile();
  os.device(file).write_script.push_back(DeviceStep::Pending());
  auto r = Write("abc");
  ASSERT_TRUE(r.ok());
  EXPECT_EQ(r.value(), 3u);
  EXPECT_EQ(os.waits, std::vector<Dword>{INFINITE});
}

TEST_F(DeviceWriteTest, WriteStillPendingAfterTheWaitFailsFastAfterTheMessage) {
  const Handle out = UseFile(STD_OUTPUT_HANDLE);
  const Handle err = UseFile(STD_ERROR_HANDLE);
  os.device(out).write_script.push_back(DeviceStep::StayPending());
  EXPECT_THROW((void)Write("abc"), FailedFast);
  EXPECT_EQ(os.device(err).bytes, kPendingMessage);
  EXPECT_EQ(os.device(out).bytes, "");
  // The message goes out before the fail-fast, and nothing after it.
  ASSERT_FALSE(os.calls.empty());
  EXPECT_EQ(os.calls.back(), "FailFast");
}

TEST_F(DeviceWriteTest, PendingMessageToAConsoleStandardError) {
  const Handle out = UseFile(STD_OUTPUT_HANDLE);
  const Handle err = UseConsole(STD_ERROR_HANDLE);
  os.device(out).write_script.push_back(DeviceStep::StayPending());
  EXPECT_THROW((void)Write("abc"), FailedFast);
  EXPECT_EQ(os.device(err).screen, Widen(kPendingMessage));
}

TEST_F(DeviceWriteTest, StuckStandardErrorStillEndsInTheFailFast) {
  const Handle out = UseFile(STD_OUTPUT_HANDLE);
  const Handle err = UseFile(STD_ERROR_HANDLE);
  os.device(out).write_script.push_back(DeviceStep::StayPending());
  os.device(err).write_script.push_back(DeviceStep::StayPending());
  EXPECT_THROW((void)Write("abc"), FailedFast);
  EXPECT_EQ(os.count("FailFast"), 1u);
  EXPECT_EQ(os.count("NtWriteFile"), 2u);
}

TEST_F(DeviceWriteTest, MissingStandardErrorLosesTheMessageButFailsFast) {
  const Handle out = UseFile(STD_OUTPUT_HANDLE);
  os.device(out).write_script.push_back(DeviceStep::StayPending());
  EXPECT_THROW((void)Write("abc"), FailedFast);
  EXPECT_EQ(os.count("NtWriteFile"), 1u);
}

// --- Console path -------------------------------------------------------------

TEST_F(DeviceWriteTest, ConsoleReceivesUtf16) {
  const Handle console = UseConsole();
  const std::string text = "Играй в наши пвп € 😀\n";
  auto r = Write(text);
  ASSERT_TRUE(r.ok());
  EXPECT_EQ(r.value(), text.size());
  EXPECT_EQ(os.device(console).screen, Widen(text));
  ASSERT_EQ(os.conversions.size(), 1u);
  EXPECT_EQ(os.conversions[0].code_page, CP_UTF8);
  EXPECT_EQ(os.conversions[0].flags, MB_ERR_INVALID_CHARS);
  EXPECT_EQ(os.conversions[0].room, 4096);
  EXPECT_EQ(os.count("NtWriteFile"), 0u);
}

TEST_F(DeviceWriteTest, ConsoleWriteIsCutAt4096BytesOnACharacterBoundary) {
  struct Case {
    const char* name;
    std::string text;
    std::size_t consumed;
  };
  const Case cases[] = {
      {"ASCII", std::string(5000, 'a'), 4096},
      {"two-byte letters, even start", Repeat("д", 3000), 4096},
      {"two-byte letters after one ASCII byte", "a" + Repeat("д", 3000), 4095},
      {"four-byte characters after two ASCII bytes", "ab" + Repeat("😀", 1100), 4094},
      {"short text", "abc", 3},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    RecordingSystem fresh;
    const Handle console = fresh.AddConsole();
    fresh.SetStd(STD_OUTPUT_HANDLE, console);
    Utf8Carry fresh_carry;
    auto r = DeviceWrite(fresh, Stream::Output, c.text, fresh_carry);
    ASSERT_TRUE(r.ok());
    EXPECT_EQ(r.value(), c.consumed);
    ASSERT_EQ(fresh.conversions.size(), 1u);
    EXPECT_EQ(fresh.conversions[0].bytes, c.text.substr(0, c.consumed));
    EXPECT_EQ(fresh.device(console).screen, Widen(c.text.substr(0, c.consumed)));
    EXPECT_EQ(fresh_carry.count, 0u);
  }
}

// "a", "д", "€", "😀", "b": 6 units, 11 bytes.
constexpr std::string_view kMixed =
    "a\xD0\xB4\xE2\x82\xAC\xF0\x9F\x98\x80"
    "b";

// "a", U+0080, U+07FF, U+0800, "z": 1, 2, 2, 3 and 1 bytes. The first and
// last characters of each UTF-8 width are where a count of bytes from units
// taken goes wrong by one.
constexpr std::string_view kWidthSteps = "a\xC2\x80\xDF\xBF\xE0\xA0\x80z";

// Whatever the console takes is counted back in bytes, and exactly that
// stands on screen.
TEST_F(DeviceWriteTest, PartialConsoleTakeIsCountedBackInBytes) {
  struct Case {
    const char* after;
    std::string_view text;
    std::size_t units_taken;
    std::size_t bytes;
    bool extra_write;  // the low half of the pair pushed through on its own
  };
  const Case cases[] = {
      {"a", kMixed, 1, 1, false},           {"д", kMixed, 2, 3, false},
      {"€", kMixed, 3, 6, false},           {"the high half of 😀", kMixed, 4, 10, true},
      {"😀", kMixed, 5, 10, false},          {"a, before U+0080", kWidthSteps, 1, 1, false},
      {"U+0080", kWidthSteps, 2, 3, false}, {"U+07FF", kWidthSteps, 3, 5, false},
      {"U+0800", kWidthSteps, 4, 8, false}, {"z", kWidthSteps, 5, 9, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.after);
    RecordingSystem fresh;
    const Handle console = fresh.AddConsole();
    fresh.SetStd(STD_OUTPUT_HANDLE, console);
    fresh.device(console).write_script.push_back(DeviceStep::Take(c.units_taken));
    Utf8Carry fresh_carry;
    auto r = DeviceWrite(fresh, Stream::Output, c.text, fresh_carry);
    ASSERT_TRUE(r.ok());
    EXPECT_EQ(r.value(), c.bytes);
    const auto& writes = fresh.device(console).console_writes;
    ASSERT_EQ(writes.size(), c.extra_write ? 2u : 1u);
    EXPECT_EQ(writes[0], Widen(c.text));
    if (c.extra_write) {
      EXPECT_EQ(writes[1], std::u16string(1, char16_t{0xDE00}));
    }
    EXPECT_EQ(fresh.device(console).screen, Widen(c.text.substr(0, c.bytes)));
    EXPECT_EQ(fresh_carry.count, 0u);
  }
}

// The write-all goes on from exactly the byte counted back: every character
// reaches the screen once, and each retry starts at the first one not taken.
TEST_F(DeviceWriteTest, WriteAllAfterTakesEndingAtWidthStepsRepeatsAndLosesNothing) {
  struct Case {
    const char* name;
    std::vector<std::size_t> takes;  // units per console write; the last write takes the rest
    std::vector<std::string_view> sent;
  };
  const std::string_view t = kWidthSteps;
  const Case cases[] = {
      {"one character a write", {1, 1, 1, 1}, {t, t.substr(1), t.substr(3), t.substr(5), t.substr(8)}},
      {"after U+0080, then U+0800", {2, 2}, {t, t.substr(3), t.substr(8)}},
      {"after U+07FF", {3}, {t, t.substr(5)}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    RecordingSystem fresh;
    const Handle console = fresh.AddConsole();
    fresh.SetStd(STD_OUTPUT_HANDLE, console);
    for (std::size_t units : c.takes) fresh.device(console).write_script.push_back(DeviceStep::Take(units));
    Utf8Carry fresh_carry;
    ASSERT_TRUE(WriteAllUnbuffered(fresh, Stream::Output, kWidthSteps, fresh_carry).ok());
    EXPECT_EQ(fresh.device(console).screen, Widen(kWidthSteps));
    std::vector<std::u16string> expected;
    for (std::string_view part : c.sent) expected.push_back(Widen(part));
    EXPECT_EQ(fresh.device(console).console_writes, expected);
  }
}

TEST_F(DeviceWriteTest, OutcomeOfTheExtraLowSurrogateWriteIsIgnored) {
  const Handle console = UseConsole();
  os.device(console).write_script.push_back(DeviceStep::Take(4));
  os.device(console).write_script.push_back(DeviceStep::Fail(31));
  auto r = Write(kMixed);
  ASSERT_TRUE(r.ok());
  EXPECT_EQ(r.value(), 10u);
}

TEST_F(DeviceWriteTest, ConsoleTakingNothingConsumesNothing) {
  const Handle console = UseConsole();
  os.device(console).write_script.push_back(DeviceStep::Take(0));
  auto r = Write(kMixed);
  ASSERT_TRUE(r.ok());
  EXPECT_EQ(r.value(), 0u);
}

TEST_F(DeviceWriteTest, FailedConsoleWriteGivesTheLastError) {
  const Handle console = UseConsole();
  os.device(console).write_script.push_back(DeviceStep::Fail(31));
  auto r = Write("abc");
  ASSERT_FALSE(r.ok());
  ExpectOsCode(r.error(), 31);
}

TEST_F(DeviceWriteTest, ImpossibleConsoleAnswersAreFatal) {
  struct Case {
    const char* name;
    std::optional<int> converted;
    Dword bonus;
  };
  const Case cases[] = {
      {"conversion yields nothing", 0, 0},
      {"conversion yields more than the array", 4097, 0},
      {"console reports more units than given", std::nullopt, 1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    RecordingSystem fresh;
    fresh.SetStd(STD_OUTPUT_HANDLE, fresh.AddConsole());
    fresh.converted_units = c.converted;
    fresh.written_bonus = c.bonus;
    Utf8Carry fresh_carry;
    EXPECT_THROW((void)DeviceWrite(fresh, Stream::Output, "abc", fresh_carry), FatalStopped);
  }
}

TEST_F(DeviceWriteTest, InvalidBytesFailOnlyWhenTheWriteStartsAtThem) {
  struct Case {
    const char* name;
    std::string data;
    std::size_t shown;  // bytes written before the bad one, in the first call
  };
  // One case a line: clang-format would put each of the adjacent string literals here on a line of its own.
  // clang-format off
  const Case cases[] = {
      {"lone continuation byte", "\x80" "abc", 0},
      {"0xFF", "\xFF" "abc", 0},
      {"0xC0 never starts anything", "\xC0\x80", 0},
      {"overlong three-byte form", "\xE0\x80\x80", 0},
      {"encoded surrogate", "\xED\xA0\x80", 0},
      {"above U+10FFFF", "\xF4\x90\x80\x80", 0},
      {"lead byte followed by ASCII", "\xD0" "a", 0},
      {"bad byte after text", "ab\xFF" "cd", 2},
      {"truncated sequence inside the data", "ab\xD0" "cd", 2},
  };
  // clang-format on
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    RecordingSystem fresh;
    const Handle console = fresh.AddConsole();
    fresh.SetStd(STD_OUTPUT_HANDLE, console);
    Utf8Carry fresh_carry;
    std::string_view rest = c.data;
    if (c.shown != 0) {
      auto first = DeviceWrite(fresh, Stream::Output, rest, fresh_carry);
      ASSERT_TRUE(first.ok());
      EXPECT_EQ(first.value(), c.shown);
      rest.remove_prefix(first.value());
    }
    const std::size_t console_writes = fresh.device(console).console_writes.size();
    auto r = DeviceWrite(fresh, Stream::Output, rest, fresh_carry);
    ASSERT_FALSE(r.ok());
    ExpectFixed(r.error(), fixed::kConsoleNonUtf8);
    EXPECT_EQ(fresh.device(console).console_writes.size(), console_writes);
    EXPECT_EQ(fresh.device(console).screen, Widen(c.data.substr(0, c.shown)));
    EXPECT_EQ(fresh_carry.count, 0u);
  }
}

TEST_F(DeviceWriteTest, InvalidBytesGoUnchangedToAFile) {
  const Handle file = UseFile();
  auto r = Write(
      "ab\xFF"
      "cd");
  ASSERT_TRUE(r.ok());
  EXPECT_EQ(r.value(), 5u);
  EXPECT_EQ(os.device(file).bytes,
            "ab\xFF"
            "cd");
}

// --- Carry ---------------------------------------------------------------------

TEST_F(DeviceWriteTest, CharacterHandedOverByteByByte) {
  struct Case {
    const char* name;
    std::string character;
  };
  const Case cases[] = {
      {"two bytes", "\xD0\xB4"},
      {"three bytes", "\xE2\x82\xAC"},
      {"four bytes", "\xF0\x9F\x98\x80"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    RecordingSystem fresh;
    const Handle console = fresh.AddConsole();
    fresh.SetStd(STD_OUTPUT_HANDLE, console);
    Utf8Carry fresh_carry;
    for (std::size_t i = 0; i < c.character.size(); ++i) {
      auto r = DeviceWrite(fresh, Stream::Output, c.character.substr(i, 1), fresh_carry);
      ASSERT_TRUE(r.ok());
      EXPECT_EQ(r.value(), 1u);
      const bool last = i + 1 == c.character.size();
      EXPECT_EQ(fresh.device(console).console_writes.size(), last ? 1u : 0u);
      EXPECT_EQ(fresh_carry.count, last ? 0u : i + 1);
    }
    EXPECT_EQ(fresh.device(console).screen, Widen(c.character));
  }
}

TEST_F(DeviceWriteTest, LeadByteAtTheEndIsCarriedAndTheRestFollows) {
  const Handle console = UseConsole();
  auto first = Write("ab\xD0");
  ASSERT_TRUE(first.ok());
  EXPECT_EQ(first.value(), 2u);
  auto second = Write("\xD0");
  ASSERT_TRUE(second.ok());
  EXPECT_EQ(second.value(), 1u);
  EXPECT_EQ(os.device(console).screen, u"ab");
  // The carried character is completed and written alone; the text after
  // it waits for the next call.
  auto third = Write("\xB4xyz");
  ASSERT_TRUE(third.ok());
  EXPECT_EQ(third.value(), 1u);
  EXPECT_EQ(os.device(console).screen, u"abд");
  auto fourth = Write("xyz");
  ASSERT_TRUE(fourth.ok());
  EXPECT_EQ(fourth.value(), 3u);
  EXPECT_EQ(os.device(console).screen, u"abдxyz");
}

TEST_F(DeviceWriteTest, TruncatedSequenceAtTheEndIsCarriedFromItsLeadByteOnly) {
  UseConsole();
  auto r = Write("\xE2\x82");
  ASSERT_TRUE(r.ok());
  EXPECT_EQ(r.value(), 1u);
  EXPECT_EQ(carry.count, 1u);
  EXPECT_EQ(carry.bytes[0], 0xE2);
}

TEST_F(DeviceWriteTest, BrokenCarryFailsAndIsEmptied) {
  struct Case {
    const char* name;
    std::string bytes;          // handed over one call per byte
    std::size_t failing_index;  // the call that fails
  };
  const Case cases[] = {
      {"lead byte then ASCII",
       "\xD0"
       "a",
       1},
      {"lead byte then another lead byte", "\xD0\xD0", 1},
      {"overlong form completed", "\xE0\x80\x80", 2},
      {"encoded surrogate completed", "\xED\xA0\x80", 2},
      {"above U+10FFFF completed", "\xF4\x90\x80\x80", 3},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    RecordingSystem fresh;
    const Handle console = fresh.AddConsole();
    fresh.SetStd(STD_OUTPUT_HANDLE, console);
    Utf8Carry fresh_carry;
    for (std::size_t i = 0; i < c.failing_index; ++i) {
      auto r = DeviceWrite(fresh, Stream::Output, c.bytes.substr(i, 1), fresh_carry);
      ASSERT_TRUE(r.ok()) << i;
      EXPECT_EQ(r.value(), 1u);
    }
    auto r = DeviceWrite(fresh, Stream::Output, c.bytes.substr(c.failing_index, 1), fresh_carry);
    ASSERT_FALSE(r.ok());
    ExpectFixed(r.error(), fixed::kConsoleNonUtf8);
    EXPECT_EQ(fresh_carry.count, 0u);
    EXPECT_TRUE(fresh.device(console).console_writes.empty());
    // Writing goes on normally afterwards.
    auto after = DeviceWrite(fresh, Stream::Output, "ok", fresh_carry);
    ASSERT_TRUE(after.ok());
    EXPECT_EQ(fresh.device(console).screen, u"ok");
  }
}

TEST_F(DeviceWriteTest, CompletedCarryTheConsoleDoesNotTakeIsKeptForTheRetry) {
  struct Case {
    const char* name;
    DeviceStep step;
    std::optional<std::int32_t> code;  // none: nothing consumed
  };
  const Case cases[] = {
      {"console write fails", DeviceStep::Fail(31), 31},
      {"console takes nothing", DeviceStep::Take(0), std::nullopt},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    RecordingSystem fresh;
    const Handle console = fresh.AddConsole();
    fresh.SetStd(STD_OUTPUT_HANDLE, console);
    Utf8Carry fresh_carry;
    ASSERT_TRUE(DeviceWrite(fresh, Stream::Output, "\xD0", fresh_carry).ok());
    fresh.device(console).write_script.push_back(c.step);
    auto r = DeviceWrite(fresh, Stream::Output, "\xB4", fresh_carry);
    if (c.code) {
      ASSERT_FALSE(r.ok());
      ExpectOsCode(r.error(), *c.code);
    } else {
      ASSERT_TRUE(r.ok());
      EXPECT_EQ(r.value(), 0u);
    }
    // The lead byte is still held, so the same byte given again completes
    // the character instead of failing as invalid UTF-8.
    EXPECT_EQ(fresh_carry.count, 1u);
    auto again = DeviceWrite(fresh, Stream::Output, "\xB4", fresh_carry);
    ASSERT_TRUE(again.ok());
    EXPECT_EQ(again.value(), 1u);
    EXPECT_EQ(fresh.device(console).screen, u"\u0434");
  }
}

// --- Unbuffered write-all ---------------------------------------------------

TEST_F(DeviceWriteTest, LongCyrillicTextReachesTheConsoleInCharacterWholeChunks) {
  const Handle console = UseConsole();
  const std::string text = Repeat("д", 5000);  // 10,000 bytes, no line feed
  ASSERT_TRUE(WriteAllUnbuffered(os, Stream::Output, text, carry).ok());
  EXPECT_EQ(os.device(console).screen, Widen(text));
  ASSERT_EQ(os.conversions.size(), 3u);
  EXPECT_EQ(os.conversions[0].bytes.size(), 4096u);
  EXPECT_EQ(os.conversions[1].bytes.size(), 4096u);
  EXPECT_EQ(os.conversions[2].bytes.size(), 1808u);
  EXPECT_EQ(os.device(console).console_writes.size(), 3u);
}

TEST_F(DeviceWriteTest, LongMixedTextIsCutBackToCharacterBoundaries) {
  const Handle console = UseConsole();
  const std::string text = "a" + Repeat("д€😀", 1000);
  ASSERT_TRUE(WriteAllUnbuffered(os, Stream::Output, text, carry).ok());
  EXPECT_EQ(os.device(console).screen, Widen(text));
  std::string joined;
  for (std::size_t i = 0; i < os.conversions.size(); ++i) {
    const std::size_t size = os.conversions[i].bytes.size();
    EXPECT_LE(size, 4096u);
    // Cut back by less than one character, except for the last chunk.
    if (i + 1 < os.conversions.size()) {
      EXPECT_GE(size, 4093u);
    }
    joined += os.conversions[i].bytes;
  }
  EXPECT_EQ(joined, text);
}

TEST_F(DeviceWriteTest, WriteAllRepeatsPartialTakes) {
  const Handle file = UseFile();
  auto& script = os.device(file).write_script;
  script.push_back(DeviceStep::Take(3));
  script.push_back(DeviceStep::Take(1));
  script.push_back(DeviceStep::Pending());
  ASSERT_TRUE(WriteAllUnbuffered(os, Stream::Output, "0123456789", carry).ok());
  EXPECT_EQ(os.device(file).bytes, "0123456789");
  EXPECT_EQ(os.device(file).byte_writes, (std::vector<std::string>{"012", "3", "456789"}));
}

TEST_F(DeviceWriteTest, WriteAllFailures) {
  struct Case {
    const char* name;
    Stream stream;
    bool console;
    DeviceStep step;
    std::optional<std::int32_t> code;  // none: success
  };
  const Case cases[] = {
      {"invalid handle on output is dropped", Stream::Output, false, DeviceStep::Fail(0), std::nullopt},
      {"invalid handle on error fails", Stream::Error, false, DeviceStep::Fail(0), 6},
      {"broken pipe on output fails", Stream::Output, false, DeviceStep::Status(STATUS_PIPE_BROKEN), 109},
      {"console code 6 on output is dropped", Stream::Output, true, DeviceStep::Fail(6), std::nullopt},
      {"console code 6 on error fails", Stream::Error, true, DeviceStep::Fail(6), 6},
      {"console code 31 on output fails", Stream::Output, true, DeviceStep::Fail(31), 31},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    RecordingSystem fresh;
    const Handle h = c.console ? fresh.AddConsole() : fresh.AddFile();
    fresh.SetStd(c.stream == Stream::Output ? STD_OUTPUT_HANDLE : STD_ERROR_HANDLE, h);
    // Take part of it first, so a dropped rest is visible.
    fresh.device(h).write_script.push_back(DeviceStep::Take(2));
    fresh.device(h).write_script.push_back(c.step);
    Utf8Carry fresh_carry;
    Status s = WriteAllUnbuffered(fresh, c.stream, "abcdef", fresh_carry);
    if (c.code) {
      ASSERT_FALSE(s.ok());
      ExpectOsCode(s.error(), *c.code);
    } else {
      EXPECT_TRUE(s.ok());
    }
    // No retry after the failure, whether it was dropped or not.
    EXPECT_EQ(fresh.count(c.console ? "WriteConsoleW" : "NtWriteFile"), 2u);
  }
}

TEST_F(DeviceWriteTest, MissingStandardHandle) {
  EXPECT_TRUE(WriteAllUnbuffered(os, Stream::Output, "abc", carry).ok());
  Status s = WriteAllUnbuffered(os, Stream::Error, "abc", carry);
  ASSERT_FALSE(s.ok());
  ExpectOsCode(s.error(), 6);
}

TEST_F(DeviceWriteTest, InvalidHandleValueOnOutputIsDroppedOnlyForCode6) {
  struct Case {
    Dword last_error;
    bool ok;
  };
  for (const Case& c : {Case{6, true}, Case{5, false}}) {
    SCOPED_TRACE(c.last_error);
    RecordingSystem fresh;
    fresh.SetStd(STD_OUTPUT_HANDLE, InvalidHandleValue());
    fresh.invalid_handle_error = c.last_error;
    Utf8Carry fresh_carry;
    Status s = WriteAllUnbuffered(fresh, Stream::Output, "abc", fresh_carry);
    EXPECT_EQ(s.ok(), c.ok);
    if (!c.ok) ExpectOsCode(s.error(), static_cast<std::int32_t>(c.last_error));
  }
}

TEST_F(DeviceWriteTest, DeviceTakingNothingIsWriteZero) {
  const Handle file = UseFile();
  os.device(file).write_script.push_back(DeviceStep::Take(4));
  os.device(file).write_script.push_back(DeviceStep::Take(0));
  Status s = WriteAllUnbuffered(os, Stream::Output, "0123456789", carry);
  ASSERT_FALSE(s.ok());
  ExpectFixed(s.error(), fixed::kWriteWholeBuffer);
  EXPECT_EQ(KindOf(s.error()), ErrorKind::WriteZero);
  EXPECT_EQ(s.error().fixed().text, "failed to write whole buffer");
}

TEST_F(DeviceWriteTest, InvalidBytesStopTheWriteAllAfterTheValidText) {
  const Handle console = UseConsole();
  Status s = WriteAllUnbuffered(os, Stream::Output,
                                "ab\xFF"
                                "cd",
                                carry);
  ASSERT_FALSE(s.ok());
  ExpectFixed(s.error(), fixed::kConsoleNonUtf8);
  EXPECT_EQ(s.error().fixed().text, "Windows stdio in console mode does not support writing non-UTF-8 byte sequences");
  EXPECT_EQ(os.device(console).screen, u"ab");
}

// --- Standard-error writer -----------------------------------------------------

TEST_F(DeviceWriteTest, ErrorTextWritesThePiecesInOrderToStandardError) {
  const Handle out = UseFile(STD_OUTPUT_HANDLE);
  const Handle err = UseFile(STD_ERROR_HANDLE);
  WriteErrorText(os, {"one ", "two ", "three\n"});
  EXPECT_EQ(os.device(err).bytes, "one two three\n");
  EXPECT_EQ(os.device(out).bytes, "");
}

TEST_F(DeviceWriteTest, ErrorTextEndsAtTheFirstFailingPiece) {
  const Handle err = UseFile(STD_ERROR_HANDLE);
  auto& script = os.device(err).write_script;
  script.push_back(DeviceStep::Take(static_cast<std::size_t>(-1)));
  script.push_back(DeviceStep::Status(STATUS_PIPE_BROKEN));
  WriteErrorText(os, {"one ", "two ", "three\n"});
  EXPECT_EQ(os.device(err).bytes, "one ");
  EXPECT_EQ(os.count("NtWriteFile"), 2u);
}

TEST_F(DeviceWriteTest, ErrorTextCarriesWithinAMessageButStartsEachMessageFresh) {
  const Handle err = UseConsole(STD_ERROR_HANDLE);
  WriteErrorText(os, {"\xD0", "\xB4!"});
  EXPECT_EQ(os.device(err).screen, u"д!");
  // A lead byte left at the end of one message does not join the next.
  WriteErrorText(os, {"\xD0"});
  WriteErrorText(os, {"\xB4"});
  EXPECT_EQ(os.device(err).screen, u"д!");
}

TEST_F(DeviceWriteTest, ErrorTextToAMissingHandleIsLostQuietly) {
  WriteErrorText(os, {"lost\n"});
  EXPECT_EQ(os.count("GetStdHandle"), 1u);
}

TEST_F(DeviceWriteTest, StopOnPendingIoWritesTheMessageThenFailsFast) {
  const Handle err = UseFile(STD_ERROR_HANDLE);
  EXPECT_THROW(StopOnPendingIo(os), FailedFast);
  EXPECT_EQ(os.device(err).bytes, kPendingMessage);
  EXPECT_EQ(os.calls.back(), "FailFast");
}

}  // namespace
}  // namespace wr
