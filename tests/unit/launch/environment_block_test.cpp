#include "launch/environment_block.h"

#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

#include "launch/tool_command.h"
#include "tests/unit/fake/fake_system.h"
#include "tests/unit/launch/launch_test_support.h"

namespace wr::testing {
namespace {

using namespace std::string_literals;

// Hands out a block written by the test, entries exactly as given.
class RawEnvironment : public FakeSystem {
 public:
  explicit RawEnvironment(std::u16string block) : block_(std::move(block)) {}
  char16_t* GetEnvironmentStringsW() override {
    Log("GetEnvironmentStringsW");
    auto* out = new char16_t[block_.size()];
    std::copy(block_.begin(), block_.end(), out);
    ++environment_blocks_out;
    return out;
  }

 private:
  std::u16string block_;
};

std::vector<std::pair<std::u16string, std::u16string>> Entries(const EnvironmentEntries& entries) {
  std::vector<std::pair<std::u16string, std::u16string>> out;
  for (const auto& e : entries) out.emplace_back(Str(e.name), Str(e.value));
  return out;
}

using Pairs = std::vector<std::pair<std::u16string, std::u16string>>;

TEST(CaptureEnvironment, SplitsTheProgramsBlock) {
  const std::u16string block = u"b=2\0=C:=C:\\work\0NOEQUALS\0A=1\0EMPTY=\0=\0X==y\0\0"s;
  RawEnvironment fake(block);
  ToolCommand command = NewCommand(fake, "t");
  SetEnvironmentValue(command, "Z", "26");
  Result<EnvironmentEntries> captured = CaptureEnvironment(fake, command);
  ASSERT_TRUE(captured.ok());
  // A leading '=' belongs to the name; an entry without a later '=' is
  // dropped; the value keeps any further '='.
  EXPECT_EQ(Entries(captured.value()),
            (Pairs{{u"=C:", u"C:\\work"}, {u"A", u"1"}, {u"b", u"2"}, {u"EMPTY", u""}, {u"X", u"=y"}, {u"Z", u"26"}}));
  EXPECT_EQ(fake.environment_blocks_out, 0u);
  EXPECT_EQ(fake.count("FreeEnvironmentStringsW"), 1u);
}

TEST(CaptureEnvironment, AppliesChangesIgnoringCase) {
  struct Case {
    const char* label;
    void (*change)(ToolCommand&);
    Pairs expected;
  };
  const Case cases[] = {
      {"set replaces",
       [](ToolCommand& c) { SetEnvironmentValue(c, "path", "C:\\mine"); },
       {{u"path", u"C:\\mine"}, {u"Temp", u"C:\\t"}}},
      {"remove", [](ToolCommand& c) { RemoveEnvironmentValue(c, "TEMP"); }, {{u"PATH", u"C:\\bin"}}},
      {"remove a missing name",
       [](ToolCommand& c) { RemoveEnvironmentValue(c, "NOPE"); },
       {{u"PATH", u"C:\\bin"}, {u"Temp", u"C:\\t"}}},
      {"later change wins",
       [](ToolCommand& c) {
         SetEnvironmentValue(c, "X", "1");
         RemoveEnvironmentValue(c, "x");
         SetEnvironmentValue(c, "Temp", "a");
         SetEnvironmentValue(c, "TEMP", "b");
       },
       {{u"PATH", u"C:\\bin"}, {u"TEMP", u"b"}}},
      {"cleared",
       [](ToolCommand& c) {
         SetEnvironmentValue(c, "DROPPED", "1");
         ClearEnvironment(c);
         SetEnvironmentValue(c, "K", "v");
       },
       {{u"K", u"v"}}},
      {"cleared and nothing else", [](ToolCommand& c) { ClearEnvironment(c); }, {}},
  };
  for (const Case& c : cases) {
    FakeSystem fake;
    fake.SetEnv(u"PATH", u"C:\\bin");
    fake.SetEnv(u"Temp", u"C:\\t");
    ToolCommand command = NewCommand(fake, "t");
    c.change(command);
    EXPECT_TRUE(CarriesOwnEnvironment(command)) << c.label;
    Result<EnvironmentEntries> captured = CaptureEnvironment(fake, command);
    ASSERT_TRUE(captured.ok()) << c.label;
    EXPECT_EQ(Entries(captured.value()), c.expected) << c.label;
    EXPECT_EQ(fake.environment_blocks_out, 0u) << c.label;
  }
}

TEST(CaptureEnvironment, ClearedEnvironmentIsNotRead) {
  FakeSystem fake;
  ToolCommand command = NewCommand(fake, "t");
  ClearEnvironment(command);
  ASSERT_TRUE(CaptureEnvironment(fake, command).ok());
  EXPECT_EQ(fake.count("GetEnvironmentStringsW"), 0u);
}

TEST(CaptureEnvironment, SortsOrdinallyWithoutCase) {
  // Case-sensitive ordinal order would put "_x" and "C" before "b".
  FakeSystem fake;
  ToolCommand command = NewCommand(fake, "t");
  ClearEnvironment(command);
  for (const char* name : {"_x", "b", "C", "A", "a1"}) SetEnvironmentValue(command, name, "v");
  Result<EnvironmentEntries> captured = CaptureEnvironment(fake, command);
  ASSERT_TRUE(captured.ok());
  std::vector<std::u16string> names;
  for (const auto& e : captured.value()) names.push_back(Str(e.name));
  EXPECT_EQ(names, (std::vector<std::u16string>{u"A", u"a1", u"b", u"C", u"_x"}));
}

TEST(FindEnvironmentEntry, MatchesNamesWithoutCase) {
  FakeSystem fake;
  fake.SetEnv(u"Path", u"C:\\bin");
  ToolCommand command = NewCommand(fake, "t");
  SetEnvironmentValue(command, "OTHER", "1");
  Result<EnvironmentEntries> captured = CaptureEnvironment(fake, command);
  ASSERT_TRUE(captured.ok());
  const EnvironmentEntry* path = FindEnvironmentEntry(fake, captured.value(), u"PATH");
  ASSERT_NE(path, nullptr);
  EXPECT_EQ(Str(path->value), u"C:\\bin");
  EXPECT_EQ(FindEnvironmentEntry(fake, captured.value(), u"PAT"), nullptr);
}

TEST(BuildEnvironmentBlock, WritesSortedEntriesAndTheFinalZero) {
  struct Case {
    std::vector<std::pair<std::string, std::string>> set;
    std::u16string block;
  };
  const Case cases[] = {
      {{}, std::u16string(2, u'\0')},
      {{{"b", "2"}, {"A", "1"}}, u"A=1\0b=2\0\0"s},
      {{{"E", ""}}, u"E=\0\0"s},
  };
  for (const Case& c : cases) {
    FakeSystem fake;
    ToolCommand command = NewCommand(fake, "t");
    ClearEnvironment(command);
    for (const auto& [name, value] : c.set) SetEnvironmentValue(command, name, value);
    Result<EnvironmentEntries> captured = CaptureEnvironment(fake, command);
    ASSERT_TRUE(captured.ok());
    Result<WideText> block = BuildEnvironmentBlock(fake, captured.value());
    ASSERT_TRUE(block.ok());
    EXPECT_EQ(Str(block.value()), c.block);
  }
}

TEST(BuildEnvironmentBlock, RefusesZeroCharacters) {
  const std::pair<std::string, std::string> cases[] = {
      {std::string("N\0X", 3), "v"},
      {"N", std::string("v\0w", 3)},
  };
  for (const auto& [name, value] : cases) {
    FakeSystem fake;
    ToolCommand command = NewCommand(fake, "t");
    SetEnvironmentValue(command, name, value);
    Result<EnvironmentEntries> captured = CaptureEnvironment(fake, command);
    ASSERT_TRUE(captured.ok());
    Result<WideText> block = BuildEnvironmentBlock(fake, captured.value());
    ASSERT_FALSE(block.ok());
    EXPECT_TRUE(IsFixed(block.error(), fixed::kNulInData));
  }
}

TEST(ToolCommand, ReleaseLeavesAnEmptyCommand) {
  FakeSystem fake;
  ToolCommand command = NewCommand(fake, "DISM");
  AddArgument(command, "/Online");
  SetEnvironmentValue(command, "A", "1");
  SetWorkingDirectory(command, "C:\\x");
  const unsigned char value[] = {1, 2};
  SetAttribute(command, 7, value, sizeof value);
  ReleaseCommand(command);
  EXPECT_TRUE(command.program.empty());
  EXPECT_TRUE(command.arguments.empty());
  EXPECT_FALSE(CarriesOwnEnvironment(command));
  EXPECT_FALSE(command.has_directory);
  EXPECT_TRUE(command.attributes.empty());
}

TEST(ToolCommand, KeepsTheProgramNameAndArgumentsAsGiven) {
  FakeSystem fake;
  ToolCommand command = NewCommand(fake, " Dism ");
  AddArgument(command, "b");
  AddArgument(command, "");
  AddArgument(command, "a");
  EXPECT_EQ(std::string(View(command.program)), " Dism ");
  ASSERT_EQ(command.arguments.size(), 3u);
  EXPECT_EQ(std::string(View(command.arguments[0])), "b");
  EXPECT_EQ(std::string(View(command.arguments[1])), "");
  EXPECT_EQ(std::string(View(command.arguments[2])), "a");
}

}  // namespace
}  // namespace wr::testing
