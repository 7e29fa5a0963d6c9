#include "launch/command_line.h"

#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "launch/tool_command.h"
#include "tests/unit/fake/fake_system.h"
#include "tests/unit/fake/text_models.h"
#include "tests/unit/launch/launch_test_support.h"

namespace wr::testing {
namespace {

std::u16string Quoted(std::string_view argument, bool force) {
  FakeSystem fake;
  WideText line(fake);
  Status status = QuoteArgument(line, argument, force);
  EXPECT_TRUE(status.ok()) << argument;
  return Str(line);
}

TEST(QuoteArgument, WritesArgumentsSoTheChildGetsThemBack) {
  struct Case {
    std::string argument;
    bool force;
    std::u16string expected;
  };
  const Case cases[] = {
      {"a b", false, u"\"a b\""},
      {"", false, u"\"\""},
      {"a\"b", false, u"a\\\"b"},
      {"a\\\"b", false, u"a\\\\\\\"b"},
      {"C:\\dir name\\", false, u"\"C:\\dir name\\\\\""},
      {"/scannow", true, u"\"/scannow\""},
      {"/scannow", false, u"/scannow"},
      {"a\tb", false, u"\"a\tb\""},
      {"a\nb", false, u"a\nb"},            // a line feed alone does not quote
      {"\"", false, u"\\\""},              // a quote alone does not quote
      {"C:\\dir\\", false, u"C:\\dir\\"},  // trailing run kept as is when unquoted
      {"C:\\dir\\\\", true, u"\"C:\\dir\\\\\\\\\""},
      {"a\\\\\"b", false, u"a\\\\\\\\\\\"b"},  // two backslashes before a quote become five
      {"a\\b\\\\c", false, u"a\\b\\\\c"},      // runs not before a quote are untouched
      {"\"a b\"", false, u"\"\\\"a b\\\"\""},
      {"Утилита", false, u"Утилита"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(Quoted(c.argument, c.force), c.expected) << c.argument;
  }
}

TEST(QuoteArgument, RefusesZeroCharacters) {
  FakeSystem fake;
  WideText line(fake);
  Status status = QuoteArgument(line, std::string_view("a\0b", 3), false);
  ASSERT_FALSE(status.ok());
  EXPECT_TRUE(IsFixed(status.error(), fixed::kNulInData));
}

TEST(BuildCommandLine, QuotesTheProgramNameAsGiven) {
  struct Case {
    std::string program;
    std::vector<std::string> arguments;
    std::u16string expected;
  };
  const Case cases[] = {
      {"DISM", {"/Online", "/Cleanup-image", "/Restorehealth"}, u"\"DISM\" /Online /Cleanup-image /Restorehealth"},
      {"sfc", {"/scannow"}, u"\"sfc\" /scannow"},
      {"sfc", {}, u"\"sfc\""},
      {"C:\\Program Files\\t.exe", {"x y"}, u"\"C:\\Program Files\\t.exe\" \"x y\""},
      {"t", {"", ""}, u"\"t\" \"\" \"\""},
  };
  for (const Case& c : cases) {
    FakeSystem fake;
    ToolCommand command = NewCommand(fake, c.program);
    for (const auto& a : c.arguments) AddArgument(command, a);
    Result<WideText> line = BuildCommandLine(fake, command);
    ASSERT_TRUE(line.ok()) << c.program;
    EXPECT_EQ(Str(line.value()), Z(c.expected)) << c.program;
  }
}

// A bad byte would otherwise reach the child as U+FFFD: a different
// argument, or a different program, from the one asked for.
TEST(BuildCommandLine, RefusesTextThatIsNotUtf8) {
  struct Case {
    const char* label;
    std::string program;
    std::string argument;
  };
  const Case cases[] = {
      {"stray continuation byte in an argument", "tool", "a\x80"},
      {"truncated sequence in an argument", "tool", "\xD0"},
      {"encoded surrogate in an argument", "tool", "\xED\xA0\x80"},
      {"overlong form in an argument", "tool", "\xC0\xAF"},
      {"bad byte in the program name", "to\xFFol", "ok"},
  };
  for (const Case& c : cases) {
    FakeSystem fake;
    ToolCommand command = NewCommand(fake, c.program);
    AddArgument(command, c.argument);
    Result<WideText> line = BuildCommandLine(fake, command);
    ASSERT_FALSE(line.ok()) << c.label;
    EXPECT_TRUE(IsFixed(line.error(), fixed::kInvalidUtf8ForWinApi)) << c.label;
    EXPECT_EQ(KindOf(line.error()), ErrorKind::InvalidData) << c.label;
  }
}

TEST(BuildCommandLine, AnArgumentWithAZeroFailsTheWholeLine) {
  FakeSystem fake;
  ToolCommand command = NewCommand(fake, "tool");
  AddArgument(command, "ok");
  AddArgument(command, std::string_view("b\0d", 3));
  Result<WideText> line = BuildCommandLine(fake, command);
  ASSERT_FALSE(line.ok());
  EXPECT_TRUE(IsFixed(line.error(), fixed::kNulInData));
}

TEST(BuildCommandLine, GeneratedArgumentsSurviveTheChildsSplitting) {
  const char* pieces[] = {"a", " ", "\t", "\\", "\\\\", "\"", "é", "\n", "/"};
  std::mt19937 random(20240611);
  for (int round = 0; round < 3000; ++round) {
    FakeSystem fake;
    ToolCommand command = NewCommand(fake, "tool");
    SetForceQuotes(command, round % 5 == 0);
    std::vector<std::u16string> expected = {u"tool"};
    const int count = static_cast<int>(random() % 4);
    for (int a = 0; a < count; ++a) {
      std::string argument;
      const int length = static_cast<int>(random() % 7);
      for (int p = 0; p < length; ++p) argument += pieces[random() % std::size(pieces)];
      AddArgument(command, argument);
      expected.push_back(Widen(argument));
    }
    Result<WideText> line = BuildCommandLine(fake, command);
    ASSERT_TRUE(line.ok());
    std::u16string text = Str(line.value());
    ASSERT_EQ(text.back(), u'\0');
    text.pop_back();
    ASSERT_EQ(SplitLikeChild(text), expected) << Narrow(text);
  }
}

TEST(IsBatchScript, LooksAtTheLastFiveUnits) {
  struct Case {
    std::u16string path;
    bool batch;
  };
  // A grid laid out by hand: clang-format would give each case a line of its own.
  // clang-format off
  const Case cases[] = {
      {Z(u"C:\\x\\run.bat"), true},  {Z(u"C:\\x\\run.CMD"), true}, {Z(u"C:\\x\\run.bAt"), true},
      {Z(u".cmd"), true},            {Z(u"C:\\x\\run.bmd"), false}, {Z(u"C:\\x\\run.cat"), false},
      {u"C:\\x\\run.bat", false},    {Z(u"C:\\x\\run.bat.exe"), false}, {Z(u"C:\\x\\runbat"), false},
      {Z(u"bat"), false},            {Z(u""), false},
      // The system drops trailing dots and spaces from a path's last
      // component before it opens the file, so these run the script too.
      {Z(u"C:\\x\\run.bat."), true}, {Z(u"C:\\x\\run.bat "), true}, {Z(u"C:\\x\\run.cmd. . "), true},
      {Z(u"C:\\x\\run.bat.exe."), false}, {Z(u". . "), false}, {Z(u"C:\\x\\run.ba t"), false},
  };
  // clang-format on
  for (const Case& c : cases) EXPECT_EQ(IsBatchScript(c.path), c.batch) << Narrow(c.path);
}

TEST(CommandInterpreterPath, IsCmdInTheSystemDirectory) {
  FakeSystem fake;
  Result<WideText> path = CommandInterpreterPath(fake);
  ASSERT_TRUE(path.ok());
  EXPECT_EQ(Str(path.value()), Z(u"C:\\windows\\system32\\cmd.exe"));

  fake.fail_system_directory = true;
  Result<WideText> failed = CommandInterpreterPath(fake);
  ASSERT_FALSE(failed.ok());
  EXPECT_TRUE(IsOsCode(failed.error(), ERROR_NOT_ENOUGH_MEMORY));
}

std::u16string ScriptLine(const std::vector<std::string>& arguments, bool force = false) {
  FakeSystem fake;
  ToolCommand command = NewCommand(fake, "run");
  SetForceQuotes(command, force);
  for (const auto& a : arguments) AddArgument(command, a);
  Result<WideText> line = BuildScriptCommandLine(fake, Z(u"C:\\x\\run.CMD"), command);
  EXPECT_TRUE(line.ok());
  if (!line.ok()) return u"";
  return Str(line.value());
}

TEST(BuildScriptCommandLine, RunsTheScriptThroughTheInterpreter) {
  EXPECT_EQ(ScriptLine({"arg"}), Z(u"cmd.exe /e:ON /v:OFF /d /c \"\"C:\\x\\run.CMD\" arg\""));
  EXPECT_EQ(ScriptLine({}), Z(u"cmd.exe /e:ON /v:OFF /d /c \"\"C:\\x\\run.CMD\"\""));
  EXPECT_EQ(ScriptLine({"a", "b"}), Z(u"cmd.exe /e:ON /v:OFF /d /c \"\"C:\\x\\run.CMD\" a b\""));
}

TEST(BuildScriptCommandLine, QuotesAndEscapesForTheInterpreter) {
  struct Case {
    std::string argument;
    bool force;
    std::u16string expected;
  };
  const Case cases[] = {
      {"arg", false, u"arg"},
      {"50%", false, u"\"50%%cd:~,%\""},
      {"%PATH%", false, u"\"%%cd:~,%PATH%%cd:~,%\""},
      {"a\"b", false, u"\"a\"\"b\""},
      {"a\\\"b", false, u"\"a\\\\\"\"b\""},
      {"", false, u"\"\""},
      {"a b", false, u"\"a b\""},
      {"a\\", false, u"\"a\\\\\""},
      {"C:\\x\\y", false, u"C:\\x\\y"},
      {"#$*+-./:?@\\_", false, u"#$*+-./:?@\\_"},
      {"x!y", false, u"\"x!y\""},
      {"a&b", false, u"\"a&b\""},
      {"é", false, u"é"},
      {"\xC2\x85", false, u"\"\u0085\""},  // U+0085 is a control character
      {"\xC2\xA0", false, u"\u00A0"},
      {"/scannow", true, u"\"/scannow\""},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(ScriptLine({c.argument}, c.force),
              Z(u"cmd.exe /e:ON /v:OFF /d /c \"\"C:\\x\\run.CMD\" " + c.expected + u"\""))
        << c.argument;
  }
}

TEST(BuildScriptCommandLine, RefusesWhatTheInterpreterCannotCarry) {
  struct Case {
    const char* label;
    std::u16string script;
    std::string argument;
    const FixedRecord* error;
  };
  const Case cases[] = {
      {"quote in the script path", Z(u"C:\\x\\r\"un.bat"), "a", &fixed::kBadBatchFileName},
      {"script path ending in a backslash", Z(u"C:\\x\\"), "a", &fixed::kBadBatchFileName},
      {"line feed", Z(u"C:\\x\\run.bat"), "a\nb", &fixed::kBadBatchArguments},
      {"carriage return", Z(u"C:\\x\\run.bat"), "a\rb", &fixed::kBadBatchArguments},
      {"zero", Z(u"C:\\x\\run.bat"), std::string("a\0b", 3), &fixed::kNulInData},
      {"zero and line feed", Z(u"C:\\x\\run.bat"), std::string("\0\n", 2), &fixed::kBadBatchArguments},
      // The interpreter would expand %TEMP% and run a different file.
      {"percent in the script path", Z(u"C:\\%TEMP%\\run.bat"), "a", &fixed::kBadBatchFilePercent},
      {"lone percent in the script path", Z(u"C:\\x\\50%.bat"), "a", &fixed::kBadBatchFilePercent},
      {"invalid UTF-8 argument", Z(u"C:\\x\\run.bat"),
       "a\xFF"
       "b",
       &fixed::kInvalidUtf8ForWinApi},
  };
  for (const Case& c : cases) {
    FakeSystem fake;
    ToolCommand command = NewCommand(fake, "run");
    AddArgument(command, c.argument);
    Result<WideText> line = BuildScriptCommandLine(fake, c.script, command);
    ASSERT_FALSE(line.ok()) << c.label;
    EXPECT_TRUE(IsFixed(line.error(), *c.error)) << c.label;
  }
}

}  // namespace
}  // namespace wr::testing
