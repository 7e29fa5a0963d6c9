// Missing and broken standard handles: a missing output is no reason to
// stop, a broken one is a silent fatal stop.
#include <string>

#include "tests/e2e/expected_texts.h"
#include "tests/e2e/sandbox.h"

namespace wr::e2e {
namespace {

constexpr std::uint32_t kFatalStopStatus = 0xC000001Du;

class Handles : public BothToolsExitZero {};

TEST_F(Handles, NoStandardHandlesAtAllStillRunsBothTools) {
  RunOptions options;
  options.noStdHandles = true;
  RunResult run = Run(options);
  EXPECT_EQ(run.exitCode, 0u);
  auto dism = ToolRuns(L"DISM");
  auto sfc = ToolRuns(L"sfc");
  ASSERT_EQ(dism.size(), 1u);
  ASSERT_EQ(sfc.size(), 1u);
  // With all three slots empty the tools get the system's defaults.
  EXPECT_FALSE(dism[0].stdHandles);
  EXPECT_FALSE(sfc[0].stdHandles);
}

TEST_F(Handles, OnlyStandardOutputMissingRunsSilently) {
  RunOptions options;
  options.output = Output::Absent;
  RunResult run = Run(options);
  EXPECT_EQ(run.exitCode, 0u);
  EXPECT_EQ(run.err, "");
  ASSERT_EQ(ToolRuns(L"DISM").size(), 1u);
  ASSERT_EQ(ToolRuns(L"sfc").size(), 1u);
  // Input and error are still there, so the tools are given handles.
  EXPECT_TRUE(ToolRuns(L"DISM")[0].stdHandles);
}

TEST_F(Handles, PipeWithoutReaderIsASilentFatalStop) {
  RunOptions options;
  options.output = Output::PipeReaderGone;
  RunResult run = Run(options);
  EXPECT_EQ(run.exitCode, kFatalStopStatus);
  EXPECT_EQ(run.err, "") << "a fatal stop prints nothing";
  // The banner's print is the first write, so no tool was started.
  EXPECT_TRUE(ToolRuns(L"DISM").empty());
}

}  // namespace
}  // namespace wr::e2e
