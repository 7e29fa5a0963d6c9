// A fresh directory per test holding a copy of the program, stand-in tools
// placed where a test wants them, and a runner that starts the program with
// exactly the handles, console, environment and current directory chosen.
#pragma once

#include <windows.h>

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "tests/e2e/support.h"

namespace wr::e2e {

enum class Input { EmptyFile, Nul, FileBytes, Absent, PipeWriterGone, WriteOnlyFile };
// SlowOverlappedPipe: the client end of a named pipe opened for overlapped
// I/O, with a buffer far smaller than one message, read a few bytes at a
// time, so the program's writes stay pending until the reader catches up.
enum class Output { File, Absent, PipeReaderGone, SlowOverlappedPipe };

struct RunOptions {
  std::vector<std::wstring> arguments;  // after the program name
  Input input = Input::EmptyFile;
  std::string inputBytes;  // for Input::FileBytes
  Output output = Output::File;
  // All three slots null and no STARTF_USESTDHANDLES at all.
  bool noStdHandles = false;
  // DETACHED_PROCESS: no console, so only "TERM" decides the title's form.
  bool detached = true;
  std::optional<std::wstring> term;
  // Null: the system and Windows directories only.
  std::optional<std::wstring> path;
  // Null: the sandbox itself.
  std::optional<std::filesystem::path> currentDirectory;
};

struct RunResult {
  std::uint32_t exitCode = 0;
  std::string out;  // standard output's bytes (empty unless Output::File or a slow pipe)
  std::string err;  // standard error's bytes
};

class Sandbox : public ::testing::Test {
 protected:
  void SetUp() override;
  void TearDown() override;

  const std::filesystem::path& Root() const { return root_; }
  std::filesystem::path Program() const { return program_; }
  // Moves the program into `dir` (created on demand) for the runs after.
  void RelocateProgram(const std::filesystem::path& dir);
  // A directory under the sandbox, created on demand.
  std::filesystem::path Dir(const std::wstring& name);

  // Copies the stand-in into `dir` as <name>.exe; `exitCode` goes into its
  // .exitcode file when given.
  void PlaceToolIn(const std::filesystem::path& dir, const std::wstring& name,
                   std::optional<std::uint32_t> exitCode = std::nullopt);
  void PlaceTool(const std::wstring& name, std::optional<std::uint32_t> exitCode = std::nullopt) {
    PlaceToolIn(root_, name, exitCode);
  }
  // Makes the stand-in placed as <name> in the sandbox run this long.
  void DelayTool(const std::wstring& name, std::uint32_t milliseconds);
  // The stand-in's log records: each run adds its command line and whether
  // it was given standard handles. Empty when it never ran.
  struct ToolRun {
    std::string commandLine;
    bool stdHandles = false;
  };
  std::vector<ToolRun> ToolRuns(const std::filesystem::path& dir, const std::wstring& name) const;
  std::vector<ToolRun> ToolRuns(const std::wstring& name) const { return ToolRuns(root_, name); }

  RunResult Run(const RunOptions& options = {});

 private:
  std::filesystem::path root_;
  std::filesystem::path program_;
};

// A sandbox with both stand-ins in place, each exiting 0: the run that ends
// in the success verdict unless a test changes something.
class BothToolsExitZero : public Sandbox {
 protected:
  void SetUp() override {
    Sandbox::SetUp();
    PlaceTool(L"DISM", 0);
    PlaceTool(L"sfc", 0);
  }
};

// The system and Windows directories, as the program's default search sees them.
std::wstring SystemDirectory();
std::wstring WindowsDirectory();

}  // namespace wr::e2e
