// Whole runs of the program with stand-ins for both tools, standard output
// going to a file: the file must hold exactly the program's messages with
// the tools' own output between them.
#include <string>

#include "tests/e2e/expected_texts.h"
#include "tests/e2e/same_text.h"
#include "tests/e2e/sandbox.h"

namespace wr::e2e {
namespace {

class Transcript : public BothToolsExitZero {};

TEST_F(Transcript, SuccessfulRunIsExactlyTheMessagesAndToolOutput) {
  RunResult run = Run();
  EXPECT_EQ(run.exitCode, 0u);
  EXPECT_SAME_TEXT(run.out, SuccessfulTranscript());
  EXPECT_EQ(run.out.find('\r'), std::string::npos) << "no carriage return of its own";
  EXPECT_NE(run.out.rfind("\xEF\xBB\xBF", 0), 0u) << "no byte-order mark";
  EXPECT_EQ(run.err, "");
}

TEST_F(Transcript, BannerIsTwoPiecesAroundThePublisherText) {
  RunResult run = Run();
  ASSERT_GE(run.out.size(), 197u + 16u + 248u);
  EXPECT_SAME_TEXT(run.out.substr(0, 197), BannerHead());
  EXPECT_SAME_TEXT(run.out.substr(197, 16), kPublisherText);
  EXPECT_SAME_TEXT(run.out.substr(213, 248), BannerTail());
}

TEST_F(Transcript, CommandLineArgumentsChangeNothing) {
  const std::vector<std::vector<std::wstring>> argumentSets = {
      {L"/?"}, {L"--help", L"-v"}, {L"/Online", L"two words"}, {L"Ж"}};
  for (const auto& arguments : argumentSets) {
    RunOptions options;
    options.arguments = arguments;
    RunResult run = Run(options);
    EXPECT_EQ(run.exitCode, 0u) << ToUtf8(arguments.front());
    EXPECT_SAME_TEXT(run.out, SuccessfulTranscript()) << ToUtf8(arguments.front());
  }
  // The tools saw nothing of them either.
  EXPECT_EQ(ToolRuns(L"DISM").size(), argumentSets.size());
  for (const auto& r : ToolRuns(L"DISM")) EXPECT_EQ(r.commandLine, "\"DISM\" /Online /Cleanup-image /Restorehealth");
}

TEST_F(Transcript, ToolsReceiveExactlyTheirCommandLines) {
  RunResult run = Run();
  ASSERT_EQ(run.exitCode, 0u);
  auto dism = ToolRuns(L"DISM");
  auto sfc = ToolRuns(L"sfc");
  ASSERT_EQ(dism.size(), 1u);
  ASSERT_EQ(sfc.size(), 1u);
  EXPECT_EQ(dism[0].commandLine, "\"DISM\" /Online /Cleanup-image /Restorehealth");
  EXPECT_EQ(sfc[0].commandLine, "\"sfc\" /scannow");
  // The program's own handles are passed on.
  EXPECT_TRUE(dism[0].stdHandles);
  EXPECT_TRUE(sfc[0].stdHandles);
}

// Every kind of standard input ends the final pause without a console.
struct InputCase {
  const char* name;
  Input input;
  std::string bytes;
};

void PrintTo(const InputCase& c, std::ostream* os) { *os << c.name; }

class PauseEnds : public Transcript, public ::testing::WithParamInterface<InputCase> {};

TEST_P(PauseEnds, WithStatusZero) {
  RunOptions options;
  options.input = GetParam().input;
  options.inputBytes = GetParam().bytes;
  RunResult run = Run(options);
  EXPECT_EQ(run.exitCode, 0u);
  EXPECT_SAME_TEXT(run.out, SuccessfulTranscript());
  EXPECT_EQ(ToolRuns(L"DISM").size(), 1u);
  EXPECT_EQ(ToolRuns(L"sfc").size(), 1u);
}

INSTANTIATE_TEST_SUITE_P(Stdin, PauseEnds,
                         ::testing::Values(InputCase{"EmptyFile", Input::EmptyFile, ""},
                                           InputCase{"NullDevice", Input::Nul, ""},
                                           InputCase{"CyrillicFile", Input::FileBytes, "да\r\nещё строка\r\n"},
                                           InputCase{"LoneLeadByte", Input::FileBytes, "\xD0"},
                                           InputCase{"Absent", Input::Absent, ""},
                                           InputCase{"PipeWriterGone", Input::PipeWriterGone, ""},
                                           // There, but every read fails (access denied).
                                           InputCase{"WriteOnlyFile", Input::WriteOnlyFile, ""}),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace wr::e2e
