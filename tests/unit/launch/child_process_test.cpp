#include "launch/child_process.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <ostream>
#include <set>
#include <string>
#include <vector>

#include "launch/launcher.h"
#include "tests/unit/fake/fake_system.h"
#include "tests/unit/launch/launch_test_support.h"

namespace wr::testing {
namespace {

using namespace std::string_literals;

// Records how the standard handles are looked up and copied.
class RecordingSystem : public FakeSystem {
 public:
  struct Duplicate {
    Handle source_process, source, target_process;
    Dword access;
    bool inherit;
    Dword options;
  };
  std::vector<Dword> std_lookups;
  std::vector<Duplicate> duplicates;

  Handle GetStdHandle(Dword which) override {
    std_lookups.push_back(which);
    return FakeSystem::GetStdHandle(which);
  }
  bool DuplicateHandle(Handle source_process, Handle source, Handle target_process, Handle* target, Dword access,
                       bool inherit, Dword options) override {
    duplicates.push_back({source_process, source, target_process, access, inherit, options});
    return FakeSystem::DuplicateHandle(source_process, source, target_process, target, access, inherit, options);
  }
};

// Notes whether the launch lock is held at every call where an inheritable
// copy of a standard handle exists or is about to: each duplicate, the
// creation itself and each close of a copy. Another start in between would
// hand its child our copies.
class LockWatchingSystem : public FakeSystem {
 public:
  struct Moment {
    std::string call;
    bool held;
    bool operator==(const Moment&) const = default;
    friend void PrintTo(const Moment& m, std::ostream* out) { *out << m.call << (m.held ? " (held)" : " (free)"); }
  };
  std::vector<Moment> moments;
  std::set<Handle> copies;

  bool DuplicateHandle(Handle source_process, Handle source, Handle target_process, Handle* target, Dword access,
                       bool inherit, Dword options) override {
    moments.push_back({"DuplicateHandle", Held()});
    const bool made =
        FakeSystem::DuplicateHandle(source_process, source, target_process, target, access, inherit, options);
    if (made) copies.insert(*target);
    return made;
  }
  bool CreateProcessW(const char16_t* application, char16_t* commandLine, bool inheritHandles, Dword creationFlags,
                      void* environment, const char16_t* directory, const StartupInfo* startup,
                      ProcessInformation* information) override {
    moments.push_back({"CreateProcessW", Held()});
    return FakeSystem::CreateProcessW(application, commandLine, inheritHandles, creationFlags, environment, directory,
                                      startup, information);
  }
  bool CloseHandle(Handle handle) override {
    if (copies.count(handle) != 0) moments.push_back({"CloseHandle", Held()});
    return FakeSystem::CloseHandle(handle);
  }

 private:
  static bool Held() { return LaunchLock().word() != 0; }
};

class StartToolTest : public ::testing::Test {
 protected:
  void SetUp() override {
    fake.AddExisting(u"C:\\windows\\system32\\DISM.exe");
    in = fake.AddConsole();
    out = fake.AddConsole();
    err = fake.AddConsole();
    fake.SetStd(STD_INPUT_HANDLE, in);
    fake.SetStd(STD_OUTPUT_HANDLE, out);
    fake.SetStd(STD_ERROR_HANDLE, err);
  }

  ToolCommand Dism() {
    ToolCommand command = NewCommand(fake, "DISM");
    AddArgument(command, "/Online");
    AddArgument(command, "/Cleanup-image");
    AddArgument(command, "/Restorehealth");
    return command;
  }

  // Nothing of a failed start may be left: no handle, no list, no lock.
  void ExpectNothingLeft(std::size_t open_before) {
    EXPECT_EQ(fake.open_handle_count(), open_before);
    EXPECT_EQ(fake.attribute_lists_live, 0u);
    EXPECT_EQ(fake.environment_blocks_out, 0u);
    EXPECT_EQ(LaunchLock().word(), 0);
    LaunchLock().Lock(fake);
    LaunchLock().Unlock(fake);
  }

  RecordingSystem fake;
  Handle in = nullptr, out = nullptr, err = nullptr;
};

TEST_F(StartToolTest, StartsDismWithInheritedConsoleHandles) {
  const std::size_t open_before = fake.open_handle_count();
  ToolCommand command = Dism();
  Result<ChildProcess> child = StartTool(fake, command);
  ASSERT_TRUE(child.ok());

  ASSERT_EQ(fake.launches.size(), 1u);
  const ProcessLaunch& launch = fake.launches[0];
  EXPECT_EQ(launch.application, u"C:\\windows\\system32\\DISM.exe");
  EXPECT_EQ(launch.command_line, u"\"DISM\" /Online /Cleanup-image /Restorehealth");
  EXPECT_TRUE(launch.inherit_handles);
  EXPECT_EQ(launch.flags, 0x400u);
  EXPECT_FALSE(launch.has_environment);
  EXPECT_FALSE(launch.has_directory);
  EXPECT_EQ(launch.startup.dwFlags, STARTF_USESTDHANDLES);
  EXPECT_EQ(launch.startup.lpAttributeList, nullptr);

  // Three fresh inheritable copies, and nothing else inheritable.
  const std::vector<Handle> copies = {launch.startup.hStdInput, launch.startup.hStdOutput, launch.startup.hStdError};
  for (Handle copy : copies) {
    EXPECT_NE(copy, nullptr);
    EXPECT_TRUE(copy != in && copy != out && copy != err);
    EXPECT_FALSE(fake.is_open(copy)) << "copies are closed after the start";
  }
  std::vector<Handle> inheritable = launch.inheritable_open;
  std::vector<Handle> sorted_copies = copies;
  std::sort(inheritable.begin(), inheritable.end());
  std::sort(sorted_copies.begin(), sorted_copies.end());
  EXPECT_EQ(inheritable, sorted_copies);

  EXPECT_EQ(fake.std_lookups, (std::vector<Dword>{STD_INPUT_HANDLE, STD_OUTPUT_HANDLE, STD_ERROR_HANDLE}));
  ASSERT_EQ(fake.duplicates.size(), 3u);
  const Handle self = fake.GetCurrentProcess();
  const Handle sources[] = {in, out, err};
  for (std::size_t i = 0; i < 3; ++i) {
    const auto& d = fake.duplicates[i];
    EXPECT_EQ(d.source, sources[i]);
    EXPECT_EQ(d.source_process, self);
    EXPECT_EQ(d.target_process, self);
    EXPECT_EQ(d.access, 0u);
    EXPECT_TRUE(d.inherit);
    EXPECT_EQ(d.options, DUPLICATE_SAME_ACCESS);
  }

  EXPECT_TRUE(fake.is_open(child.value().process.get()));
  EXPECT_TRUE(fake.is_open(child.value().thread.get()));
  EXPECT_FALSE(child.value().input || child.value().output || child.value().error);
  EXPECT_EQ(fake.open_handle_count(), open_before + 2);
  EXPECT_EQ(LaunchLock().word(), 0);

  ReleaseChild(fake, child.value());
  EXPECT_EQ(fake.open_handle_count(), open_before);
  EXPECT_FALSE(child.value().process || child.value().thread);
  ReleaseCommand(command);
}

TEST_F(StartToolTest, MissingStandardHandlesLeaveEmptySlots) {
  struct Case {
    const char* label;
    Handle input, output, error;
    Dword flags;
    int copies;
  };
  const Case cases[] = {
      {"none at all", nullptr, nullptr, nullptr, 0, 0},
      {"all invalid", InvalidHandleValue(), InvalidHandleValue(), InvalidHandleValue(), 0, 0},
      {"output only", nullptr, out, InvalidHandleValue(), STARTF_USESTDHANDLES, 1},
      {"no input", InvalidHandleValue(), out, err, STARTF_USESTDHANDLES, 2},
  };
  for (const Case& c : cases) {
    fake.launches.clear();
    fake.duplicates.clear();
    fake.SetStd(STD_INPUT_HANDLE, c.input);
    fake.SetStd(STD_OUTPUT_HANDLE, c.output);
    fake.SetStd(STD_ERROR_HANDLE, c.error);
    ToolCommand command = Dism();
    Result<ChildProcess> child = StartTool(fake, command);
    ASSERT_TRUE(child.ok()) << c.label;
    const StartupInfo& startup = fake.launches.at(0).startup;
    EXPECT_EQ(startup.dwFlags, c.flags) << c.label;
    EXPECT_EQ(fake.duplicates.size(), static_cast<std::size_t>(c.copies)) << c.label;
    EXPECT_EQ(startup.hStdInput == nullptr, c.input == nullptr || c.input == InvalidHandleValue()) << c.label;
    EXPECT_EQ(startup.hStdOutput == nullptr, c.output == nullptr || c.output == InvalidHandleValue()) << c.label;
    EXPECT_EQ(startup.hStdError == nullptr, c.error == nullptr || c.error == InvalidHandleValue()) << c.label;
  }
}

TEST_F(StartToolTest, FailedCreationReportsTheSystemCodeAndCleansUp) {
  fake.create_process_error = ERROR_BAD_EXE_FORMAT;
  const std::size_t open_before = fake.open_handle_count();
  ToolCommand command = Dism();
  Result<ChildProcess> child = StartTool(fake, command);
  ASSERT_FALSE(child.ok());
  EXPECT_TRUE(IsOsCode(child.error(), ERROR_BAD_EXE_FORMAT));
  // The code is read before any clean-up call can overwrite it.
  auto created = std::find(fake.calls.begin(), fake.calls.end(), "CreateProcessW");
  ASSERT_NE(created, fake.calls.end());
  ASSERT_NE(created + 1, fake.calls.end());
  EXPECT_EQ(*(created + 1), "GetLastError");
  ExpectNothingLeft(open_before);

  // The command is untouched and can be started again.
  fake.create_process_error.reset();
  Result<ChildProcess> again = StartTool(fake, command);
  ASSERT_TRUE(again.ok());
  EXPECT_EQ(fake.launches.back().command_line, fake.launches.front().command_line);
}

TEST_F(StartToolTest, FailedCopyClosesTheCopiesMadeSoFar) {
  for (Dword failing : {1u, 2u, 3u}) {
    RecordingSystem local;
    local.AddExisting(u"C:\\windows\\system32\\DISM.exe");
    for (Dword id : {STD_INPUT_HANDLE, STD_OUTPUT_HANDLE, STD_ERROR_HANDLE}) local.SetStd(id, local.AddConsole());
    local.duplicate_error_on_call = failing;
    local.duplicate_error = ERROR_ACCESS_DENIED;
    const std::size_t open_before = local.open_handle_count();
    ToolCommand command = NewCommand(local, "DISM");
    Result<ChildProcess> child = StartTool(local, command);
    ASSERT_FALSE(child.ok()) << failing;
    EXPECT_TRUE(IsOsCode(child.error(), ERROR_ACCESS_DENIED)) << failing;
    EXPECT_EQ(local.count("CreateProcessW"), 0u) << failing;
    EXPECT_EQ(local.duplicates.size(), failing) << "stops at the first failure";
    EXPECT_EQ(local.open_handle_count(), open_before) << failing;
    EXPECT_EQ(LaunchLock().word(), 0) << failing;
  }
}

TEST_F(StartToolTest, ErrorsBeforeTheLockLeaveNothingOpen) {
  struct Case {
    const char* label;
    std::string program;
    std::string argument;
    void (*setup)(ToolCommand&);
    const FixedRecord* error;
  };
  const Case cases[] = {
      {"not found", "nothere", "x", nullptr, &fixed::kProgramNotFound},
      {"no file name", "C:\\x\\", "x", nullptr, &fixed::kNoFileName},
      {"zero in an argument", "DISM", "a\0b"s, nullptr, &fixed::kNulInData},
      {"zero in the directory", "DISM", "x", [](ToolCommand& c) { SetWorkingDirectory(c, "C:\\a\0b"s); },
       &fixed::kNulInData},
      {"zero in the environment", "DISM", "x", [](ToolCommand& c) { SetEnvironmentValue(c, "K", "a\0b"s); },
       &fixed::kNulInData},
      {"line feed for a script", "C:\\x\\run.bat", "a\nb", nullptr, &fixed::kBadBatchArguments},
      // The interpreter would expand %TEMP% and run another file.
      {"percent in a script path", "C:\\%TEMP%\\run.bat", "x", nullptr, &fixed::kBadBatchFilePercent},
      // A child splits "A=B=v" at the first '=': another variable than asked.
      {"empty environment name", "DISM", "x", [](ToolCommand& c) { SetEnvironmentValue(c, "", "v"); },
       &fixed::kBadEnvironmentName},
      {"environment name with '='", "DISM", "x", [](ToolCommand& c) { SetEnvironmentValue(c, "A=B", "v"); },
       &fixed::kBadEnvironmentName},
      {"drive directory name", "DISM", "x", [](ToolCommand& c) { SetEnvironmentValue(c, "=C:", "C:\\"); },
       &fixed::kBadEnvironmentName},
      {"removing an empty name", "DISM", "x", [](ToolCommand& c) { RemoveEnvironmentValue(c, ""); },
       &fixed::kBadEnvironmentName},
      // Invalid UTF-8 would reach the system as U+FFFD: other text than asked.
      {"environment value not UTF-8", "DISM", "x", [](ToolCommand& c) { SetEnvironmentValue(c, "K", "\xC3"); },
       &fixed::kInvalidUtf8ForWinApi},
      {"environment name not UTF-8", "DISM", "x", [](ToolCommand& c) { SetEnvironmentValue(c, "K\x80", "v"); },
       &fixed::kInvalidUtf8ForWinApi},
      {"a refused name is not replaced by a later one", "DISM", "x",
       [](ToolCommand& c) {
         SetEnvironmentValue(c, "A\xFF", "1");
         SetEnvironmentValue(c, "A\xEF\xBF\xBD", "2");
       },
       &fixed::kInvalidUtf8ForWinApi},
      {"directory not UTF-8", "DISM", "x", [](ToolCommand& c) { SetWorkingDirectory(c, "C:\\\xFF"); },
       &fixed::kInvalidUtf8ForWinApi},
      {"argument not UTF-8", "DISM", "\xF8", nullptr, &fixed::kInvalidUtf8ForWinApi},
      {"program name not UTF-8", "DI\xFFSM", "x", nullptr, &fixed::kInvalidUtf8ForWinApi},
  };
  for (const Case& c : cases) {
    const std::size_t open_before = fake.open_handle_count();
    ToolCommand command = NewCommand(fake, c.program);
    AddArgument(command, c.argument);
    if (c.setup) c.setup(command);
    Result<ChildProcess> child = StartTool(fake, command);
    ASSERT_FALSE(child.ok()) << c.label;
    EXPECT_TRUE(IsFixed(child.error(), *c.error)) << c.label;
    EXPECT_EQ(fake.count("CreateProcessW"), 0u) << c.label;
    EXPECT_TRUE(fake.duplicates.empty()) << c.label;
    ExpectNothingLeft(open_before);
  }
}

TEST_F(StartToolTest, RefusesStreamsOtherThanInherited) {
  const std::size_t open_before = fake.open_handle_count();
  ToolCommand command = Dism();
  SetStdio(command, StdStream::Output, StdioChoice::Piped);
  Result<ChildProcess> child = StartTool(fake, command);
  ASSERT_FALSE(child.ok());
  EXPECT_EQ(KindOf(child.error()), ErrorKind::Unsupported);
  EXPECT_EQ(fake.count("CreateProcessW"), 0u);
  ExpectNothingLeft(open_before);
}

TEST_F(StartToolTest, AppliesTheCommandsSettings) {
  struct Case {
    const char* label;
    void (*setup)(ToolCommand&);
    Dword flags;
    Dword startup_flags;
    std::uint16_t show;
    std::u16string directory;  // empty: none
  };
  const Case cases[] = {
      {"detached", [](ToolCommand& c) { SetDetached(c, true); }, 0x608, STARTF_USESTDHANDLES, 0, u""},
      {"own flags", [](ToolCommand& c) { SetCreationFlags(c, 0x10); }, 0x410, STARTF_USESTDHANDLES, 0, u""},
      {"detached and own flags",
       [](ToolCommand& c) {
         SetDetached(c, true);
         SetCreationFlags(c, 0x04000000);
       },
       0x04000608, STARTF_USESTDHANDLES, 0, u""},
      {"show window", [](ToolCommand& c) { SetShowWindow(c, 7); }, 0x400, STARTF_USESTDHANDLES | STARTF_USESHOWWINDOW,
       7, u""},
      {"directory", [](ToolCommand& c) { SetWorkingDirectory(c, "C:\\Рабочая"); }, 0x400, STARTF_USESTDHANDLES, 0,
       u"C:\\Рабочая"},
  };
  for (const Case& c : cases) {
    fake.launches.clear();
    ToolCommand command = Dism();
    c.setup(command);
    Result<ChildProcess> child = StartTool(fake, command);
    ASSERT_TRUE(child.ok()) << c.label;
    const ProcessLaunch& launch = fake.launches.at(0);
    EXPECT_EQ(launch.flags, c.flags) << c.label;
    EXPECT_EQ(launch.startup.dwFlags, c.startup_flags) << c.label;
    EXPECT_EQ(launch.startup.wShowWindow, c.show) << c.label;
    EXPECT_EQ(launch.has_directory, !c.directory.empty()) << c.label;
    EXPECT_EQ(launch.directory, c.directory) << c.label;
    EXPECT_FALSE(launch.has_environment) << c.label;
  }
}

TEST_F(StartToolTest, OwnEnvironmentIsCapturedFirstAndPassedAsABlock) {
  fake.SetEnv(u"PATH", u"C:\\bin");
  fake.SetEnv(u"b", u"2");
  ToolCommand command = Dism();
  SetEnvironmentValue(command, "A", "1");
  Result<ChildProcess> child = StartTool(fake, command);
  ASSERT_TRUE(child.ok());
  const ProcessLaunch& launch = fake.launches.at(0);
  ASSERT_TRUE(launch.has_environment);
  EXPECT_EQ(launch.environment, u"A=1\0b=2\0PATH=C:\\bin\0\0"s);
  EXPECT_EQ(launch.flags & CREATE_UNICODE_ENVIRONMENT, CREATE_UNICODE_ENVIRONMENT);
  EXPECT_EQ(fake.count("GetEnvironmentStringsW"), 1u) << "read once for the search and the block";
  EXPECT_EQ(fake.environment_blocks_out, 0u);
  auto read = std::find(fake.calls.begin(), fake.calls.end(), "GetEnvironmentStringsW");
  auto module = std::find(fake.calls.begin(), fake.calls.end(), "GetModuleFileNameW");
  EXPECT_LT(read, module);
}

TEST_F(StartToolTest, ClearedEnvironmentGivesAnEmptyBlock) {
  ToolCommand command = Dism();
  ClearEnvironment(command);
  Result<ChildProcess> child = StartTool(fake, command);
  ASSERT_TRUE(child.ok());
  EXPECT_EQ(fake.launches.at(0).environment, u"\0\0"s);
}

TEST_F(StartToolTest, BatchScriptsRunThroughTheInterpreter) {
  fake.AddExisting(u"C:\\windows\\system32\\cmd.exe");  // the system starts only programs that exist
  ToolCommand command = NewCommand(fake, "C:\\x\\run.CMD");
  AddArgument(command, "arg");
  Result<ChildProcess> child = StartTool(fake, command);
  ASSERT_TRUE(child.ok());
  const ProcessLaunch& launch = fake.launches.at(0);
  EXPECT_EQ(launch.application, u"C:\\windows\\system32\\cmd.exe");
  EXPECT_EQ(launch.command_line, u"cmd.exe /e:ON /v:OFF /d /c \"\"C:\\x\\run.CMD\" arg\"");
}

TEST_F(StartToolTest, TrailingDotsAndSpacesStillTakeTheScriptRoute) {
  for (const char* program : {"C:\\x\\run.bat.", "C:\\x\\run.bat "}) {
    FakeSystem os;
    os.AddExisting(u"C:\\windows\\system32\\cmd.exe");
    ToolCommand command = NewCommand(os, program);
    AddArgument(command, "a&b");
    Result<ChildProcess> child = StartTool(os, command);
    ASSERT_TRUE(child.ok()) << program;
    ASSERT_EQ(os.launches.size(), 1u) << program;
    EXPECT_EQ(os.launches[0].application, u"C:\\windows\\system32\\cmd.exe") << program;
    EXPECT_NE(os.launches[0].command_line.find(u"\"a&b\""), std::u16string::npos) << program;
  }
}

TEST_F(StartToolTest, AClearedEnvironmentDropsEarlierRefusedChanges) {
  ToolCommand command = Dism();
  SetEnvironmentValue(command, "A=B", "v");
  ClearEnvironment(command);
  SetEnvironmentValue(command, "K", "v");
  Result<ChildProcess> child = StartTool(fake, command);
  ASSERT_TRUE(child.ok());
  EXPECT_EQ(fake.launches.at(0).environment, u"K=v\0\0"s);
}

TEST_F(StartToolTest, ALineFeedIsFineForAProgram) {
  ToolCommand command = NewCommand(fake, "DISM");
  AddArgument(command, "a\nb");
  Result<ChildProcess> child = StartTool(fake, command);
  ASSERT_TRUE(child.ok());
  EXPECT_EQ(fake.launches.at(0).command_line, u"\"DISM\" a\nb");
}

TEST_F(StartToolTest, AttributesAreSetInAscendingOrder) {
  ToolCommand command = Dism();
  const unsigned char parent[8] = {1};
  const unsigned char policy[8] = {2};
  SetAttribute(command, 0x20007, policy, sizeof policy);
  SetAttribute(command, 0x20000, parent, sizeof parent);
  SetAttribute(command, 0x20002, parent, sizeof parent);
  Result<ChildProcess> child = StartTool(fake, command);
  ASSERT_TRUE(child.ok());
  const ProcessLaunch& launch = fake.launches.at(0);
  EXPECT_EQ(fake.updated_attributes, (std::vector<std::uintptr_t>{0x20000, 0x20002, 0x20007}));
  EXPECT_EQ(launch.flags, CREATE_UNICODE_ENVIRONMENT | EXTENDED_STARTUPINFO_PRESENT);
  EXPECT_NE(launch.startup.lpAttributeList, nullptr);
  EXPECT_EQ(fake.attribute_lists_live, 0u) << "deleted after the start";
}

TEST_F(StartToolTest, AFailingAttributeDeletesTheList) {
  const std::size_t open_before = fake.open_handle_count();
  ToolCommand command = Dism();
  const unsigned char value[8] = {};
  SetAttribute(command, 0x20000, value, sizeof value);
  SetAttribute(command, 0x20016, value, sizeof value);
  fake.failing_attribute = 0x20016;
  Result<ChildProcess> child = StartTool(fake, command);
  ASSERT_FALSE(child.ok());
  EXPECT_TRUE(IsOsCode(child.error(), ERROR_INVALID_PARAMETER));
  EXPECT_EQ(fake.count("DeleteProcThreadAttributeList"), 1u);
  EXPECT_EQ(fake.count("CreateProcessW"), 0u);
  ExpectNothingLeft(open_before);
}

TEST_F(StartToolTest, AFailedCreationAlsoDeletesTheList) {
  const std::size_t open_before = fake.open_handle_count();
  ToolCommand command = Dism();
  const unsigned char value[8] = {};
  SetAttribute(command, 0x20000, value, sizeof value);
  fake.create_process_error = ERROR_FILE_NOT_FOUND;
  Result<ChildProcess> child = StartTool(fake, command);
  ASSERT_FALSE(child.ok());
  EXPECT_TRUE(IsOsCode(child.error(), ERROR_FILE_NOT_FOUND));
  ExpectNothingLeft(open_before);
}

TEST(LaunchLockTest, HeldWheneverInheritableCopiesExist) {
  using Moments = std::vector<LockWatchingSystem::Moment>;
  const LockWatchingSystem::Moment dup{"DuplicateHandle", true}, create{"CreateProcessW", true},
      close{"CloseHandle", true};
  struct Case {
    const char* label;
    std::function<void(LockWatchingSystem&, ToolCommand&)> setup;
    bool starts;
    Moments moments;
  };
  const unsigned char value[8] = {};
  // One case to a line or two, as written: clang-format would give each field of a case a line of its own.
  // clang-format off
  const Case cases[] = {
      {"started", [](LockWatchingSystem&, ToolCommand&) {}, true, {dup, dup, dup, create, close, close, close}},
      {"creation failed", [](LockWatchingSystem& os, ToolCommand&) { os.create_process_error = ERROR_BAD_EXE_FORMAT; },
       false, {dup, dup, dup, create, close, close, close}},
      {"first copy failed", [](LockWatchingSystem& os, ToolCommand&) { os.duplicate_error_on_call = 1; }, false,
       {dup}},
      {"third copy failed", [](LockWatchingSystem& os, ToolCommand&) { os.duplicate_error_on_call = 3; }, false,
       {dup, dup, dup, close, close}},
      {"attribute failed",
       [&](LockWatchingSystem& os, ToolCommand& c) {
         SetAttribute(c, 0x20000, value, sizeof value);
         os.failing_attribute = 0x20000;
       },
       false, {dup, dup, dup, close, close, close}},
  };
  // clang-format on
  for (const Case& c : cases) {
    SCOPED_TRACE(c.label);
    LockWatchingSystem os;
    os.AddExisting(u"C:\\windows\\system32\\DISM.exe");
    for (Dword id : {STD_INPUT_HANDLE, STD_OUTPUT_HANDLE, STD_ERROR_HANDLE}) os.SetStd(id, os.AddConsole());
    ToolCommand command = NewCommand(os, "DISM");
    c.setup(os, command);
    Result<ChildProcess> child = StartTool(os, command);
    EXPECT_EQ(child.ok(), c.starts);
    EXPECT_EQ(os.moments, c.moments);
    EXPECT_EQ(LaunchLock().word(), 0) << "released once the copies are gone";
    for (Handle copy : os.copies) EXPECT_FALSE(os.is_open(copy));
    if (child.ok()) ReleaseChild(os, child.value());
    ReleaseCommand(command);
  }
}

class WaitForExitTest : public StartToolTest {};

TEST_F(WaitForExitTest, ReturnsTheExitCodeUnchangedEveryTime) {
  for (Dword code : {0u, 1u, 2u, 0x7FFFFFFFu, 0x80000000u, 0xC0000005u, 0xFFFFFFFFu}) {
    fake.exit_codes.push_back(code);
    ToolCommand command = Dism();
    Result<ChildProcess> child = StartTool(fake, command);
    ASSERT_TRUE(child.ok());
    for (int wait = 0; wait < 2; ++wait) {
      Result<Dword> exit_code = WaitForExit(fake, child.value());
      ASSERT_TRUE(exit_code.ok()) << code;
      EXPECT_EQ(exit_code.value(), code);
    }
    ReleaseChild(fake, child.value());
  }
}

// A real DISM /Restorehealth can run for an hour: any time limit would cut
// it off and turn a working repair into a failure.
TEST_F(WaitForExitTest, WaitsWithoutATimeLimit) {
  ToolCommand command = Dism();
  Result<ChildProcess> child = StartTool(fake, command);
  ASSERT_TRUE(child.ok());
  ASSERT_TRUE(WaitForExit(fake, child.value()).ok());
  ASSERT_TRUE(WaitForExit(fake, child.value()).ok());
  EXPECT_EQ(fake.process_wait_timeouts, (std::vector<Dword>{INFINITE, INFINITE}));
  ReleaseChild(fake, child.value());
}

TEST_F(WaitForExitTest, FailuresAreSystemErrors) {
  struct Case {
    const char* label;
    void (*setup)(FakeSystem&);
    Dword code;
  };
  const Case cases[] = {
      {"wait failed", [](FakeSystem& f) { f.wait_result = WAIT_FAILED; }, ERROR_INVALID_HANDLE},
      {"no exit code", [](FakeSystem& f) { f.fail_exit_code = true; }, ERROR_INVALID_HANDLE},
  };
  for (const Case& c : cases) {
    FakeSystem local;
    local.AddExisting(u"C:\\windows\\system32\\DISM.exe");
    ToolCommand command = NewCommand(local, "DISM");
    Result<ChildProcess> child = StartTool(local, command);
    ASSERT_TRUE(child.ok()) << c.label;
    c.setup(local);
    Result<Dword> exit_code = WaitForExit(local, child.value());
    ASSERT_FALSE(exit_code.ok()) << c.label;
    EXPECT_TRUE(IsOsCode(exit_code.error(), c.code)) << c.label;
    EXPECT_TRUE(local.is_open(child.value().process.get())) << c.label;
  }
}

TEST_F(WaitForExitTest, ClosesTheInputPipeEndBeforeWaiting) {
  ToolCommand command = Dism();
  Result<ChildProcess> child = StartTool(fake, command);
  ASSERT_TRUE(child.ok());
  const Handle pipe = fake.AddPipe();
  child.value().input = UniqueHandle(fake, pipe);
  const std::size_t before = fake.calls.size();
  ASSERT_TRUE(WaitForExit(fake, child.value()).ok());
  EXPECT_FALSE(fake.is_open(pipe));
  const std::vector<std::string> after(fake.calls.begin() + static_cast<std::ptrdiff_t>(before), fake.calls.end());
  ASSERT_GE(after.size(), 2u);
  EXPECT_EQ(after[0], "CloseHandle");
  EXPECT_EQ(after[1], "WaitForSingleObject");
}

TEST_F(WaitForExitTest, ReleaseClosesEveryHandleAndTheDestructorToo) {
  const std::size_t open_before = fake.open_handle_count();
  {
    ToolCommand command = Dism();
    Result<ChildProcess> child = StartTool(fake, command);
    ASSERT_TRUE(child.ok());
    child.value().output = UniqueHandle(fake, fake.AddPipe());
    child.value().error = UniqueHandle(fake, fake.AddPipe());
    ReleaseChild(fake, child.value());
    EXPECT_EQ(fake.open_handle_count(), open_before);
    EXPECT_FALSE(child.value().output || child.value().error);
  }
  {
    ToolCommand command = Dism();
    Result<ChildProcess> child = StartTool(fake, command);
    ASSERT_TRUE(child.ok());
  }
  EXPECT_EQ(fake.open_handle_count(), open_before);
}

}  // namespace
}  // namespace wr::testing
