#include "launch/resolve.h"

#include <gtest/gtest.h>

#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "launch/tool_command.h"
#include "tests/unit/fake/fake_system.h"
#include "tests/unit/launch/launch_test_support.h"

namespace wr::testing {
namespace {

// The fake's defaults: the program is C:\app\winrepair.exe, the system
// directory C:\windows\system32, the Windows directory C:\windows, the
// current directory C:\work.
struct ResolveCase {
  const char* label;
  std::string program;
  std::vector<std::u16string> files;
  std::optional<std::u16string> path;  // the program's PATH
  std::u16string expected;             // empty: an error is expected
  const FixedRecord* error = nullptr;
  std::function<void(FakeSystem&, ToolCommand&)> setup = nullptr;
};

void RunCase(const ResolveCase& c) {
  FakeSystem fake;
  for (const auto& file : c.files) fake.AddExisting(file);
  if (c.path) fake.SetEnv(u"PATH", *c.path);
  ToolCommand command = NewCommand(fake, c.program);
  if (c.setup) c.setup(fake, command);
  Result<WideText> resolved = ResolveProgram(fake, command);
  if (c.error != nullptr) {
    ASSERT_FALSE(resolved.ok()) << c.label;
    EXPECT_TRUE(IsFixed(resolved.error(), *c.error)) << c.label;
    return;
  }
  ASSERT_TRUE(resolved.ok()) << c.label;
  EXPECT_EQ(Str(resolved.value()), Z(c.expected)) << c.label << ": " << Narrow(Str(resolved.value()));
}

TEST(ResolveProgram, SearchesBareNamesInOrder) {
  const std::u16string sys_dism = u"C:\\windows\\system32\\DISM.exe";
  // One case to a line or two, as written: clang-format would give each field of a case a line of its own.
  // clang-format off
  const ResolveCase cases[] = {
      {"system directory", "DISM", {sys_dism}, u"C:\\bin", sys_dism},
      {"own directory beats system", "DISM", {u"C:\\app\\DISM.exe", sys_dism}, std::nullopt, u"C:\\app\\DISM.exe"},
      {"windows directory after system", "tool", {u"C:\\windows\\tool.exe", u"C:\\bin\\tool.exe"}, u"C:\\bin",
       u"C:\\windows\\tool.exe"},
      {"PATH last, in order", "tool", {u"C:\\b\\tool.exe", u"C:\\c\\tool.exe"}, u"C:\\a;C:\\b;C:\\c",
       u"C:\\b\\tool.exe"},
      {"name case kept", "dism", {sys_dism}, std::nullopt, u"C:\\windows\\system32\\dism.exe"},
      {"current directory not searched", "sfc", {u"C:\\work\\sfc.exe"}, u"C:\\bin", u"", &fixed::kProgramNotFound},
      {"current directory through PATH", "sfc", {u"C:\\work\\sfc.exe"}, u".", u"C:\\work\\sfc.exe"},
      {"relative PATH entry made absolute", "sfc", {u"C:\\work\\bin\\sfc.exe"}, u"bin",
       u"C:\\work\\bin\\sfc.exe"},
      {"quoted PATH entry with ';'", "tool", {u"C:\\B;C\\tool.exe"}, u"C:\\A;\"C:\\B;C\";;C:\\D",
       u"C:\\B;C\\tool.exe"},
      {"name with a dot gets no .exe", "tool.com", {u"C:\\windows\\system32\\tool.com"}, std::nullopt,
       u"C:\\windows\\system32\\tool.com"},
      {"tool.com.exe is not tried", "tool.com", {u"C:\\windows\\system32\\tool.com.exe"}, std::nullopt, u"",
       &fixed::kProgramNotFound},
      {"bare name with .exe", "DISM.exe", {sys_dism}, std::nullopt, sys_dism},
      {"a directory counts as existing", "DISM", {sys_dism}, std::nullopt, u"C:\\app\\DISM.exe", nullptr,
       [](FakeSystem& f, ToolCommand&) { f.AddExisting(u"C:\\app\\DISM.exe", 0x10); }},
      {"found nowhere", "nothere", {}, u"C:\\a;C:\\b", u"", &fixed::kProgramNotFound},
      {"empty PATH", "nothere", {}, u"", u"", &fixed::kProgramNotFound},
  };
  // clang-format on
  for (const ResolveCase& c : cases) RunCase(c);
}

TEST(ResolveProgram, SkipsDirectoriesThatCannotBeRead) {
  const std::vector<std::u16string> everywhere = {u"C:\\app\\tool.exe", u"C:\\windows\\system32\\tool.exe",
                                                  u"C:\\windows\\tool.exe", u"C:\\bin\\tool.exe"};
  // One case to a line or two, as written: clang-format would give each field of a case a line of its own.
  // clang-format off
  const ResolveCase cases[] = {
      {"no module name", "tool", everywhere, u"C:\\bin", u"C:\\windows\\system32\\tool.exe", nullptr,
       [](FakeSystem& f, ToolCommand&) { f.fail_module_file_name = true; }},
      {"no system directory", "tool", {u"C:\\windows\\system32\\tool.exe", u"C:\\windows\\tool.exe"}, u"C:\\bin",
       u"C:\\windows\\tool.exe", nullptr, [](FakeSystem& f, ToolCommand&) { f.fail_system_directory = true; }},
      {"only PATH left", "tool", everywhere, u"C:\\bin", u"C:\\bin\\tool.exe", nullptr,
       [](FakeSystem& f, ToolCommand&) {
         f.fail_module_file_name = f.fail_system_directory = f.fail_windows_directory = true;
       }},
      {"nothing left", "tool", everywhere, std::nullopt, u"", &fixed::kProgramNotFound,
       [](FakeSystem& f, ToolCommand&) {
         f.fail_module_file_name = f.fail_system_directory = f.fail_windows_directory = true;
       }},
      {"candidate that cannot be converted", "tool", {u"C:\\work\\bin\\tool.exe", u"C:\\ok\\tool.exe"}, u"bin;C:\\ok",
       u"C:\\ok\\tool.exe", nullptr, [](FakeSystem& f, ToolCommand&) { f.full_path_failures[u"bin\\tool.exe"] = 5; }},
  };
  // clang-format on
  for (const ResolveCase& c : cases) RunCase(c);
}

TEST(ResolveProgram, OwnDirectoryFromLongAndRootPaths) {
  const std::u16string deep = u"C:\\" + std::u16string(600, u'd');
  // One case to a line or two, as written: clang-format would give each field of a case a line of its own.
  // clang-format off
  const ResolveCase cases[] = {
      {"module path longer than 512 units", "DISM", {deep + u"\\DISM.exe"}, std::nullopt, deep + u"\\DISM.exe",
       nullptr, [deep](FakeSystem& f, ToolCommand&) { f.module_file_name = deep + u"\\winrepair.exe"; }},
      {"program in a drive root", "DISM", {u"C:\\DISM.exe"}, std::nullopt, u"C:\\DISM.exe", nullptr,
       [](FakeSystem& f, ToolCommand&) { f.module_file_name = u"C:\\winrepair.exe"; }},
  };
  // clang-format on
  for (const ResolveCase& c : cases) RunCase(c);
}

TEST(ResolveProgram, CommandEnvironmentPathComesFirst) {
  const std::u16string sys_dism = u"C:\\windows\\system32\\DISM.exe";
  // One case to a line or two, as written: clang-format would give each field of a case a line of its own.
  // clang-format off
  const ResolveCase cases[] = {
      {"own PATH beats own directory", "DISM", {u"C:\\mine\\DISM.exe", u"C:\\app\\DISM.exe", sys_dism}, u"C:\\bin",
       u"C:\\mine\\DISM.exe", nullptr,
       [](FakeSystem&, ToolCommand& c) { SetEnvironmentValue(c, "Path", "C:\\mine"); }},
      {"any change puts the inherited PATH first", "DISM", {u"C:\\bin\\DISM.exe", u"C:\\app\\DISM.exe"}, u"C:\\bin",
       u"C:\\bin\\DISM.exe", nullptr,
       [](FakeSystem&, ToolCommand& c) { SetEnvironmentValue(c, "OTHER", "1"); }},
      {"no changes: own directory first", "DISM", {u"C:\\bin\\DISM.exe", u"C:\\app\\DISM.exe"}, u"C:\\bin",
       u"C:\\app\\DISM.exe"},
      {"cleared environment has no PATH", "DISM", {u"C:\\bin\\DISM.exe", u"C:\\app\\DISM.exe"}, u"C:\\bin",
       u"C:\\app\\DISM.exe", nullptr, [](FakeSystem&, ToolCommand& c) { ClearEnvironment(c); }},
      {"removed PATH", "tool", {u"C:\\bin\\tool.exe"}, u"C:\\bin", u"C:\\bin\\tool.exe", nullptr,
       // Still found, but only in the program's own PATH, the last step.
       [](FakeSystem&, ToolCommand& c) { RemoveEnvironmentValue(c, "path"); }},
  };
  // clang-format on
  for (const ResolveCase& c : cases) RunCase(c);
}

TEST(ResolveProgram, PathsAreNotSearched) {
  // One case to a line or two, as written: clang-format would give each field of a case a line of its own.
  // clang-format off
  const ResolveCase cases[] = {
      {".exe in any case, no test", "C:\\x\\TOOL.EXE", {}, std::nullopt, u"C:\\x\\TOOL.EXE"},
      {".exe added when it exists", "C:\\x\\tool", {u"C:\\x\\tool.exe", u"C:\\x\\tool"}, std::nullopt,
       u"C:\\x\\tool.exe"},
      {"unchanged otherwise", "C:\\x\\tool", {}, std::nullopt, u"C:\\x\\tool"},
      {".exe after another extension", "sub\\run.cmd", {u"C:\\work\\sub\\run.cmd.exe"}, std::nullopt,
       u"C:\\work\\sub\\run.cmd.exe"},
      {"relative path made absolute", "sub\\run.cmd", {}, std::nullopt, u"C:\\work\\sub\\run.cmd"},
      {"forward slash separates", "C:/x/tool", {u"C:/x/tool.exe"}, std::nullopt, u"C:/x/tool.exe"},
      {"not searched in PATH", "sub\\tool", {u"C:\\bin\\sub\\tool.exe"}, u"C:\\bin", u"C:\\work\\sub\\tool"},
      // Under \\?\ only '\' separates, so a trailing '/' is part of the name.
      {"verbatim with trailing '/'", "\\\\?\\C:\\x\\dir/", {}, std::nullopt, u"\\\\?\\C:\\x\\dir/"},
  };
  // clang-format on
  for (const ResolveCase& c : cases) RunCase(c);
}

TEST(ResolveProgram, RefusesNamesWithoutAFileName) {
  // One case to a line or two, as written: clang-format would give each field of a case a line of its own.
  // clang-format off
  const ResolveCase cases[] = {
      {"empty", "", {}, std::nullopt, u"", &fixed::kNoFileName},
      {"trailing backslash", "C:\\x\\", {u"C:\\x\\.exe"}, std::nullopt, u"", &fixed::kNoFileName},
      {"trailing slash", "C:/x/", {}, std::nullopt, u"", &fixed::kNoFileName},
      {"verbatim trailing backslash", "\\\\?\\C:\\x\\", {}, std::nullopt, u"", &fixed::kNoFileName},
      {"zero in a bare name", std::string("DI\0SM", 5), {}, std::nullopt, u"", &fixed::kNulInData},
      {"bare name not UTF-8", "DI\xFFSM", {}, std::nullopt, u"", &fixed::kInvalidUtf8ForWinApi},
      {"path not UTF-8", "C:\\x\\DI\xFFSM", {}, std::nullopt, u"", &fixed::kInvalidUtf8ForWinApi},
      {"path with .exe not UTF-8", "C:\\x\\\xC0\xAF.exe", {}, std::nullopt, u"", &fixed::kInvalidUtf8ForWinApi},
      {"zero in a path", std::string("C:\\x\\a\0b.exe", 12), {}, std::nullopt, u"", &fixed::kNulInWinApiString},
      {"zero in a path without .exe", std::string("C:\\x\\a\0b", 8), {}, std::nullopt, u"",
       &fixed::kNulInWinApiString},
  };
  // clang-format on
  for (const ResolveCase& c : cases) RunCase(c);
}

TEST(ResolveProgram, AnEmptyDirectoryAnswerIsSkipped) {
  // Joined, an empty directory would leave a bare relative candidate, that
  // is, a search of the current directory.
  struct EmptySystemDirectory : FakeSystem {
    Dword GetSystemDirectoryW(char16_t*, Dword) override { return 0; }
  } fake;
  fake.AddExisting(u"C:\\work\\DISM.exe");
  fake.AddExisting(u"C:\\windows\\DISM.exe");
  ToolCommand command = NewCommand(fake, "DISM");
  Result<WideText> resolved = ResolveProgram(fake, command);
  ASSERT_TRUE(resolved.ok());
  EXPECT_EQ(Str(resolved.value()), Z(u"C:\\windows\\DISM.exe"));
}

TEST(ResolveProgram, StopsAtTheFirstHitAndCachesNothing) {
  FakeSystem fake;
  fake.AddExisting(u"C:\\windows\\system32\\DISM.exe");
  ToolCommand command = NewCommand(fake, "DISM");

  Result<WideText> first = ResolveProgram(fake, command);
  ASSERT_TRUE(first.ok());
  EXPECT_EQ(Str(first.value()), Z(u"C:\\windows\\system32\\DISM.exe"));
  EXPECT_EQ(fake.count("GetWindowsDirectoryW"), 0u);
  EXPECT_EQ(fake.count("GetEnvironmentVariableW"), 0u);

  fake.AddExisting(u"C:\\app\\DISM.exe");
  Result<WideText> second = ResolveProgram(fake, command);
  ASSERT_TRUE(second.ok());
  EXPECT_EQ(Str(second.value()), Z(u"C:\\app\\DISM.exe"));
  EXPECT_EQ(fake.count("GetSystemDirectoryW"), 1u);
}

TEST(SplitSearchPath, SplitsOnUnquotedSemicolons) {
  struct Case {
    std::u16string value;
    std::vector<std::u16string> directories;
  };
  const Case cases[] = {
      {u"C:\\A;\"C:\\B;C\";;C:\\D", {u"C:\\A", u"C:\\B;C", u"C:\\D"}},
      {u"", {}},
      {u";;", {}},
      {u"\"\"", {}},
      {u"C:\\A;", {u"C:\\A"}},
      {u";C:\\A", {u"C:\\A"}},
      {u"a;b", {u"a", u"b"}},
      {u"\"C:\\Program Files\"\\bin", {u"C:\\Program Files\\bin"}},
      {u"C:\\Pro\"gram Fi\"les", {u"C:\\Program Files"}},
      {u"\"open;x", {u"open;x"}},
      {u" ; ", {u" ", u" "}},
  };
  for (const Case& c : cases) {
    FakeSystem fake;
    GrowBuffer<WideText> split = SplitSearchPath(fake, c.value);
    std::vector<std::u16string> got;
    for (const WideText& d : split) got.push_back(Str(d));
    EXPECT_EQ(got, c.directories) << Narrow(c.value);
  }
}

TEST(JoinSearchCandidate, JoinsLikeThePathRules) {
  struct Case {
    std::u16string directory;
    std::u16string name;
    bool append_exe;
    std::u16string expected;
  };
  const Case cases[] = {
      {u"C:\\dir", u"tool", true, u"C:\\dir\\tool.exe"},
      {u"C:\\dir\\", u"tool", true, u"C:\\dir\\tool.exe"},
      {u"C:/dir/", u"tool", true, u"C:/dir/tool.exe"},
      {u"C:", u"tool", true, u"C:tool.exe"},
      {u"C:\\dir", u"D:tool", true, u"D:tool.exe"},
      {u"C:\\dir", u"tool.com", false, u"C:\\dir\\tool.com"},
      {u"\\\\srv\\share", u"tool", true, u"\\\\srv\\share\\tool.exe"},
  };
  for (const Case& c : cases) {
    FakeSystem fake;
    EXPECT_EQ(Str(JoinSearchCandidate(fake, c.directory, c.name, c.append_exe)), c.expected)
        << Narrow(c.directory) << " + " << Narrow(c.name);
  }
}

TEST(ProgramExists, GivesTheConvertedPath) {
  FakeSystem fake;
  fake.AddExisting(u"C:\\work\\bin\\tool.exe");
  WideText found(fake);
  EXPECT_TRUE(ProgramExists(fake, u"bin\\tool.exe", &found));
  EXPECT_EQ(Str(found), Z(u"C:\\work\\bin\\tool.exe"));
  EXPECT_FALSE(ProgramExists(fake, u"bin\\other.exe", &found));
  fake.full_path_failures[u"bin\\tool.exe"] = 3;
  EXPECT_FALSE(ProgramExists(fake, u"bin\\tool.exe", &found));
}

}  // namespace
}  // namespace wr::testing
