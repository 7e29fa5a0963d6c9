#include "console/terminal.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "console/console_writer.h"
#include "tests/unit/fake/fake_system.h"

namespace wr {
namespace {

using testing::DeviceStep;
using testing::FakeSystem;
using testing::FatalStopped;
using testing::Widen;
using Calls = std::vector<std::string>;

// The driver's title: the 57-byte prefix and a 16-byte attribution.
const std::string kTitle = "Утилита восстановления windows от 0123456789ABCDEF";

constexpr NtStatus kAccessDenied = static_cast<NtStatus>(0xC0000022u);

enum class Conout { Missing, Console, NotConsole };

// Sets up what CreateFileW("CONOUT$") opens.
Handle SetUpConout(FakeSystem& os, Conout kind, Dword mode, bool accepts_vt) {
  switch (kind) {
    case Conout::Missing: return nullptr;
    case Conout::Console: os.conout = os.AddConsole(mode); break;
    case Conout::NotConsole: os.conout = os.AddFile(); break;
  }
  os.device(os.conout).accepts_vt = accepts_vt;
  return os.conout;
}

TEST(TerminalProbeTest, EveryBranchInOrder) {
  struct {
    const char* name;
    Conout conout;
    Dword mode;
    bool accepts_vt;
    std::optional<std::u16string> term;
    Calls calls;
    bool ansi;
    Dword mode_after;
    // One case to a line or two, as written: clang-format would give each field of a case a line of its own.
    // clang-format off
  } const cases[] = {
      {"VT already on", Conout::Console, 0x7, true, u"dumb",
       {"CreateFileW", "GetConsoleMode", "CloseHandle"}, true, 0x7},
      {"VT switched on, other bits kept", Conout::Console, 0x3, true, u"dumb",
       {"CreateFileW", "GetConsoleMode", "SetConsoleMode", "CloseHandle"}, true, 0x7},
      {"VT refused, TERM unset", Conout::Console, 0x3, false, std::nullopt,
       {"CreateFileW", "GetConsoleMode", "SetConsoleMode", "GetLastError", "CloseHandle", "SetLastError",
        "GetEnvironmentVariableW", "GetLastError"},
       false, 0x3},
      {"VT refused, TERM set", Conout::Console, 0x3, false, u"xterm-256color",
       {"CreateFileW", "GetConsoleMode", "SetConsoleMode", "GetLastError", "CloseHandle", "SetLastError",
        "GetEnvironmentVariableW"},
       true, 0x3},
      {"GetConsoleMode fails", Conout::NotConsole, 0, true, std::nullopt,
       {"CreateFileW", "GetConsoleMode", "GetLastError", "CloseHandle", "SetLastError", "GetEnvironmentVariableW",
        "GetLastError"},
       false, 0},
      {"CONOUT$ cannot be opened", Conout::Missing, 0, true, std::nullopt,
       {"CreateFileW", "GetLastError", "SetLastError", "GetEnvironmentVariableW", "GetLastError"}, false, 0},
      {"CONOUT$ cannot be opened, TERM set", Conout::Missing, 0, true, u"vt100",
       {"CreateFileW", "GetLastError", "SetLastError", "GetEnvironmentVariableW"}, true, 0},
  };
  // clang-format on
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    FakeSystem os;
    Handle conout = SetUpConout(os, c.conout, c.mode, c.accepts_vt);
    if (c.term) os.SetEnv(u"TERM", *c.term);
    TerminalState terminal;
    EXPECT_EQ(terminal.QueryAnsiSupport(os), c.ansi);
    EXPECT_EQ(os.calls, c.calls);
    if (conout != nullptr) {
      EXPECT_FALSE(os.is_open(conout));
      EXPECT_EQ(os.device(conout).mode, c.mode_after);
    }
    // The gate is done: the answer stays, nothing is asked again.
    EXPECT_EQ(terminal.QueryAnsiSupport(os), c.ansi);
    EXPECT_EQ(os.calls.size(), c.calls.size());
  }
}

TEST(TerminalProbeTest, OpensTheActiveScreenBufferByName) {
  FakeSystem os;
  TerminalState terminal;
  static_cast<void>(terminal.QueryAnsiSupport(os));
  ASSERT_EQ(os.created_files.size(), 1u);
  EXPECT_EQ(os.created_files[0], std::u16string(u"CONOUT$\0", 8));
  EXPECT_EQ(os.create_file_params, (std::vector<Dword>{0xC0000000u, 3, 3, 0}));
}

TEST(TerminalProbeTest, ModeStartsAtZeroWhenTheQueryLeavesItAlone) {
  struct SilentModeSystem : FakeSystem {
    bool GetConsoleMode(Handle, Dword*) override { return true; }
    bool SetConsoleMode(Handle console, Dword mode) override {
      stored.push_back(mode);
      return FakeSystem::SetConsoleMode(console, mode);
    }
    std::vector<Dword> stored;
  } os;
  SetUpConout(os, Conout::Console, 0x3, true);
  TerminalState terminal;
  EXPECT_TRUE(terminal.QueryAnsiSupport(os));
  EXPECT_EQ(os.stored, (std::vector<Dword>{ENABLE_VIRTUAL_TERMINAL_PROCESSING}));
}

TEST(TerminalProbeTest, FailedCloseIsAFatalStop) {
  struct {
    const char* name;
    Conout conout;
    Dword mode;
    bool accepts_vt;
  } const cases[] = {
      {"after VT found on", Conout::Console, 0x4, true},
      {"after VT refused", Conout::Console, 0x0, false},
      {"after GetConsoleMode failed", Conout::NotConsole, 0, true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    FakeSystem os;
    Handle conout = SetUpConout(os, c.conout, c.mode, c.accepts_vt);
    os.failing_closes.insert(conout);
    os.SetEnv(u"TERM", u"xterm");
    TerminalState terminal;
    EXPECT_THROW(static_cast<void>(terminal.QueryAnsiSupport(os)), FatalStopped);
    EXPECT_EQ(os.calls.back(), "FatalStop");
    EXPECT_EQ(os.count("GetEnvironmentVariableW"), 0u);
  }
}

// Records the room offered for each read of the environment.
class EnvRecordingSystem : public FakeSystem {
 public:
  Dword GetEnvironmentVariableW(const char16_t* name, char16_t* buffer, Dword size) override {
    names.emplace_back(name);
    sizes.push_back(size);
    return FakeSystem::GetEnvironmentVariableW(name, buffer, size);
  }
  std::vector<std::u16string> names;
  std::vector<Dword> sizes;
};

TEST(TerminalProbeTest, TermDecidesWithoutAConsole) {
  struct {
    const char* name;
    std::optional<std::u16string> value;
    bool ansi;
    std::vector<Dword> sizes;
  } const cases[] = {
      {"dumb", u"dumb", false, {512}},
      {"DUMB", u"DUMB", true, {512}},
      {"Dumb", u"Dumb", true, {512}},
      {"dumb followed by a space", u"dumb ", true, {512}},
      {"space then dumb", u" dumb", true, {512}},
      {"dum", u"dum", true, {512}},
      {"empty", u"", true, {512}},
      {"unset", std::nullopt, false, {512}},
      {"xterm", u"xterm", true, {512}},
      {"Cyrillic", u"терминал", true, {512}},
      {"pair beyond the BMP", u"\U0001F600", true, {512}},
      {"lone high surrogate", u"\xD800", false, {512}},
      {"lone low surrogate after text", u"xterm\xDC00", false, {512}},
      {"511 units", std::u16string(511, u'x'), true, {512}},
      {"512 units", std::u16string(512, u'x'), true, {512, 513}},
      {"600 units", std::u16string(600, u'x'), true, {512, 601}},
      {"600 units ending in a lone surrogate", std::u16string(599, u'x') + u'\xD800', false, {512, 601}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    EnvRecordingSystem os;
    if (c.value) os.SetEnv(u"TERM", *c.value);
    TerminalState terminal;
    EXPECT_EQ(terminal.QueryAnsiSupport(os), c.ansi);
    EXPECT_EQ(os.sizes, c.sizes);
    EXPECT_EQ(os.names, std::vector<std::u16string>(c.sizes.size(), u"TERM"));
    // The last error is cleared before every attempt, so a stale code from
    // the failed open never makes a set value look unset.
    EXPECT_EQ(os.count("SetLastError"), c.sizes.size());
  }
}

// Holds the probe inside CreateFileW until the other callers are asleep on
// the gate.
class SlowProbeSystem : public FakeSystem {
 public:
  explicit SlowProbeSystem(std::size_t sleepers) : sleepers_(sleepers) {}
  Handle CreateFileW(const char16_t* name, Dword access, Dword share, Dword disposition, Dword flags) override {
    for (int i = 0; i < 10000 && count("WaitOnAddress") < sleepers_; ++i) {
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return FakeSystem::CreateFileW(name, access, share, disposition, flags);
  }

 private:
  std::size_t sleepers_;
};

TEST(TerminalProbeTest, ConcurrentFirstCallersShareOneProbe) {
  constexpr int kCallers = 6;
  SlowProbeSystem os(kCallers - 1);
  SetUpConout(os, Conout::Console, 0x3, true);
  TerminalState terminal;
  std::atomic<int> saw_true{0};
  std::vector<std::thread> callers;
  for (int i = 0; i < kCallers; ++i) {
    callers.emplace_back([&] {
      if (terminal.QueryAnsiSupport(os)) saw_true.fetch_add(1);
    });
  }
  for (auto& t : callers) t.join();
  EXPECT_EQ(saw_true.load(), kCallers);
  EXPECT_EQ(os.count("CreateFileW"), 1u);
  EXPECT_EQ(os.count("SetConsoleMode"), 1u);
  EXPECT_GE(os.count("WaitOnAddress"), static_cast<std::size_t>(kCallers - 1));
  EXPECT_EQ(os.count("WakeByAddressAll"), 1u);
}

TEST(TerminalProbeTest, ProcessWideAnswerIsFixedOnce) {
  // The process-wide state lives as long as the process; so does its system.
  static FakeSystem* const os = new FakeSystem;
  SetUpConout(*os, Conout::Console, 0x4, true);
  EXPECT_TRUE(QueryAnsiSupport(*os));
  os->conout = nullptr;
  os->SetEnv(u"TERM", u"dumb");
  EXPECT_TRUE(QueryAnsiSupport(*os));
  EXPECT_EQ(os->count("CreateFileW"), 1u);
  EXPECT_EQ(os->count("GetEnvironmentVariableW"), 0u);
  // The driver reaches the same state directly.
  EXPECT_TRUE(ProcessTerminal().QueryAnsiSupport(*os));
  EXPECT_EQ(os->count("CreateFileW"), 1u);
}

// Standard output as a file, and a terminal that takes escapes.
class TitleTest : public ::testing::Test {
 protected:
  TitleTest() { os.SetStd(STD_OUTPUT_HANDLE, out); }
  void UseEscapes() { SetUpConout(os, Conout::Console, 0x7, true); }
  testing::Device& file() { return os.device(out); }

  FakeSystem os;
  Handle out = os.AddFile();
  TerminalState terminal;
};

TEST_F(TitleTest, EscapeFormReachesTheFileWhole) {
  UseEscapes();
  ConsoleWriter writer(os);
  SetWindowTitle(os, terminal, writer, kTitle);
  ASSERT_EQ(kTitle.size(), 73u);
  EXPECT_EQ(file().bytes, "\x1b]0;" + kTitle + "\x07");
  EXPECT_EQ(file().bytes.size(), 78u);
  EXPECT_EQ(writer.buffered(), "");
  EXPECT_EQ(os.count("SetConsoleTitleW"), 0u);
}

TEST_F(TitleTest, EscapeFormStopsAtTheFirstFailingPiece) {
  // Each case makes one piece need the device, which refuses once; the
  // pieces after it are never handed in and nothing flushes afterwards.
  struct {
    const char* name;
    std::string before;  // already buffered
    std::string title;
    std::string buffered;  // what the failed write left behind
  } const cases[] = {
      {"introducer", std::string(1021, 'p'), "t", std::string(1021, 'p')},
      {"title", "", "line\nrest", "\x1b]0;line\n"},
      {"bell", "", std::string(1020, 't'), "\x1b]0;" + std::string(1020, 't')},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    FakeSystem fresh;
    Handle h = fresh.AddFile();
    fresh.SetStd(STD_OUTPUT_HANDLE, h);
    SetUpConout(fresh, Conout::Console, 0x7, true);
    ConsoleWriter writer(fresh);
    ASSERT_TRUE(writer.WriteAll(c.before).ok());
    ASSERT_EQ(fresh.count("NtWriteFile"), 0u);
    fresh.device(h).write_script.push_back(DeviceStep::Status(kAccessDenied));
    TerminalState state;
    SetWindowTitle(fresh, state, writer, c.title);
    EXPECT_EQ(fresh.count("NtWriteFile"), 1u);
    EXPECT_EQ(writer.buffered(), c.buffered);
    EXPECT_EQ(fresh.device(h).bytes, "");
  }
}

// A console whose title call lets a test write to standard output in
// between, so that the flush after the title call can be seen.
class TitleCallSystem : public FakeSystem {
 public:
  bool SetConsoleTitleW(const char16_t* title) override {
    const bool ok = FakeSystem::SetConsoleTitleW(title);
    if (writer != nullptr) static_cast<void>(writer->WriteAll("late"));
    return ok;
  }
  ConsoleWriter* writer = nullptr;
};

TEST(ConsoleTitleTest, FlushTitleFlushInOrder) {
  TitleCallSystem os;
  Handle out = os.AddFile();
  os.SetStd(STD_OUTPUT_HANDLE, out);
  os.AddConsole();  // a console exists, but CONOUT$ does not open and TERM is unset
  ConsoleWriter writer(os);
  os.writer = &writer;
  ASSERT_TRUE(writer.WriteAll("abc").ok());
  TerminalState terminal;
  SetWindowTitle(os, terminal, writer, kTitle);
  ASSERT_EQ(os.titles.size(), 1u);
  EXPECT_EQ(os.titles[0], Widen(kTitle) + u'\0');
  EXPECT_EQ(os.device(out).byte_writes, (std::vector<std::string>{"abc", "late"}));
  const auto first_write = std::find(os.calls.begin(), os.calls.end(), "NtWriteFile");
  const auto title = std::find(first_write, os.calls.end(), "SetConsoleTitleW");
  const auto second_write = std::find(title, os.calls.end(), "NtWriteFile");
  EXPECT_NE(second_write, os.calls.end());
}

TEST(ConsoleTitleTest, FailedTitleCallEndsWithoutSecondFlush) {
  TitleCallSystem os;  // no console at all: the title call fails
  Handle out = os.AddFile();
  os.SetStd(STD_OUTPUT_HANDLE, out);
  ConsoleWriter writer(os);
  os.writer = &writer;
  ASSERT_TRUE(writer.WriteAll("abc").ok());
  TerminalState terminal;
  SetWindowTitle(os, terminal, writer, kTitle);
  EXPECT_EQ(os.titles.size(), 1u);
  EXPECT_EQ(os.device(out).byte_writes, (std::vector<std::string>{"abc"}));
  EXPECT_EQ(writer.buffered(), "late");
  const auto title = std::find(os.calls.begin(), os.calls.end(), "SetConsoleTitleW");
  ASSERT_NE(title, os.calls.end());
  ASSERT_NE(title + 1, os.calls.end());
  EXPECT_EQ(*(title + 1), "GetLastError");
}

TEST(ConsoleTitleTest, FailedFirstFlushMeansNoTitleCall) {
  FakeSystem os;
  Handle out = os.AddFile();
  os.SetStd(STD_OUTPUT_HANDLE, out);
  os.AddConsole();
  ConsoleWriter writer(os);
  ASSERT_TRUE(writer.WriteAll("abc").ok());
  os.device(out).write_script.push_back(DeviceStep::Status(kAccessDenied));
  TerminalState terminal;
  SetWindowTitle(os, terminal, writer, kTitle);
  EXPECT_EQ(os.count("SetConsoleTitleW"), 0u);
  EXPECT_EQ(os.count("NtWriteFile"), 1u);
  EXPECT_EQ(writer.buffered(), "abc");
}

TEST(ConsoleTitleTest, TitleTextReachesTheSystemAsUtf16) {
  struct {
    const char* name;
    std::string title;
    std::optional<std::u16string> passed;  // none: no title call
  } const cases[] = {
      {"program title", kTitle, Widen(kTitle) + u'\0'},
      {"beyond the BMP", "x\xF0\x9F\x98\x80", std::u16string(u"x\U0001F600") + u'\0'},
      {"empty", "", std::u16string(1, u'\0')},
      {"zero byte inside", std::string("ab\0cd", 5), std::nullopt},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    FakeSystem os;
    os.AddConsole();
    ConsoleWriter writer(os);
    TerminalState terminal;
    SetWindowTitle(os, terminal, writer, c.title);
    if (c.passed) {
      ASSERT_EQ(os.titles.size(), 1u);
      EXPECT_EQ(os.titles[0], *c.passed);
    } else {
      EXPECT_EQ(os.count("SetConsoleTitleW"), 0u);
    }
  }
}

TEST_F(TitleTest, SecondTitleDoesNotProbeAgain) {
  UseEscapes();
  ConsoleWriter writer(os);
  SetWindowTitle(os, terminal, writer, "one");
  // Whatever changes meanwhile, the first answer stands.
  os.conout = nullptr;
  os.SetEnv(u"TERM", u"dumb");
  SetWindowTitle(os, terminal, writer, "two");
  EXPECT_EQ(os.count("CreateFileW"), 1u);
  EXPECT_EQ(os.count("GetEnvironmentVariableW"), 0u);
  EXPECT_EQ(file().bytes, "\x1b]0;one\x07\x1b]0;two\x07");
  EXPECT_EQ(os.count("SetConsoleTitleW"), 0u);
}

TEST_F(TitleTest, NoConsoleAndNoTermStillTriesTheTitleCall) {
  ConsoleWriter writer(os);
  SetWindowTitle(os, terminal, writer, kTitle);
  EXPECT_EQ(os.count("SetConsoleTitleW"), 1u);
  EXPECT_EQ(file().bytes, "");
}

}  // namespace
}  // namespace wr
