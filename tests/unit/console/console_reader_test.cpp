#include "console/console_reader.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <initializer_list>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "tests/unit/fake/fake_system.h"

namespace wr {
namespace {

using testing::DeviceStep;
using testing::FailedFast;
using testing::FakeSystem;

constexpr std::string_view kUnpairedMessage =
    "Windows stdin in console mode does not support non-UTF-16 input; encountered unpaired surrogate";

std::string Bytes(const std::uint8_t* data, std::size_t n) {
  return std::string(reinterpret_cast<const char*>(data), n);
}

// Drains whatever the reader still holds, in one large read.
std::string Drain(ConsoleReader& reader) {
  std::vector<std::uint8_t> rest(ConsoleReader::kCapacity);
  Result<std::size_t> r = reader.Read(rest.data(), rest.size());
  EXPECT_TRUE(r.ok());
  return r.ok() ? Bytes(rest.data(), r.value()) : std::string();
}

// Makes a console the standard input, with the lines its reads return.
Handle ConsoleInput(FakeSystem& os, std::initializer_list<std::u16string> lines) {
  Handle h = os.AddConsole(0x1F7);
  os.SetStd(STD_INPUT_HANDLE, h);
  for (const std::u16string& line : lines) os.device(h).console_lines.push_back(line);
  return h;
}

class ConsoleInputTest : public ::testing::Test {
 protected:
  testing::Device& input() { return os.device(console); }

  FakeSystem os;
  Handle console = ConsoleInput(os, {});
};

// What the user's keys do during the final pause.
struct KeyCase {
  const char* name;
  std::u16string line;    // what the console read returns
  std::string buffered;   // bytes the one device read yields
  std::size_t delivered;  // Read of one byte
  std::uint8_t first;
};

TEST(ConsoleKeysTest, KeysDuringThePause) {
  const KeyCase cases[] = {
      {"Enter", u"\r\n", "\x0D\x0A", 1, 0x0D},
      {"Cyrillic then Enter", u"да\r\n", "\xD0\xB4\xD0\xB0\x0D\x0A", 1, 0xD0},
      {"Ctrl+Z alone", u"\x1A", "", 0, 0},
      {"ab then Ctrl+Z", u"ab\x1A", "ab", 1, 'a'},
      {"Ctrl+Z inside a line is kept",
       u"a\x1A"
       u"b\r\n",
       "a\x1A"
       "b\r\n",
       1, 'a'},
  };
  for (const KeyCase& c : cases) {
    SCOPED_TRACE(c.name);
    {
      FakeSystem fresh;
      ConsoleInput(fresh, {c.line});
      ConsoleReader reader(fresh);
      std::uint8_t byte = 0;
      Result<std::size_t> r = reader.Read(&byte, 1);
      ASSERT_TRUE(r.ok());
      EXPECT_EQ(r.value(), c.delivered);
      EXPECT_EQ(byte, c.first);
      // The rest of the line is what the one device read left in the buffer.
      EXPECT_EQ(c.buffered.substr(c.delivered), Drain(reader));
      EXPECT_EQ(fresh.count("ReadConsoleW"), c.delivered == 0 ? 2u : 1u);
      EXPECT_EQ(fresh.count("WideCharToMultiByte"), c.delivered == 0 ? 0u : 1u);
    }
    {
      FakeSystem fresh;
      ConsoleInput(fresh, {c.line});
      std::uint8_t buffer[ConsoleReader::kCapacity];
      char16_t held = 0;
      Result<std::size_t> r = DeviceRead(fresh, buffer, sizeof buffer, held);
      ASSERT_TRUE(r.ok());
      EXPECT_EQ(Bytes(buffer, r.value()), c.buffered);
      EXPECT_EQ(held, 0);
    }
  }
}

TEST_F(ConsoleInputTest, ConsoleReadAsksWithTheControlRecordInOrder) {
  input().console_lines.push_back(u"x\r\n");
  std::uint8_t byte = 0;
  ConsoleReader reader(os);
  ASSERT_TRUE(reader.Read(&byte, 1).ok());
  EXPECT_EQ(os.calls, (std::vector<std::string>{"GetStdHandle", "GetConsoleMode", "SetLastError", "ReadConsoleW",
                                                "WideCharToMultiByte"}));
  ASSERT_EQ(input().read_controls.size(), 1u);
  const ConsoleReadControl& control = input().read_controls[0];
  EXPECT_EQ(control.nLength, 16u);
  EXPECT_EQ(control.nInitialChars, 0u);
  EXPECT_EQ(control.dwCtrlWakeupMask, 0x04000000u);
  EXPECT_EQ(control.dwControlKeyState, 0u);
  EXPECT_EQ(input().read_requests, (std::vector<Dword>{4096}));
}

TEST(ConsoleDeviceReadTest, UnitsRequestedFollowTheDestination) {
  struct {
    std::size_t size;
    Dword units;
  } const cases[] = {{12288, 4096}, {12289, 4096}, {100000, 4096}, {12287, 4095}, {30, 10}, {5, 1}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.size);
    FakeSystem fresh;
    Handle h = ConsoleInput(fresh, {u"z"});
    std::vector<std::uint8_t> destination(c.size);
    char16_t held = 0;
    Result<std::size_t> r = DeviceRead(fresh, destination.data(), destination.size(), held);
    ASSERT_TRUE(r.ok());
    EXPECT_EQ(r.value(), 1u);
    EXPECT_EQ(fresh.device(h).read_requests, (std::vector<Dword>{c.units}));
  }
}

TEST_F(ConsoleInputTest, SecondReadIsServedFromTheBuffer) {
  input().console_lines.push_back(u"да\r\n");
  input().console_lines.push_back(u"next\r\n");
  ConsoleReader reader(os);
  std::uint8_t bytes[3] = {};
  Result<std::size_t> first = reader.Read(bytes, 1);
  ASSERT_TRUE(first.ok());
  const std::size_t device_reads = os.count("ReadConsoleW");
  Result<std::size_t> second = reader.Read(bytes, 3);
  ASSERT_TRUE(second.ok());
  EXPECT_EQ(second.value(), 3u);
  EXPECT_EQ(Bytes(bytes, 3), "\xB4\xD0\xB0");
  EXPECT_EQ(os.count("ReadConsoleW"), device_reads);
  EXPECT_EQ(os.count("GetStdHandle"), 1u);
  // Exactly what is left, never more, and only then the device again.
  EXPECT_EQ(Drain(reader), "\r\n");
  EXPECT_EQ(Drain(reader), "next\r\n");
  EXPECT_EQ(os.count("ReadConsoleW"), device_reads + 1);
}

TEST_F(ConsoleInputTest, LongLineEndingInHighSurrogateHoldsIt) {
  // 4095 letters, then a pair split at the 4096-unit boundary.
  std::u16string line(4095, u'a');
  line += u"\U0001F600\r\n";
  input().console_lines.push_back(line);
  ConsoleReader reader(os);
  EXPECT_EQ(Drain(reader), std::string(4095, 'a'));
  EXPECT_EQ(reader.held_surrogate(), 0xD83D);
  EXPECT_EQ(Drain(reader), "\xF0\x9F\x98\x80\r\n");
  EXPECT_EQ(reader.held_surrogate(), 0);
  // The held unit takes one place of the second request.
  EXPECT_EQ(input().read_requests, (std::vector<Dword>{4096, 4095}));
}

TEST_F(ConsoleInputTest, HeldSurrogateAloneIsHeldAgain) {
  // The high half arrives, then only Ctrl+Z: nothing converts, nothing is lost.
  input().console_lines.push_back(u"\xD83D");
  input().console_lines.push_back(u"\x1A");
  input().console_lines.push_back(u"\xDE00");
  std::uint8_t buffer[ConsoleReader::kCapacity];
  char16_t held = 0;
  for (int i = 0; i < 2; ++i) {
    Result<std::size_t> r = DeviceRead(os, buffer, sizeof buffer, held);
    ASSERT_TRUE(r.ok());
    EXPECT_EQ(r.value(), 0u);
    EXPECT_EQ(held, 0xD83D);
  }
  EXPECT_EQ(os.count("WideCharToMultiByte"), 0u);
  Result<std::size_t> r = DeviceRead(os, buffer, sizeof buffer, held);
  ASSERT_TRUE(r.ok());
  EXPECT_EQ(Bytes(buffer, r.value()), "\xF0\x9F\x98\x80");
  EXPECT_EQ(held, 0);
}

TEST(ConsoleDeviceReadTest, UnpairedSurrogateIsInvalidData) {
  for (const std::u16string line : {u"\xDC00\r\n",
                                    u"a\xD800"
                                    u"b\r\n"}) {
    FakeSystem fresh;
    ConsoleInput(fresh, {line, u"ok\r\n"});
    ConsoleReader reader(fresh);
    std::uint8_t byte = 0;
    Result<std::size_t> r = reader.Read(&byte, 1);
    ASSERT_FALSE(r.ok());
    ASSERT_EQ(r.error().variant(), IoError::Variant::FixedMessage);
    EXPECT_EQ(r.error().fixed().text, kUnpairedMessage);
    EXPECT_EQ(KindOf(r.error()), ErrorKind::InvalidData);
    EXPECT_EQ(reader.held_surrogate(), 0);
    // The failed line is gone; the buffer stayed empty, so the next read
    // goes to the device.
    Result<std::size_t> next = reader.Read(&byte, 1);
    ASSERT_TRUE(next.ok());
    EXPECT_EQ(byte, 'o');
  }
}

TEST_F(ConsoleInputTest, AbortedReadsAreIssuedAgain) {
  input().console_read_errors = {ERROR_OPERATION_ABORTED, ERROR_OPERATION_ABORTED};
  input().console_lines.push_back(u"\r\n");
  ConsoleReader reader(os);
  std::uint8_t byte = 0;
  Result<std::size_t> r = reader.Read(&byte, 1);
  ASSERT_TRUE(r.ok());
  EXPECT_EQ(byte, 0x0D);
  EXPECT_EQ(os.count("ReadConsoleW"), 3u);
  // The last error is cleared before every attempt, not just the first.
  EXPECT_EQ(os.count("SetLastError"), 3u);
}

TEST(ConsoleDeviceReadTest, EmptyConsoleReadIsEndOfInputUnlessAborted) {
  // Nothing queued at all, and an empty read the console explains with a
  // code other than the abort: both end the input, with one read.
  for (Dword code : {Dword{0}, Dword{ERROR_ACCESS_DENIED}}) {
    SCOPED_TRACE(code);
    FakeSystem fresh;
    Handle h = ConsoleInput(fresh, {});
    if (code != 0) {
      fresh.device(h).console_read_errors.push_back(code);
      fresh.device(h).console_lines.push_back(u"later\r\n");
    }
    ConsoleReader reader(fresh);
    std::uint8_t byte = 0x55;
    Result<std::size_t> r = reader.Read(&byte, 1);
    ASSERT_TRUE(r.ok());
    EXPECT_EQ(r.value(), 0u);
    EXPECT_EQ(byte, 0x55);
    EXPECT_EQ(fresh.count("ReadConsoleW"), 1u);
  }
}

TEST(ConsoleDeviceReadTest, FailedConsoleRead) {
  struct {
    Dword code;
    bool end_of_input;
  } const cases[] = {{ERROR_INVALID_HANDLE, true}, {ERROR_ACCESS_DENIED, false}, {ERROR_NOT_ENOUGH_MEMORY, false}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.code);
    FakeSystem fresh;
    Handle h = ConsoleInput(fresh, {u"x"});
    fresh.device(h).read_script.push_back(DeviceStep::Fail(c.code));
    ConsoleReader reader(fresh);
    std::uint8_t byte = 0;
    Result<std::size_t> r = reader.Read(&byte, 1);
    if (c.end_of_input) {
      ASSERT_TRUE(r.ok());
      EXPECT_EQ(r.value(), 0u);
    } else {
      ASSERT_FALSE(r.ok());
      EXPECT_EQ(OsCodeOf(r.error()), static_cast<std::int32_t>(c.code));
    }
    // Either way nothing was buffered: the next read asks the console.
    Result<std::size_t> next = reader.Read(&byte, 1);
    ASSERT_TRUE(next.ok());
    EXPECT_EQ(byte, 'x');
  }
}

// Standard input that is not a console: raw bytes through NtReadFile.
class ByteInputTest : public ::testing::Test {
 protected:
  FakeSystem os;
};

TEST_F(ByteInputTest, FileIsDeliveredUnconverted) {
  Handle file = os.AddFile();
  os.SetStd(STD_INPUT_HANDLE, file);
  os.device(file).input =
      "\xD0\xB4\r\n\x1A"
      "tail";
  ConsoleReader reader(os);
  std::uint8_t byte = 0;
  Result<std::size_t> r = reader.Read(&byte, 1);
  ASSERT_TRUE(r.ok());
  EXPECT_EQ(r.value(), 1u);
  EXPECT_EQ(byte, 0xD0);
  EXPECT_EQ(Drain(reader),
            "\xB4\r\n\x1A"
            "tail");
  EXPECT_EQ(os.device(file).read_requests, (std::vector<Dword>{12288}));
  EXPECT_EQ(os.count("ReadConsoleW"), 0u);
  EXPECT_EQ(os.count("MultiByteToWideChar") + os.count("WideCharToMultiByte"), 0u);
}

TEST_F(ByteInputTest, LargeFileTakesOneBufferPerRefill) {
  Handle file = os.AddFile();
  os.SetStd(STD_INPUT_HANDLE, file);
  os.device(file).input = std::string(12288, 'x') + "y";
  ConsoleReader reader(os);
  EXPECT_EQ(Drain(reader), std::string(12288, 'x'));
  EXPECT_EQ(Drain(reader), "y");
  EXPECT_EQ(os.count("NtReadFile"), 2u);
}

// Which standard inputs and device answers count as end of input, and which
// are errors the caller sees.
TEST_F(ByteInputTest, EndOfInputAndErrors) {
  enum class Input { Missing, Invalid, InvalidOtherCode, EmptyFile, BrokenPipe, ClosingPipe, BadHandle, Denied };
  struct {
    const char* name;
    Input input;
    std::optional<std::int32_t> device_error;  // from DeviceRead; none means a read of 0
    std::optional<std::int32_t> read_error;    // from Read; none means end of input
  } const cases[] = {
      {"no standard input", Input::Missing, 6, std::nullopt},
      {"INVALID_HANDLE_VALUE", Input::Invalid, 6, std::nullopt},
      {"INVALID_HANDLE_VALUE, other last error", Input::InvalidOtherCode, 5, 5},
      {"empty file", Input::EmptyFile, std::nullopt, std::nullopt},
      {"pipe writer gone", Input::BrokenPipe, std::nullopt, std::nullopt},
      {"pipe being closed", Input::ClosingPipe, std::nullopt, std::nullopt},
      {"handle rejected by the read", Input::BadHandle, 6, std::nullopt},
      {"access denied", Input::Denied, 5, 5},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    struct OddStdHandle : FakeSystem {
      Handle GetStdHandle(Dword which) override {
        Handle h = FakeSystem::GetStdHandle(which);
        if (h == InvalidHandleValue()) SetLastError(ERROR_ACCESS_DENIED);
        return h;
      }
    };
    for (int through_reader = 0; through_reader < 2; ++through_reader) {
      OddStdHandle odd;
      FakeSystem plain;
      FakeSystem& fresh = c.input == Input::InvalidOtherCode ? odd : plain;
      switch (c.input) {
        case Input::Missing: break;
        case Input::Invalid:
        case Input::InvalidOtherCode: fresh.SetStd(STD_INPUT_HANDLE, InvalidHandleValue()); break;
        case Input::EmptyFile: fresh.SetStd(STD_INPUT_HANDLE, fresh.AddFile()); break;
        case Input::BrokenPipe: fresh.SetStd(STD_INPUT_HANDLE, fresh.AddPipe()); break;
        case Input::ClosingPipe: {
          Handle h = fresh.AddFile();
          fresh.device(h).read_script.push_back(DeviceStep::Status(static_cast<NtStatus>(0xC00000B1u)));
          fresh.SetStd(STD_INPUT_HANDLE, h);
          break;
        }
        case Input::BadHandle: {
          Handle h = fresh.AddFile();
          fresh.device(h).read_script.push_back(DeviceStep::Status(STATUS_INVALID_HANDLE));
          fresh.SetStd(STD_INPUT_HANDLE, h);
          break;
        }
        case Input::Denied: {
          Handle h = fresh.AddFile();
          fresh.device(h).read_script.push_back(DeviceStep::Status(static_cast<NtStatus>(0xC0000022u)));
          fresh.SetStd(STD_INPUT_HANDLE, h);
          break;
        }
      }
      std::uint8_t buffer[ConsoleReader::kCapacity];
      if (through_reader) {
        ConsoleReader reader(fresh);
        std::uint8_t byte = 0x55;
        Result<std::size_t> r = reader.Read(&byte, 1);
        if (c.read_error) {
          ASSERT_FALSE(r.ok());
          EXPECT_EQ(OsCodeOf(r.error()), c.read_error);
        } else {
          ASSERT_TRUE(r.ok());
          EXPECT_EQ(r.value(), 0u);
        }
        EXPECT_EQ(byte, 0x55);
      } else {
        char16_t held = 0;
        Result<std::size_t> r = DeviceRead(fresh, buffer, sizeof buffer, held);
        if (c.device_error) {
          ASSERT_FALSE(r.ok());
          EXPECT_EQ(OsCodeOf(r.error()), c.device_error);
        } else {
          ASSERT_TRUE(r.ok());
          EXPECT_EQ(r.value(), 0u);
        }
      }
      if (c.input == Input::Missing || c.input == Input::Invalid || c.input == Input::InvalidOtherCode) {
        EXPECT_EQ(fresh.count("GetConsoleMode"), 0u);
        EXPECT_EQ(fresh.count("NtReadFile"), 0u);
      }
    }
  }
}

// Records how long the byte path is prepared to wait.
class WaitRecordingSystem : public FakeSystem {
 public:
  Dword WaitForSingleObject(Handle object, Dword milliseconds) override {
    waits.push_back(milliseconds);
    return FakeSystem::WaitForSingleObject(object, milliseconds);
  }
  std::vector<Dword> waits;
};

TEST(PendingByteReadTest, WaitCompletesTheRead) {
  struct {
    const char* name;
    bool pipe;
    std::string data;
    std::size_t expected;
  } const cases[] = {{"data", true, "yes\n", 4}, {"file end", false, "", 0}, {"pipe writer gone", true, "", 0}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    WaitRecordingSystem os;
    Handle h = c.pipe ? os.AddPipe() : os.AddFile();
    os.SetStd(STD_INPUT_HANDLE, h);
    os.device(h).input = c.data;
    os.device(h).read_script.push_back(DeviceStep::Pending());
    ConsoleReader reader(os);
    std::uint8_t byte = 0;
    Result<std::size_t> r = reader.Read(&byte, 1);
    ASSERT_TRUE(r.ok());
    EXPECT_EQ(r.value(), c.expected == 0 ? 0u : 1u);
    EXPECT_EQ(os.waits, (std::vector<Dword>{INFINITE}));
    if (c.expected != 0) {
      EXPECT_EQ(byte, c.data[0]);
      EXPECT_EQ(Drain(reader), c.data.substr(1));
    }
  }
}

TEST(PendingByteReadTest, StillPendingIsTheFatalRuntimeMessage) {
  FakeSystem os;
  Handle in = os.AddPipe();
  Handle err = os.AddFile();
  os.SetStd(STD_INPUT_HANDLE, in);
  os.SetStd(STD_ERROR_HANDLE, err);
  os.device(in).read_script.push_back(DeviceStep::StayPending());
  ConsoleReader reader(os);
  std::uint8_t byte = 0;
  EXPECT_THROW(static_cast<void>(reader.Read(&byte, 1)), FailedFast);
  EXPECT_EQ(os.device(err).bytes, "fatal runtime error: I/O error: operation failed to complete synchronously\n");
  EXPECT_EQ(os.count("FatalStop"), 0u);
}

// A console that holds the first read until the test lets it go, to see a
// second reader wait for the first.
class GatedConsoleSystem : public FakeSystem {
 public:
  bool ReadConsoleW(Handle console, char16_t* units, Dword count, Dword* read,
                    const ConsoleReadControl* control) override {
    entered.store(true);
    while (!released.load()) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    return FakeSystem::ReadConsoleW(console, units, count, read, control);
  }
  std::atomic<bool> entered{false};
  std::atomic<bool> released{false};
};

TEST(ConsoleReaderLockTest, ReadHoldsTheLockAcrossTheDeviceRead) {
  GatedConsoleSystem os;
  ConsoleInput(os, {u"ab"});
  ConsoleReader reader(os);
  std::uint8_t first = 0, second = 0;
  std::thread a([&] { ASSERT_TRUE(reader.Read(&first, 1).ok()); });
  while (!os.entered.load()) std::this_thread::yield();
  std::thread b([&] { ASSERT_TRUE(reader.Read(&second, 1).ok()); });
  // The second reader goes to sleep on the lock word rather than reading.
  for (int i = 0; i < 5000 && os.count("WaitOnAddress") == 0; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  EXPECT_GE(os.count("WaitOnAddress"), 1u);
  EXPECT_EQ(os.count("GetStdHandle"), 1u);
  os.released.store(true);
  a.join();
  b.join();
  EXPECT_EQ(first, 'a');
  EXPECT_EQ(second, 'b');
  EXPECT_EQ(os.count("ReadConsoleW"), 1u);
}

TEST(StandardInputTest, OneReaderForTheProcess) {
  // The process-wide reader keeps the system it was created with.
  static FakeSystem* const os = new FakeSystem;
  ConsoleInput(*os, {u"\r\n"});
  ConsoleReader& reader = StandardInput(*os);
  EXPECT_EQ(&reader, &StandardInput(*os));
  std::uint8_t byte = 0;
  Result<std::size_t> r = reader.Read(&byte, 1);
  ASSERT_TRUE(r.ok());
  EXPECT_EQ(byte, 0x0D);
  EXPECT_EQ(os->count("ReadConsoleW"), 1u);
}

}  // namespace
}  // namespace wr
