#include "driver/repair.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <deque>
#include <optional>
#include <string>
#include <vector>

#include "console/console_reader.h"
#include "console/console_writer.h"
#include "console/terminal.h"
#include "driver/advice.h"
#include "driver/texts.h"
#include "driver/verdict.h"
#include "expected_screens.h"
#include "tests/unit/driver/test_console.h"
#include "tests/unit/driver/verdict_runs.h"
#include "tests/unit/fake/fake_system.h"

namespace wr {
namespace {

using testing::FakeSystem;
using testing::FatalStopped;
using testing::RunWithTools;
using testing::TestConsole;

const std::string kPublisher(expected::kPublisherText);

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
  std::string name;
  std::optional<Dword> dism;  // nullopt: DISM cannot be found
  std::optional<Dword> sfc;   // nullopt: sfc cannot be found
  int stages;                 // the stages announced
  std::string verdict;        // what follows the last announcement
  std::size_t launches;
};

std::string Announcements(int stages) { return stages == 1 ? Announcement(1) : Announcement(1) + Announcement(2); }

std::string CodeText(std::optional<Dword> code) {
  if (!code) return "not found";
  char text[40];
  std::snprintf(text, sizeof text, "exits 0x%08X (%u)", *code, *code);
  return text;
}

// The text as a C++ literal would give it: UTF-8 as it is, a line feed as
// \n, other control bytes as \xNN. With `one_per_line`, each line of the
// text is a literal on a line of its own.
std::string Quoted(std::string_view text, bool one_per_line = false) {
  std::string out = "\"";
  for (std::size_t i = 0; i < text.size(); ++i) {
    const unsigned char c = static_cast<unsigned char>(text[i]);
    if (c == '\n') {
      out += "\\n";
      if (one_per_line && i + 1 < text.size()) out += "\"\n\"";
    } else if (c == '"' || c == '\\') {
      out += '\\';
      out += static_cast<char>(c);
    } else if (c < 0x20 || c == 0x7F) {
      char escaped[8];
      std::snprintf(escaped, sizeof escaped, "\\x%02X", c);
      out += escaped;
    } else {
      out += static_cast<char>(c);
    }
  }
  return out + "\"";
}

// A failing row names itself in text, not as a dump of its bytes. The
// verdict's text is left to the failure message, line by line: GoogleTest
// cuts a long parameter's text at a byte count, which would split a
// Cyrillic letter and leave --gtest_list_tests printing invalid UTF-8.
void PrintTo(const VerdictCase& c, std::ostream* os) {
  *os << c.name << ": DISM " << CodeText(c.dism) << ", sfc " << CodeText(c.sfc) << "; " << c.stages
      << " stage(s) announced, " << c.launches << " tool(s) started";
}

class VerdictRows : public ::testing::TestWithParam<VerdictCase> {};

TEST_P(VerdictRows, PrintsTheVerdictAndEndsNormally) {
  const VerdictCase& c = GetParam();
  const testing::Outcome run = RunWithTools(c.dism, c.sfc);
  const std::string start = Banner() + Announcements(c.stages);
  EXPECT_TRUE(run.written == start + c.verdict)
      << (run.written.compare(0, start.size(), start) == 0
              ? "after the announcements the program wrote\n" + Quoted(run.written.substr(start.size()), true)
              : "the program wrote\n" + Quoted(run.written, true))
      << "\ninstead of\n"
      << Quoted(c.verdict, true);
  EXPECT_EQ(run.launches, c.launches);
  EXPECT_TRUE(run.paused);
}

// DISM's codes with a known cause: the tool-failed line, then the cause and
// the remedy in place of the reinstall line; for the success codes that wait
// for a restart, the cause and the remedy alone. The texts are written out
// here rather than taken from the program's, so that a slip in either shows.
struct AdviceRow {
  const char* name;
  Dword code;
  bool failed;  // the tool-failed line comes first
  const char* cause;
  const char* action;
  bool win32;  // also given as its HRESULT, 0x80070000 | code
};

// The expected advice, as tests/screens/expected_screens.json writes it (the
// literals behind these views end in a zero).
const char* const kRestart = expected::kRestartCause.data();
const char* const kRestartToFinish = expected::kRestartToFinishCause.data();
const char* const kRestartThenRun = expected::kRestartAction.data();
const char* const kDiskErrors = expected::kDiskErrorCause.data();
const char* const kCheckDisk = expected::kDiskErrorAction.data();

const AdviceRow kAdviceRows[] = {
    {"Restart", 3017, true, kRestart, kRestartThenRun, true},
    {"RestartToFinish", 3010, false, kRestartToFinish, kRestartThenRun, true},
    {"RestartToFinish", 1641, false, kRestartToFinish, kRestartThenRun, true},
    {"DiskFull", 112, true, expected::kDiskFullCause.data(), expected::kDiskFullAction.data(), true},
    {"Download", 0x800F0906u, true, expected::kDownloadCause.data(), expected::kDownloadAction.data(), false},
    {"OldDism", 87, true, expected::kOldDismCause.data(), expected::kOldDismAction.data(), true},
    {"Service", 1726, true, expected::kServiceCause.data(), kRestartThenRun, true},
    {"DiskErrors", 1392, true, kDiskErrors, kCheckDisk, true},
    {"DiskErrors", 1393, true, kDiskErrors, kCheckDisk, true},
};

std::string Advised(const AdviceRow& row) {
  const std::string advice = S(row.cause) + "\n    " + S(row.action) + "\n";
  return row.failed ? "\n    " + S(texts::kToolFailedText) + "!\n\n    " + advice : "\n    " + advice;
}

// A code as a test name: Win32 codes in decimal, HRESULTs in hex.
std::string CodeName(Dword code) {
  char text[16];
  std::snprintf(text, sizeof text, code <= 0xFFFFu ? "%u" : "0x%08X", code);
  return text;
}

// DISM's codes that keep the reinstall line: the plain failures, the ones
// where a reinstall over the running windows really is the remedy, and
// values that share only their low 16 bits with a row.
// clang-format off
const Dword kPlainAtStage1[] = {
    1, 2, 5, 0xFFFFFFFFu,
    0x800F081Fu,  // CBS_E_SOURCE_MISSING
    0x800F0915u,  // CBS_E_REPAIR_CONTENT_MISSING
    14098,        // ERROR_SXS_COMPONENT_STORE_CORRUPT
    0x00010BC9u, 0x00070BC9u, 0x800F0BC9u, 0xC0070BC9u,  // 3017's low word, other facility or severity
    0x80080070u, 0x80000070u, 0x80080057u,               // 112's and 87's
    0x00000906u, 0x80070906u,                            // 0x800F0906's
    0x00010BC2u, 0x800F0BC2u, 0xC0070BC2u, 0x80080669u,  // 3010's and 1641's
    0x800F0570u, 0x00070571u,                            // 1392's and 1393's
};
// clang-format on

// Only DISM's codes carry advice: the same numbers from sfc are plain.
const Dword kPlainAtStage2[] = {3, 0xC0000005u, 3017, 3010, 1641, 87, 112, 1392, 1393, 0x800F0906u, 0x80070BC9u};

std::vector<VerdictCase> VerdictTable() {
  std::vector<VerdictCase> rows = {
      {"Stage1LaunchFails", std::nullopt, 0u, 1, LaunchFailed("program not found"), 0},
      {"Stage2LaunchFails", 0u, std::nullopt, 2, LaunchFailed("program not found"), 1},
      {"Stage2Succeeds", 0u, 0u, 2, S(texts::kSuccessText), 2},
      {"Stage2ExitsOne", 0u, 1u, 2, kReinstallOnly, 2},
      {"Stage2ExitsTwo", 0u, 2u, 2, kReinstallOnly, 2},
  };
  for (const AdviceRow& row : kAdviceRows) {
    rows.push_back({row.name + CodeName(row.code), row.code, 0u, 1, Advised(row), 1});
    if (row.win32) {
      const Dword hresult = 0x80070000u | row.code;
      rows.push_back({row.name + CodeName(hresult), hresult, 0u, 1, Advised(row), 1});
    }
  }
  for (Dword code : kPlainAtStage1) rows.push_back({"Stage1Exits" + CodeName(code), code, 0u, 1, kToolFailed, 1});
  for (Dword code : kPlainAtStage2) rows.push_back({"Stage2Exits" + CodeName(code), 0u, code, 2, kToolFailed, 2});
  return rows;
}

INSTANTIATE_TEST_SUITE_P(Table, VerdictRows, ::testing::ValuesIn(VerdictTable()),
                         [](const ::testing::TestParamInfo<VerdictCase>& info) { return info.param.name; });

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
      {1, 0x80070BC9u, Verdict::ToolFailedWithAdvice}, {2, 0x80070BC9u, Verdict::ToolFailed},
      {1, 3010, Verdict::RestartToFinish}, {1, 0x80070669u, Verdict::RestartToFinish}, {2, 3010, Verdict::ToolFailed},
      {1, 0x80070571u, Verdict::ToolFailedWithAdvice},
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

// A console without virtual-terminal processing (windows 7's) wraps a line
// at the 80th character, and the line feed after it then adds an empty
// line. Every line the program can print (banner, announcements, each
// verdict and advice) fits 79 characters, indentation included; the
// system's own error texts are not the program's and are left out.
TEST(TextsTest, EveryPrintedLineFitsSeventyNineCharacters) {
  std::size_t lines_seen = 0;
  for (const auto& [dism, sfc] : testing::EveryVerdictRun()) {
    const std::string written = RunWithTools(dism, sfc).written;
    std::size_t start = 0;
    while (start < written.size()) {
      std::size_t end = written.find('\n', start);
      if (end == std::string::npos) end = written.size();
      const std::string_view line = std::string_view(written).substr(start, end - start);
      // Characters, not bytes: a UTF-8 continuation byte starts none.
      const auto characters = std::count_if(line.begin(), line.end(),
                                            [](char c) { return (static_cast<unsigned char>(c) & 0xC0) != 0x80; });
      EXPECT_LE(characters, 79) << Quoted(line);
      ++lines_seen;
      start = end + 1;
    }
  }
  EXPECT_GT(lines_seen, 100u);
}

}  // namespace
}  // namespace wr
