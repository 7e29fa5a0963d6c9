// Finding the tools: the program's own directory first, then the system and
// Windows directories, then PATH; never the current directory by itself.
// And what the user reads when a tool cannot be started.
#include <string>

#include "tests/e2e/expected_texts.h"
#include "tests/e2e/same_text.h"
#include "tests/e2e/sandbox.h"

namespace wr::e2e {
namespace {

namespace fs = std::filesystem;

bool InSystemDirectories(const std::wstring& file) {
  return fs::exists(fs::path(SystemDirectory()) / file) || fs::exists(fs::path(WindowsDirectory()) / file);
}

std::string UpToStage2() { return Banner() + Stage1() + StandInSaid("DISM") + Stage2(); }

using LaunchFailure = Sandbox;

TEST_F(LaunchFailure, NoSfcAnywhereShowsProgramNotFound) {
  if (InSystemDirectories(L"sfc.exe")) GTEST_SKIP() << "this system has its own sfc.exe";
  PlaceTool(L"DISM", 0);
  RunResult run = Run();
  EXPECT_EQ(run.exitCode, 0u);
  EXPECT_SAME_TEXT(run.out, UpToStage2() + LaunchFailedVerdict("program not found"));
  // The whole closing text, laid out here line by line as the user sees it.
  const std::string tail =
      "\n    " + std::string(kLaunchFailedText) + ":\nprogram not found\n\n    " + std::string(kReinstallText) + "!\n";
  ASSERT_GE(run.out.size(), tail.size());
  EXPECT_SAME_TEXT(run.out.substr(run.out.size() - tail.size()), tail);
}

TEST_F(LaunchFailure, WithoutStandInsTheSystemsDismRunsAndSfcIsMissing) {
  // Only where the system's DISM is a harmless stub: a real one needs
  // elevation and takes many minutes.
  if (!UnderWine()) GTEST_SKIP() << "runs the system's own DISM, which only Wine has as a harmless stub";
  if (!fs::exists(fs::path(SystemDirectory()) / L"dism.exe")) GTEST_SKIP() << "no dism.exe here";
  if (InSystemDirectories(L"sfc.exe")) GTEST_SKIP() << "this system has its own sfc.exe";
  RunResult run = Run();
  EXPECT_EQ(run.exitCode, 0u);
  const std::string head = Banner() + Stage1();
  const std::string tail = Stage2() + LaunchFailedVerdict("program not found");
  ASSERT_GE(run.out.size(), head.size() + tail.size()) << run.out;
  EXPECT_SAME_TEXT(run.out.substr(0, head.size()), head);
  EXPECT_SAME_TEXT(run.out.substr(run.out.size() - tail.size()), tail);
}

TEST_F(LaunchFailure, FoundButNotAProgramShowsTheSystemsTextAndCode) {
  WriteBytes(Root() / L"DISM.exe", "this is not a program\r\n");
  PlaceTool(L"sfc", 0);
  RunResult run = Run();
  EXPECT_EQ(run.exitCode, 0u);
  const std::string head = Banner() + Stage1() + "\n    " + std::string(kLaunchFailedText) + ":\n";
  const std::string tail = "\n\n    " + std::string(kReinstallText) + "!\n";
  ASSERT_GE(run.out.size(), head.size() + tail.size()) << run.out;
  EXPECT_SAME_TEXT(run.out.substr(0, head.size()), head);
  EXPECT_SAME_TEXT(run.out.substr(run.out.size() - tail.size()), tail);
  // A file that is no program fails to start with ERROR_BAD_EXE_FORMAT; its
  // text is whatever this system says for it, in this system's language.
  const std::string errorText = run.out.substr(head.size(), run.out.size() - head.size() - tail.size());
  EXPECT_EQ(errorText, SystemMessage(ERROR_BAD_EXE_FORMAT) + " (os error 193)");
  EXPECT_TRUE(ToolRuns(L"sfc").empty()) << "no second stage after a failed first";
}

TEST_F(LaunchFailure, DirectoryNamedLikeTheToolCountsAsFound) {
  // Existence is all the search asks about, so a directory called sfc.exe on
  // an earlier PATH entry stops the search, and starting it fails.
  if (InSystemDirectories(L"sfc.exe")) GTEST_SKIP() << "this system has its own sfc.exe";
  PlaceTool(L"DISM", 0);
  fs::create_directories(Dir(L"first") / L"sfc.exe");
  PlaceToolIn(Dir(L"second"), L"sfc", 0);
  RunOptions options;
  options.path = (Root() / L"first").wstring() + L";" + (Root() / L"second").wstring();
  RunResult run = Run(options);
  EXPECT_EQ(run.exitCode, 0u);
  EXPECT_TRUE(ToolRuns(Root() / L"second", L"sfc").empty());
  const std::string head = UpToStage2() + "\n    " + std::string(kLaunchFailedText) + ":\n";
  ASSERT_GE(run.out.size(), head.size());
  EXPECT_SAME_TEXT(run.out.substr(0, head.size()), head);
  EXPECT_NE(run.out.find("(os error "), std::string::npos) << run.out;
}

using Search = Sandbox;

TEST_F(Search, DismBesideTheProgramWinsOverTheSystems) {
  PlaceTool(L"DISM", 0);
  PlaceTool(L"sfc", 0);
  RunResult run = Run();
  EXPECT_EQ(run.exitCode, 0u);
  EXPECT_EQ(ToolRuns(L"DISM").size(), 1u);
  EXPECT_EQ(ToolRuns(L"sfc").size(), 1u);
  EXPECT_SAME_TEXT(run.out, UpToStage2() + StandInSaid("sfc") + std::string(kSuccessText));
}

TEST_F(Search, ProgramDirectoryWithSpacesAndCyrillicIsSearched) {
  // The program's own directory comes from the system as UTF-16 and goes
  // back to it as UTF-16; nothing on the way may depend on a code page.
  const fs::path dir = Root() / L"папка с пробелами";
  RelocateProgram(dir);
  PlaceToolIn(dir, L"DISM", 0);
  PlaceToolIn(dir, L"sfc", 0);
  RunResult run = Run();
  EXPECT_EQ(run.exitCode, 0u);
  EXPECT_SAME_TEXT(run.out, UpToStage2() + StandInSaid("sfc") + std::string(kSuccessText));
  EXPECT_EQ(ToolRuns(dir, L"DISM").size(), 1u);
  EXPECT_EQ(ToolRuns(dir, L"sfc").size(), 1u);
}

TEST_F(Search, PathLongerThanTheFirstQueryBufferIsReadWhole) {
  // Well past 512 units, so the value only arrives after the buffer grew;
  // the tool's directory is the very last entry.
  if (InSystemDirectories(L"sfc.exe")) GTEST_SKIP() << "this system has its own sfc.exe";
  PlaceTool(L"DISM", 0);
  const fs::path tools = Dir(L"tools");
  PlaceToolIn(tools, L"sfc", 0);
  std::wstring path = SystemDirectory() + L";" + WindowsDirectory();
  for (int i = 0; i < 60; ++i) path += L";" + (Root() / (L"missing-" + std::to_wstring(i))).wstring();
  path += L";" + tools.wstring();
  ASSERT_GT(path.size(), 4000u);
  RunOptions options;
  options.path = path;
  RunResult run = Run(options);
  EXPECT_EQ(run.exitCode, 0u);
  EXPECT_SAME_TEXT(run.out, UpToStage2() + StandInSaid("sfc") + std::string(kSuccessText));
  EXPECT_EQ(ToolRuns(tools, L"sfc").size(), 1u);
}

TEST_F(Search, EarlierPathEntryWinsAndEmptyEntriesAreSkipped) {
  if (InSystemDirectories(L"sfc.exe")) GTEST_SKIP() << "this system has its own sfc.exe";
  PlaceTool(L"DISM", 0);
  PlaceToolIn(Dir(L"one"), L"sfc", 0);
  PlaceToolIn(Dir(L"two"), L"sfc", 0);
  RunOptions options;
  options.path = L";;" + (Root() / L"one").wstring() + L";;" + (Root() / L"two").wstring() + L";";
  RunResult run = Run(options);
  EXPECT_EQ(run.exitCode, 0u);
  EXPECT_EQ(ToolRuns(Root() / L"one", L"sfc").size(), 1u);
  EXPECT_TRUE(ToolRuns(Root() / L"two", L"sfc").empty());
}

// An sfc.exe outside the program's directory, reachable or not through PATH.
struct SfcPlacement {
  const char* name;
  const wchar_t* sfcDir;      // under the sandbox
  const wchar_t* currentDir;  // under the sandbox
  // PATH after the system directories; %D stands for the sandbox.
  const wchar_t* pathTail;
  bool found;
};

void PrintTo(const SfcPlacement& c, std::ostream* os) { *os << c.name; }

class SfcSearch : public Sandbox, public ::testing::WithParamInterface<SfcPlacement> {};

TEST_P(SfcSearch, FindsSfcOnlyThroughPath) {
  if (InSystemDirectories(L"sfc.exe")) GTEST_SKIP() << "this system has its own sfc.exe";
  const SfcPlacement& c = GetParam();
  PlaceTool(L"DISM", 0);
  const fs::path sfcDir = Dir(c.sfcDir);
  PlaceToolIn(sfcDir, L"sfc", 0);

  std::wstring tail = c.pathTail;
  for (size_t at; (at = tail.find(L"%D")) != std::wstring::npos;) tail.replace(at, 2, Root().wstring());
  RunOptions options;
  options.path = SystemDirectory() + L";" + WindowsDirectory() + (tail.empty() ? L"" : L";" + tail);
  options.currentDirectory = Dir(c.currentDir);
  RunResult run = Run(options);

  EXPECT_EQ(run.exitCode, 0u);
  if (c.found) {
    EXPECT_SAME_TEXT(run.out, UpToStage2() + StandInSaid("sfc") + std::string(kSuccessText));
    ASSERT_EQ(ToolRuns(sfcDir, L"sfc").size(), 1u);
    EXPECT_EQ(ToolRuns(sfcDir, L"sfc")[0].commandLine, "\"sfc\" /scannow");
  } else {
    EXPECT_SAME_TEXT(run.out, UpToStage2() + LaunchFailedVerdict("program not found"));
    EXPECT_TRUE(ToolRuns(sfcDir, L"sfc").empty());
  }
}

INSTANTIATE_TEST_SUITE_P(
    Placement, SfcSearch,
    ::testing::Values(SfcPlacement{"OnlyInCurrentDirectory", L"cwd", L"cwd", L"", false},
                      SfcPlacement{"CurrentDirectoryInPath", L"cwd", L"cwd", L"%D\\cwd", true},
                      SfcPlacement{"DotInPathMeansCurrentDirectory", L"cwd", L"cwd", L".", true},
                      SfcPlacement{"RelativePathEntry", L"cwd\\bin", L"cwd", L"bin", true},
                      SfcPlacement{"QuotedEntryHoldingSemicolon", L"a;b", L"cwd", L"\"%D\\a;b\"", true},
                      SfcPlacement{"UnquotedSemicolonSplitsTheEntry", L"a;b", L"cwd", L"%D\\a;b", false},
                      SfcPlacement{"TrailingSeparatorOnEntry", L"tools", L"cwd", L"%D\\tools\\", true},
                      SfcPlacement{"ForwardSlashEntry", L"tools", L"cwd", L"%D/tools", true}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace wr::e2e
