#include "driver/repair.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <deque>
#include <optional>
#include <string>
#include <vector>

#include "console/console_reader.h"
#include "console/console_writer.h"
#include "console/terminal.h"
#include "driver/texts.h"
#include "driver/verdict.h"
#include "tests/fake/fake_system.h"

namespace wr {
namespace {

using testing::FakeSystem;
using testing::FatalStopped;

// Fresh console objects per test, bound to the test's fake.
class TestConsole final : public RepairConsole {
 public:
  explicit TestConsole(System& os) : os_(os), out_(os) {}
  ConsoleWriter& Output() override { return out_; }
  TerminalState& Terminal() override { return terminal_; }
  ConsoleReader& Input() override {
    if (!in_) in_.emplace(os_);
    return *in_;
  }
  bool input_used() const { return in_.has_value(); }

 private:
  System& os_;
  ConsoleWriter out_;
  TerminalState terminal_;
  std::optional<ConsoleReader> in_;
};

const std::string kPublisher = "cubeshot.example";

std::string S(std::string_view v) { return std::string(v); }

std::string Banner() { return S(texts::kBannerHead) + kPublisher + S(texts::kBannerTail); }

std::string Announcement(int stage) {
  const RepairStage& s = kRepairStages[stage - 1];
  return S(s.header) + S(s.command_text) + "`\n\n    " + S(texts::kEscHint) + "\n\n";
}

const std::string kToolFailed = "\n    " + S(texts::kToolFailedText) + "!\n\n    " + S(texts::kReinstallText) + "!\n";
const std::string kReinstallOnly = "\n    " + S(texts::kReinstallText) + "\n";

std::string LaunchFailed(const std::string& error_text) {
  return "\n    " + S(texts::kLaunchFailedText) + ":\n" + error_text + "\n\n    " + S(texts::kReinstallText) + "!\n";
}

// A machine with both tools in the system directory, standard output to a
// file and standard input from an empty file.
struct Machine {
  FakeSystem os;
  Handle out = os.AddFile();
  Handle in = os.AddFile();
  Machine() {
    os.SetStd(STD_OUTPUT_HANDLE, out);
    os.SetStd(STD_INPUT_HANDLE, in);
    os.AddExisting(u"C:\\windows\\system32\\DISM.exe");
    os.AddExisting(u"C:\\windows\\system32\\sfc.exe");
  }
  std::string Output() { return os.device(out).bytes; }
};

TEST(RepairTest, SuccessfulRunWritesTheWholeTranscriptAndPauses) {
  Machine m;
  m.os.exit_codes = {0, 0};
  TestConsole console(m.os);
  RunRepair(m.os, console);

  EXPECT_EQ(m.Output(), Banner() + Announcement(1) + Announcement(2) + S(texts::kSuccessText));
  ASSERT_EQ(m.os.launches.size(), 2u);
  EXPECT_EQ(m.os.launches[0].application, u"C:\\windows\\system32\\DISM.exe");
  EXPECT_EQ(m.os.launches[0].command_line, u"\"DISM\" /Online /Cleanup-image /Restorehealth");
  EXPECT_EQ(m.os.launches[1].application, u"C:\\windows\\system32\\sfc.exe");
  EXPECT_EQ(m.os.launches[1].command_line, u"\"sfc\" /scannow");
  EXPECT_EQ(m.os.launches[0].flags, CREATE_UNICODE_ENVIRONMENT);
  EXPECT_TRUE(console.input_used());
  EXPECT_EQ(m.os.count("NtReadFile"), 1u);
  // Both children were released.
  EXPECT_EQ(m.os.open_handle_count(), 2u);
}

TEST(RepairTest, EveryMessageLineReachesTheDeviceBeforeTheToolStarts) {
  Machine m;
  TestConsole console(m.os);
  RunRepair(m.os, console);
  // Nothing is left in the buffer at the moment of each start.
  std::size_t writes_before_first_start = 0;
  for (const std::string& call : m.os.calls) {
    if (call == "CreateProcessW") break;
    if (call == "NtWriteFile") ++writes_before_first_start;
  }
  ASSERT_GT(writes_before_first_start, 0u);
  std::string sent;
  for (std::size_t i = 0; i < writes_before_first_start; ++i) sent += m.os.device(m.out).byte_writes[i];
  EXPECT_EQ(sent, Banner() + Announcement(1));
  EXPECT_TRUE(console.Output().buffered().empty());
}

struct VerdictCase {
  const char* name;
  std::optional<Dword> dism;  // nullopt: DISM cannot be found
  std::optional<Dword> sfc;   // nullopt: sfc cannot be found
  std::string tail;           // what follows the banner
  std::size_t launches;
};

class VerdictRows : public ::testing::TestWithParam<VerdictCase> {};

TEST_P(VerdictRows, PrintsTheVerdictAndEndsNormally) {
  const VerdictCase& c = GetParam();
  FakeSystem os;
  Handle out = os.AddFile();
  os.SetStd(STD_OUTPUT_HANDLE, out);
  if (c.dism) os.AddExisting(u"C:\\windows\\system32\\DISM.exe");
  if (c.sfc) os.AddExisting(u"C:\\windows\\system32\\sfc.exe");
  if (c.dism) os.exit_codes.push_back(*c.dism);
  if (c.sfc) os.exit_codes.push_back(*c.sfc);
  TestConsole console(os);
  RunRepair(os, console);
  EXPECT_EQ(os.device(out).bytes, Banner() + c.tail);
  EXPECT_EQ(os.launches.size(), c.launches);
  EXPECT_TRUE(console.input_used());
}

INSTANTIATE_TEST_SUITE_P(
    Table, VerdictRows,
    ::testing::Values(
        VerdictCase{"Stage1LaunchFails", std::nullopt, 0u, Announcement(1) + LaunchFailed("program not found"), 0},
        VerdictCase{"Stage1ExitsOne", 1u, 0u, Announcement(1) + kToolFailed, 1},
        VerdictCase{"Stage1Exits800F081F", 0x800F081Fu, 0u, Announcement(1) + kToolFailed, 1},
        VerdictCase{"Stage1ExitsAllOnes", 0xFFFFFFFFu, 0u, Announcement(1) + kToolFailed, 1},
        VerdictCase{"Stage2LaunchFails", 0u, std::nullopt,
                    Announcement(1) + Announcement(2) + LaunchFailed("program not found"), 1},
        VerdictCase{"Stage2Succeeds", 0u, 0u, Announcement(1) + Announcement(2) + S(texts::kSuccessText), 2},
        VerdictCase{"Stage2ExitsOne", 0u, 1u, Announcement(1) + Announcement(2) + kReinstallOnly, 2},
        VerdictCase{"Stage2ExitsTwo", 0u, 2u, Announcement(1) + Announcement(2) + kReinstallOnly, 2},
        VerdictCase{"Stage2ExitsThree", 0u, 3u, Announcement(1) + Announcement(2) + kToolFailed, 2},
        VerdictCase{"Stage2ExitsC0000005", 0u, 0xC0000005u, Announcement(1) + Announcement(2) + kToolFailed, 2}),
    [](const ::testing::TestParamInfo<VerdictCase>& info) { return std::string(info.param.name); });

TEST(RepairTest, LaunchFailureShowsTheSystemTextAndCode) {
  Machine m;
  m.os.create_process_error = 193;
  m.os.system_messages[193] = u"%1 is not a valid Win32 application.\r\n";
  TestConsole console(m.os);
  RunRepair(m.os, console);
  EXPECT_EQ(m.Output(),
            Banner() + Announcement(1) + LaunchFailed("%1 is not a valid Win32 application. (os error 193)"));
  EXPECT_EQ(m.os.launches.size(), 1u);
}

TEST(RepairTest, FailedWaitIsAFatalStopWithoutPause) {
  Machine m;
  m.os.wait_result = WAIT_FAILED;
  TestConsole console(m.os);
  EXPECT_THROW(RunRepair(m.os, console), FatalStopped);
  EXPECT_EQ(m.Output(), Banner() + Announcement(1));
  EXPECT_FALSE(console.input_used());
}

TEST(RepairTest, FailedExitCodeIsAFatalStop) {
  Machine m;
  m.os.fail_exit_code = true;
  TestConsole console(m.os);
  EXPECT_THROW(RunRepair(m.os, console), FatalStopped);
  EXPECT_FALSE(console.input_used());
}

TEST(RepairTest, FailedPrintIsAFatalStop) {
  Machine m;
  m.os.device(m.out).write_script.push_back(testing::DeviceStep::Status(STATUS_PIPE_BROKEN));
  TestConsole console(m.os);
  EXPECT_THROW(RunRepair(m.os, console), FatalStopped);
  EXPECT_TRUE(m.os.launches.empty());
}

TEST(RepairTest, MissingStandardOutputStillRunsBothStages) {
  FakeSystem os;
  os.AddExisting(u"C:\\windows\\system32\\DISM.exe");
  os.AddExisting(u"C:\\windows\\system32\\sfc.exe");
  TestConsole console(os);
  RunRepair(os, console);
  EXPECT_EQ(os.launches.size(), 2u);
  EXPECT_EQ(os.launches[0].startup.dwFlags, 0u);
  EXPECT_TRUE(console.input_used());
}

// Standard input that is there but refuses to be read (a file opened for
// writing only, a console handle without read access): the read's error only
// ends the pause, once, and the run ends normally after both tools.
TEST(RepairTest, UnreadableStandardInputEndsThePauseAfterOneRead) {
  struct Case {
    const char* label;
    bool console;
    const char* read_call;
  };
  const Case cases[] = {
      {"file opened for writing only", false, "NtReadFile"},
      {"console without read access", true, "ReadConsoleW"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.label);
    Machine m;
    m.os.exit_codes = {0, 0};
    if (c.console) {
      const Handle in = m.os.AddConsole();
      m.os.SetStd(STD_INPUT_HANDLE, in);
      m.os.device(in).read_script.push_back(testing::DeviceStep::Fail(ERROR_ACCESS_DENIED));
    } else {
      m.os.device(m.in).read_script.push_back(testing::DeviceStep::Status(static_cast<NtStatus>(0xC0000022u)));
    }
    TestConsole console(m.os);
    RunRepair(m.os, console);
    EXPECT_EQ(m.Output(), Banner() + Announcement(1) + Announcement(2) + S(texts::kSuccessText));
    EXPECT_EQ(m.os.launches.size(), 2u);
    EXPECT_EQ(m.os.count(c.read_call), 1u) << "the failed read is not repeated";
  }
}

// An Enter pressed while a tool ran is a finished line waiting in the
// console's input buffer. The pause must not take it: only a line typed after
// the verdict ends the wait. FlushConsoleInputBuffer discards all input
// records in the buffer, needs GENERIC_WRITE on the handle (a console's own
// input handle has it) and refuses anything that is not a console input
// buffer with ERROR_INVALID_HANDLE; refused, the pause reads as it always
// did. Redirected input is a script's and is read exactly as it comes.
TEST(RepairTest, FinalPauseWaitsForALineTypedAfterTheVerdict) {
  enum class Input { Console, ConsoleReadOnly, ScreenBuffer, File, Pipe, EmptyFile, Missing };
  struct Case {
    const char* label;
    Input input;
    std::size_t flush_calls;
    bool discards_type_ahead;  // the line typed during the tool is gone, the later one ended the pause
  };
  const Case cases[] = {
      {"console", Input::Console, 1, true},
      {"console handle without GENERIC_WRITE", Input::ConsoleReadOnly, 1, false},
      {"screen buffer as standard input", Input::ScreenBuffer, 1, false},
      {"file", Input::File, 0, false},
      {"pipe", Input::Pipe, 0, false},
      {"null device", Input::EmptyFile, 0, false},
      {"no standard input", Input::Missing, 0, false},
  };
  const std::u16string typed_during_tool = u"\r\n";
  const std::u16string typed_after_verdict = u"\u0434\u0430\r\n";  // "да", Enter
  const std::string script = "\r\nmore lines for whoever reads on\r\n";
  for (const Case& c : cases) {
    SCOPED_TRACE(c.label);
    Machine m;
    m.os.exit_codes = {0, 0};
    Handle in = nullptr;
    switch (c.input) {
      case Input::Console:
      case Input::ConsoleReadOnly:
      case Input::ScreenBuffer:
        in = m.os.AddConsole();
        m.os.device(in).console_lines.push_back(typed_during_tool);
        m.os.device(in).typed_during_read.push_back(typed_after_verdict);
        m.os.device(in).input_write_access = c.input != Input::ConsoleReadOnly;
        m.os.device(in).screen_buffer = c.input == Input::ScreenBuffer;
        break;
      case Input::File:
        in = m.in;
        m.os.device(in).input = script;
        break;
      case Input::Pipe:
        in = m.os.AddPipe();
        m.os.device(in).input = script;
        break;
      case Input::EmptyFile: in = m.in; break;
      case Input::Missing: break;
    }
    m.os.SetStd(STD_INPUT_HANDLE, in);
    TestConsole console(m.os);
    RunRepair(m.os, console);

    EXPECT_EQ(m.Output(), Banner() + Announcement(1) + Announcement(2) + S(texts::kSuccessText));
    EXPECT_EQ(m.os.count("FlushConsoleInputBuffer"), c.flush_calls);
    if (c.input == Input::Console || c.input == Input::ConsoleReadOnly) {
      const testing::Device& d = m.os.device(in);
      EXPECT_EQ(m.os.count("ReadConsoleW"), 1u);
      // Typed before the flush and typed after it are told apart by what
      // the pause's read was handed: a flush that also dropped the later
      // line would leave the read nothing.
      if (c.discards_type_ahead) {
        EXPECT_EQ(d.flushed_lines, std::vector<std::u16string>{typed_during_tool});
        EXPECT_EQ(d.console_reads, std::vector<std::u16string>{typed_after_verdict})
            << "the pause ended on the line typed after the verdict";
        EXPECT_TRUE(d.typed_during_read.empty()) << "the line typed during the tool ended the pause";
      } else {
        EXPECT_TRUE(d.flushed_lines.empty());
        EXPECT_TRUE(d.console_lines.empty()) << "the line typed ahead ends the pause, as before";
        EXPECT_EQ(d.console_reads, std::vector<std::u16string>{typed_during_tool})
            << "the pause read the line typed during the tool, whole";
        EXPECT_EQ(d.typed_during_read, std::deque<std::u16string>{typed_after_verdict});
      }
      // The flush comes after the last message, right before the read.
      const auto& calls = m.os.calls;
      const auto flush = std::find(calls.begin(), calls.end(), "FlushConsoleInputBuffer");
      const auto read = std::find(calls.begin(), calls.end(), "ReadConsoleW");
      if (flush < read) {
        EXPECT_EQ(std::count(flush, read, "NtWriteFile"), 0);
      } else {
        ADD_FAILURE() << "no flush before the console read";
      }
    }
    if (c.input == Input::ScreenBuffer) {
      EXPECT_EQ(m.os.device(in).console_lines.size(), 1u) << "refused by both the flush and the read";
    }
    if (c.input == Input::File || c.input == Input::Pipe) {
      // One read of the whole buffer, every byte of the script taken as it is.
      EXPECT_EQ(m.os.device(in).read_requests, std::vector<Dword>{ConsoleReader::kCapacity});
      EXPECT_EQ(m.os.device(in).input_at, script.size());
    }
    if (c.input == Input::EmptyFile) {
      EXPECT_EQ(m.os.count("NtReadFile"), 1u);
    }
  }
}

TEST(RepairTest, TitleGoesOutAsEscapeSequenceWhenTermIsSet) {
  Machine m;
  m.os.SetEnv(u"TERM", u"xterm");
  TestConsole console(m.os);
  RunRepair(m.os, console);
  const std::string title = "\x1b]0;" + S(texts::kTitlePrefix) + kPublisher + "\x07";
  ASSERT_EQ(title.size(), 78u);
  EXPECT_EQ(m.Output().substr(0, 78 + Banner().size()), title + Banner());
  EXPECT_TRUE(m.os.titles.empty());
}

TEST(RepairTest, TitleGoesToTheConsoleCallWithoutTerminal) {
  Machine m;
  TestConsole console(m.os);
  RunRepair(m.os, console);
  ASSERT_EQ(m.os.titles.size(), 1u);
  EXPECT_EQ(testing::Narrow(m.os.titles[0]), S(texts::kTitlePrefix) + kPublisher + std::string(1, '\0'));
  EXPECT_EQ(m.Output().substr(0, Banner().size()), Banner());
}

TEST(VerdictTest, ExitCodesAreComparedAsUnsigned) {
  struct Row {
    int stage;
    Dword code;
    Verdict verdict;
  };
  // Rows by stage, laid out by hand: clang-format would give each case a line of its own.
  // clang-format off
  const Row rows[] = {
      {1, 0, Verdict::NextStage},       {1, 1, Verdict::ToolFailed},        {1, 2, Verdict::ToolFailed},
      {1, 0x80000000u, Verdict::ToolFailed}, {1, 0xFFFFFFFFu, Verdict::ToolFailed},
      {2, 0, Verdict::Success},         {2, 1, Verdict::ReinstallOnly},     {2, 2, Verdict::ReinstallOnly},
      {2, 3, Verdict::ToolFailed},      {2, 0xFFFFFFFEu, Verdict::ToolFailed}, {2, 0x80000001u, Verdict::ToolFailed},
  };
  // clang-format on
  for (const Row& row : rows) {
    EXPECT_EQ(VerdictForExit(row.stage, row.code), row.verdict) << "stage " << row.stage << " code " << row.code;
  }
}

TEST(TextsTest, LayoutsHaveTheirFixedSizes) {
  EXPECT_EQ(texts::kBannerHead.size(), 197u);
  EXPECT_EQ(texts::kBannerTail.size(), 248u);
  EXPECT_EQ(texts::kTitlePrefix.size(), 57u);
  EXPECT_EQ(texts::kEscHint.size(), 109u);
  EXPECT_EQ(texts::kToolFailedText.size(), 113u);
  EXPECT_EQ(texts::kReinstallText.size(), 87u);
  EXPECT_EQ(texts::kLaunchFailedText.size(), 127u);
  EXPECT_EQ(texts::kSuccessText.size(), 74u);
  EXPECT_EQ(texts::kStage1Header.size(), 34u);
  EXPECT_EQ(texts::kStage2Header.size(), 34u);
}

// Counts characters, not bytes: every box line is 64 columns wide.
TEST(TextsTest, BannerBoxLinesAreSixtyFourColumnsWide) {
  const std::u16string banner = testing::Widen(Banner());
  std::vector<std::u16string> lines;
  std::u16string line;
  for (char16_t c : banner) {
    if (c == u'\n') {
      lines.push_back(line);
      line.clear();
    } else {
      line += c;
    }
  }
  ASSERT_EQ(lines.size(), 8u);
  EXPECT_TRUE(line.empty());
  EXPECT_EQ(lines[0], u"");
  for (int i = 1; i <= 6; ++i) EXPECT_EQ(lines[i].size(), 64u) << "line " << i + 1;
  EXPECT_EQ(lines[7], u"    ");
}

}  // namespace
}  // namespace wr
