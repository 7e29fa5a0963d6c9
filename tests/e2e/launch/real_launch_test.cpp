// The launcher against the real system: what a child actually receives and
// reports, which the scripted fake cannot tell.
// The product's headers first: they name constants the way <windows.h>
// does, and must be read before its macros exist.
#include "launch/child_process.h"
#include "launch/command_line.h"
#include "launch/tool_command.h"
#include "platform/system-win32.h"
#include "tests/e2e/support.h"

#include <windows.h>
#include <shellapi.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include <gtest/gtest.h>

namespace wr {
namespace {

namespace fs = std::filesystem;

using e2e::FreshScratchDir;
using e2e::RemoveScratchDir;
using e2e::CopyStandIn;
using e2e::ReadBytes;
using e2e::ToUtf8;
using e2e::Widen;
using e2e::WriteBytes;

// What the process's handle table looks like from outside: the count where
// the system keeps one (some stand-in systems always answer 0), and which
// slots the next 64 handles would land in. A handle left open takes a slot
// that is otherwise free again, so the set of slots changes.
struct HandleTableView {
  DWORD count = 0;
  std::vector<HANDLE> nextSlots;
  bool operator==(const HandleTableView&) const = default;
};

HandleTableView ViewHandleTable() {
  HandleTableView view;
  GetProcessHandleCount(GetCurrentProcess(), &view.count);
  for (int i = 0; i < 64; ++i) view.nextSlots.push_back(CreateEventW(nullptr, TRUE, FALSE, nullptr));
  for (HANDLE h : view.nextSlots) CloseHandle(h);
  std::sort(view.nextSlots.begin(), view.nextSlots.end());
  return view;
}

void PrintTo(const HandleTableView& view, std::ostream* os) {
  *os << "count " << view.count << ", slots";
  for (HANDLE h : view.nextSlots) *os << ' ' << h;
}

class RealLaunch : public ::testing::Test {
 protected:
  void SetUp() override {
    const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
    root_ = FreshScratchDir(Widen(std::string("launch.") + info->name()));
  }
  void TearDown() override {
    if (HasFailure()) {
      std::printf("left for inspection: %s\n", ToUtf8(root_.wstring()).c_str());
      return;
    }
    // Started images can stay open for a moment after their process ended.
    RemoveScratchDir(root_);
  }

  // A stand-in under `name`.exe that exits with `code`.
  fs::path StandIn(const std::wstring& name, std::uint32_t code) {
    const fs::path exe = root_ / (name + L".exe");
    CopyStandIn(exe);
    char text[16];
    snprintf(text, sizeof text, "0x%08X", static_cast<unsigned>(code));
    WriteBytes(root_ / (name + L".exitcode"), text);
    return exe;
  }

  Win32System os_;
  fs::path root_;
};

// ---------------------------------------------------------------------------
// Quoting: what BuildCommandLine writes must split back, by the system's own
// rules, into exactly the arguments that were added.

std::vector<std::string> GeneratedArguments() {
  // Pieces chosen for the splitting rules: separators, quotes, runs of
  // backslashes before quotes and at the end, and multi-unit characters.
  static const char* const kPieces[] = {"a", "Z", " ", "\t", "\"", "\\", "\\\\", "\\\\\\", "Ж",    "😀",
                                        "%", "^", "&", "\n", "'",  "=",  "é",    ";",      "\\\"", "\"\""};
  constexpr size_t kPieceCount = sizeof kPieces / sizeof kPieces[0];
  std::vector<std::string> arguments = {
      "",       " ",     "\t", "\"", "\\", "\\\"", "a b", "a\"b", "a\\\"b", "C:\\dir name\\", "\\\\server\\share\\",
      "\"\"\"", "\\\\\\"};
  std::uint32_t state = 12345;
  auto next = [&state] {
    state = state * 1664525u + 1013904223u;
    return state >> 8;
  };
  for (int i = 0; i < 4000; ++i) {
    std::string argument;
    const unsigned pieces = next() % 9;
    for (unsigned p = 0; p < pieces; ++p) argument += kPieces[next() % kPieceCount];
    arguments.push_back(argument);
  }
  return arguments;
}

std::vector<std::wstring> SplitBySystem(const WideText& line) {
  // The line is terminated; CommandLineToArgvW wants exactly that.
  int count = 0;
  LPWSTR* argv = CommandLineToArgvW(reinterpret_cast<const wchar_t*>(line.data()), &count);
  std::vector<std::wstring> result;
  if (argv == nullptr) return result;
  for (int i = 0; i < count; ++i) result.emplace_back(argv[i]);
  LocalFree(argv);
  return result;
}

TEST_F(RealLaunch, CommandLineSplitsBackIntoTheSameArguments) {
  const std::vector<std::string> arguments = GeneratedArguments();
  constexpr size_t kPerLine = 16;
  for (bool force : {false, true}) {
    for (size_t first = 0; first < arguments.size(); first += kPerLine) {
      const size_t last = std::min(arguments.size(), first + kPerLine);
      ToolCommand command = NewCommand(os_, "prog");
      SetForceQuotes(command, force);
      for (size_t i = first; i < last; ++i) AddArgument(command, arguments[i]);
      Result<WideText> line = BuildCommandLine(os_, command);
      ASSERT_TRUE(line.ok());
      const std::vector<std::wstring> split = SplitBySystem(line.value());
      ASSERT_EQ(split.size(), 1 + last - first)
          << "line: " << ToUtf8(std::wstring(reinterpret_cast<const wchar_t*>(line.value().data())));
      EXPECT_EQ(split[0], L"prog");
      for (size_t i = first; i < last; ++i) {
        EXPECT_EQ(ToUtf8(split[1 + i - first]), arguments[i])
            << "argument " << i << (force ? " (forced quotes)" : "")
            << " in line: " << ToUtf8(std::wstring(reinterpret_cast<const wchar_t*>(line.value().data())));
      }
      ReleaseCommand(command);
      if (HasFailure()) return;
    }
  }
}

// ---------------------------------------------------------------------------
// Exit codes and handles.

TEST_F(RealLaunch, ExitCodeAboveSignedRangeArrivesUnchangedTwice) {
  for (std::uint32_t code : {0xC0000005u, 0x80000000u, 0xFFFFFFFFu, 0x800F081Fu}) {
    const fs::path exe = StandIn(L"tool", code);
    ToolCommand command = NewCommand(os_, ToUtf8(exe.wstring()));
    Result<ChildProcess> child = StartTool(os_, command);
    ASSERT_TRUE(child.ok());
    Result<Dword> first = WaitForExit(os_, child.value());
    Result<Dword> second = WaitForExit(os_, child.value());
    ASSERT_TRUE(first.ok());
    ASSERT_TRUE(second.ok());
    EXPECT_EQ(first.value(), code);
    EXPECT_EQ(second.value(), code);
    ReleaseChild(os_, child.value());
    ReleaseCommand(command);
  }
}

TEST_F(RealLaunch, ChildReceivesProgramNameAsGivenAndInheritedHandles) {
  const fs::path exe = StandIn(L"tool", 0);
  ToolCommand command = NewCommand(os_, ToUtf8(exe.wstring()));
  AddArgument(command, "/scannow");
  AddArgument(command, "two words");
  Result<ChildProcess> child = StartTool(os_, command);
  ASSERT_TRUE(child.ok());
  ASSERT_TRUE(WaitForExit(os_, child.value()).ok());
  ReleaseChild(os_, child.value());
  ReleaseCommand(command);
  const std::string log = ReadBytes(root_ / L"tool.log");
  const bool anyStdHandle =
      GetStdHandle(STD_INPUT_HANDLE) || GetStdHandle(STD_OUTPUT_HANDLE) || GetStdHandle(STD_ERROR_HANDLE);
  std::string expected = "\"";
  expected += ToUtf8(exe.wstring());
  expected += "\" /scannow \"two words\"\nstdhandles=";
  expected += anyStdHandle ? "1\n" : "0\n";
  EXPECT_EQ(log, expected);
}

// The leak checks below are only worth what this view can see.
TEST(HandleTable, ViewSeesOneHandleLeftOpen) {
  const HandleTableView before = ViewHandleTable();
  HANDLE leaked = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  ASSERT_NE(leaked, nullptr);
  EXPECT_NE(ViewHandleTable(), before);
  CloseHandle(leaked);
  EXPECT_EQ(ViewHandleTable(), before);
}

TEST_F(RealLaunch, FailedStartLeavesNoHandleOpen) {
  const fs::path notAProgram = root_ / L"notaprogram.exe";
  WriteBytes(notAProgram, "plain text, not a program\r\n");
  ToolCommand command = NewCommand(os_, ToUtf8(notAProgram.wstring()));
  AddArgument(command, "/x");

  // Once first, so that anything the system loads and keeps on first use
  // is not counted against the launcher.
  { Result<ChildProcess> warmup = StartTool(os_, command); }
  const HandleTableView before = ViewHandleTable();
  for (int i = 0; i < 10; ++i) {
    Result<ChildProcess> child = StartTool(os_, command);
    ASSERT_FALSE(child.ok());
    EXPECT_EQ(child.error().variant(), IoError::Variant::OsCode);
    EXPECT_NE(child.error().os_code(), 0);
  }
  EXPECT_EQ(ViewHandleTable(), before);
  ReleaseCommand(command);
}

TEST_F(RealLaunch, StartWaitAndReleaseLeaveNoHandleOpen) {
  const fs::path exe = StandIn(L"tool", 7);
  ToolCommand command = NewCommand(os_, ToUtf8(exe.wstring()));
  {
    Result<ChildProcess> warmup = StartTool(os_, command);
    ASSERT_TRUE(warmup.ok());
    ASSERT_TRUE(WaitForExit(os_, warmup.value()).ok());
    ReleaseChild(os_, warmup.value());
  }
  const HandleTableView before = ViewHandleTable();
  for (int i = 0; i < 5; ++i) {
    Result<ChildProcess> child = StartTool(os_, command);
    ASSERT_TRUE(child.ok());
    Result<Dword> code = WaitForExit(os_, child.value());
    ASSERT_TRUE(code.ok());
    EXPECT_EQ(code.value(), 7u);
    ReleaseChild(os_, child.value());
  }
  EXPECT_EQ(ViewHandleTable(), before);
  ReleaseCommand(command);
}

// ---------------------------------------------------------------------------
// Batch scripts run through the command interpreter; what the script sees
// as %1, %2, ... is what the interpreter made of the escaped line.

struct ScriptArgument {
  const char* argument;
  const char* escaped;  // as written into the interpreter's line
  const char* seen;     // %N in the script, quotes included
};

class BatchScript : public RealLaunch {
 protected:
  // Runs a script in a directory whose name needs quoting; returns the line
  // the script wrote, with the checks on the way.
  std::string RunScript(const std::vector<ScriptArgument>& arguments) {
    const fs::path dir = root_ / L"with space";
    fs::create_directories(dir);
    const fs::path script = dir / L"show.cmd";
    WriteBytes(script,
               "@echo off\r\n"
               ">>\"%~dp0seen.txt\" echo [%1] [%2] [%3] [%4]\r\n"
               "exit /b 3\r\n");
    ToolCommand command = NewCommand(os_, ToUtf8(script.wstring()));
    for (const auto& a : arguments) AddArgument(command, a.argument);

    // The line itself, so that a difference in what the script sees can be
    // told apart from the interpreter's own reading of it.
    std::u16string terminated = script.u16string();
    terminated.push_back(u'\0');
    Result<WideText> line = BuildScriptCommandLine(os_, terminated, command);
    EXPECT_TRUE(line.ok());
    if (line.ok()) {
      std::string expected = "cmd.exe /e:ON /v:OFF /d /c \"\"" + ToUtf8(script.wstring()) + "\"";
      for (const auto& a : arguments) expected += std::string(" ") + a.escaped;
      expected += "\"";
      EXPECT_EQ(ToUtf8(reinterpret_cast<const wchar_t*>(line.value().data())), expected);
    }

    Result<ChildProcess> child = StartTool(os_, command);
    EXPECT_TRUE(child.ok());
    if (child.ok()) {
      Result<Dword> code = WaitForExit(os_, child.value());
      EXPECT_TRUE(code.ok());
      if (code.ok()) {
        EXPECT_EQ(code.value(), 3u);
      }
      ReleaseChild(os_, child.value());
    }
    ReleaseCommand(command);
    return ReadBytes(dir / L"seen.txt");
  }

  static std::string Seen(const std::vector<ScriptArgument>& arguments) {
    std::string seen;
    for (size_t i = 0; i < 4; ++i) {
      if (i) seen += " ";
      seen += '[';
      if (i < arguments.size()) seen += arguments[i].seen;
      seen += ']';
    }
    return seen + "\r\n";
  }

  // Whether the interpreter hands a script a parameter holding a percent
  // sign unchanged. Some stand-in interpreters expand the substituted %1
  // once more, which no escaping on the command line can undo.
  bool InterpreterKeepsPercentInParameters() {
    const fs::path probe = root_ / L"probe.cmd";
    WriteBytes(probe, "@echo off\r\n>\"%~dp0probe.txt\" echo [%1]\r\n");
    std::wstring line = L"cmd.exe /d /c \"\"" + probe.wstring() + L"\" \"50%\"\"";
    const std::wstring cmd = SystemDirectoryPath() + L"\\cmd.exe";
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process{};
    if (!CreateProcessW(cmd.c_str(), line.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &process))
      return false;
    WaitForSingleObject(process.hProcess, 30000);
    CloseHandle(process.hProcess);
    CloseHandle(process.hThread);
    return ReadBytes(root_ / L"probe.txt") == "[\"50%\"]\r\n";
  }

  static std::wstring SystemDirectoryPath() {
    wchar_t buffer[MAX_PATH + 1];
    return std::wstring(buffer, GetSystemDirectoryW(buffer, MAX_PATH + 1));
  }
};

TEST_F(BatchScript, QuotesAndSpacesReachTheScript) {
  const std::vector<ScriptArgument> arguments = {
      {"plain", "plain", "plain"},
      {"a\"b", "\"a\"\"b\"", "\"a\"\"b\""},
      {"two words", "\"two words\"", "\"two words\""},
      {"x/y-z.1", "x/y-z.1", "x/y-z.1"},
  };
  EXPECT_EQ(RunScript(arguments), Seen(arguments));
}

TEST_F(BatchScript, PercentSignsReachTheScriptUnexpanded) {
  const std::vector<ScriptArgument> arguments = {
      {"50%", "\"50%%cd:~,%\"", "\"50%\""},
      {"%PATH%", "\"%%cd:~,%PATH%%cd:~,%\"", "\"%PATH%\""},
      {"100", "100", "100"},
  };
  const std::string seen = RunScript(arguments);
  if (!InterpreterKeepsPercentInParameters())
    GTEST_SKIP() << "this command interpreter expands percent signs inside parameters; the script saw: " << seen;
  EXPECT_EQ(seen, Seen(arguments));
}

TEST_F(BatchScript, ArgumentWithLineFeedIsRefusedBeforeAnythingStarts) {
  const fs::path script = root_ / L"never.bat";
  WriteBytes(script, "@echo off\r\necho ran>\"%~dp0ran.txt\"\r\n");
  ToolCommand command = NewCommand(os_, ToUtf8(script.wstring()));
  AddArgument(command, "line\nbreak");
  Result<ChildProcess> child = StartTool(os_, command);
  ASSERT_FALSE(child.ok());
  EXPECT_EQ(child.error().variant(), IoError::Variant::FixedMessage);
  EXPECT_EQ(child.error().fixed().text, "batch file arguments are invalid");
  EXPECT_FALSE(fs::exists(root_ / L"ran.txt"));
  ReleaseCommand(command);
}

}  // namespace
}  // namespace wr
