// Runs where nothing is quick: a tool that takes seconds, and a standard
// output that takes the program's bytes only as fast as a slow reader reads
// them.
#include <string>

#include "tests/e2e/expected_texts.h"
#include "tests/e2e/same_text.h"
#include "tests/e2e/sandbox.h"

namespace wr::e2e {
namespace {

class Slow : public BothToolsExitZero {};

// The real DISM can run for an hour; the wait for it has no time limit. A
// few seconds are enough to catch any limit short enough to matter in a test.
TEST_F(Slow, ToolRunningForSecondsStillGetsItsVerdict) {
  DelayTool(L"DISM", 4000);
  DelayTool(L"sfc", 3000);
  const ULONGLONG started = GetTickCount64();
  RunResult run = Run();
  EXPECT_GE(GetTickCount64() - started, 7000u) << "the stand-ins did not take their time";
  EXPECT_EQ(run.exitCode, 0u);
  EXPECT_SAME_TEXT(run.out, SuccessfulTranscript());
  EXPECT_EQ(ToolRuns(L"DISM").size(), 1u);
  EXPECT_EQ(ToolRuns(L"sfc").size(), 1u);
}

// Standard output is a pipe handle opened for overlapped I/O with a 64-byte
// buffer: each message write is answered "pending" and completes only once
// the test has read most of it, 16 bytes at a time.
TEST_F(Slow, PendingWritesToAnOverlappedPipeDeliverTheWholeTranscript) {
  RunOptions options;
  options.output = Output::SlowOverlappedPipe;
  RunResult run = Run(options);
  EXPECT_EQ(run.exitCode, 0u);
  EXPECT_SAME_TEXT(run.out, SuccessfulTranscript());
  EXPECT_EQ(run.err, "");
}

}  // namespace
}  // namespace wr::e2e
