// The tools' exit codes against the verdict printed: every row of the table,
// with codes above 0x7FFFFFFF, which a signed comparison would get wrong, and
// every DISM code that brings its own advice.
#include <cstdint>
#include <string>

#include "tests/e2e/expected_texts.h"
#include "tests/e2e/same_text.h"
#include "tests/e2e/sandbox.h"

namespace wr::e2e {
namespace {

enum class Verdict {
  ToolFailed,
  ReinstallOnly,
  Success,
  Restart,
  RestartToFinish,
  DiskFull,
  Download,
  OldDism,
  Service,
  DiskErrors
};

std::string VerdictText(Verdict v) {
  switch (v) {
    case Verdict::ToolFailed: return ToolFailedVerdict();
    case Verdict::ReinstallOnly: return ReinstallVerdict();
    case Verdict::Success: return std::string(kSuccessText);
    case Verdict::Restart: return AdvisedVerdict(kRestartCause, kRestartAction);
    case Verdict::RestartToFinish: return AdviceOnlyVerdict(kRestartToFinishCause, kRestartAction);
    case Verdict::DiskFull: return AdvisedVerdict(kDiskFullCause, kDiskFullAction);
    case Verdict::Download: return AdvisedVerdict(kDownloadCause, kDownloadAction);
    case Verdict::OldDism: return AdvisedVerdict(kOldDismCause, kOldDismAction);
    case Verdict::Service: return AdvisedVerdict(kServiceCause, kRestartAction);
    case Verdict::DiskErrors: return AdvisedVerdict(kDiskErrorCause, kDiskErrorAction);
  }
  return {};
}

struct VerdictCase {
  const char* name;
  std::uint32_t dismExit;
  std::uint32_t sfcExit;
  bool sfcRuns;
  Verdict verdict;
};

void PrintTo(const VerdictCase& c, std::ostream* os) { *os << c.name; }

class Verdicts : public Sandbox, public ::testing::WithParamInterface<VerdictCase> {};

TEST_P(Verdicts, ExitCodesChooseTheVerdictAndStatusStaysZero) {
  const VerdictCase& c = GetParam();
  PlaceTool(L"DISM", c.dismExit);
  PlaceTool(L"sfc", c.sfcExit);
  RunResult run = Run();
  EXPECT_EQ(run.exitCode, 0u) << "the tools' codes are never passed on";

  std::string expected = Banner() + Stage1() + StandInSaid("DISM");
  if (c.sfcRuns) expected += Stage2() + StandInSaid("sfc");
  expected += VerdictText(c.verdict);
  EXPECT_SAME_TEXT(run.out, expected);
  EXPECT_EQ(ToolRuns(L"DISM").size(), 1u);
  EXPECT_EQ(ToolRuns(L"sfc").size(), c.sfcRuns ? 1u : 0u);
}

INSTANTIATE_TEST_SUITE_P(
    Table, Verdicts,
    ::testing::Values(VerdictCase{"DismOne", 1, 0, false, Verdict::ToolFailed},
                      VerdictCase{"DismSourceFilesMissing", 0x800F081Fu, 0, false, Verdict::ToolFailed},
                      VerdictCase{"DismAllBits", 0xFFFFFFFFu, 0, false, Verdict::ToolFailed},
                      VerdictCase{"DismTwo", 2, 0, false, Verdict::ToolFailed},
                      // DISM's codes with a known cause and remedy.
                      VerdictCase{"DismRestartToRollBack", 3017, 0, false, Verdict::Restart},
                      VerdictCase{"DismRestartToRollBackWhole", 0x80070BC9u, 0, false, Verdict::Restart},
                      // Succeeded, a restart finishes it: no tool-failed line, sfc waits.
                      VerdictCase{"DismRestartRequired", 3010, 0, false, Verdict::RestartToFinish},
                      VerdictCase{"DismRestartStarted", 1641, 0, false, Verdict::RestartToFinish},
                      VerdictCase{"DismRestartRequiredWhole", 0x80070BC2u, 0, false, Verdict::RestartToFinish},
                      VerdictCase{"DismDiskFull", 112, 0, false, Verdict::DiskFull},
                      VerdictCase{"DismDownloadFailed", 0x800F0906u, 0, false, Verdict::Download},
                      VerdictCase{"DismWithoutRestorehealth", 87, 0, false, Verdict::OldDism},
                      VerdictCase{"DismServiceCallFailed", 1726, 0, false, Verdict::Service},
                      VerdictCase{"DismFileCorrupt", 1392, 0, false, Verdict::DiskErrors},
                      VerdictCase{"DismDiskCorruptWhole", 0x80070571u, 0, false, Verdict::DiskErrors},
                      // 3017's low word under the servicing facility: no row.
                      VerdictCase{"DismLowWordOnly", 0x800F0BC9u, 0, false, Verdict::ToolFailed},
                      VerdictCase{"BothZero", 0, 0, true, Verdict::Success},
                      VerdictCase{"SfcOne", 0, 1, true, Verdict::ReinstallOnly},
                      VerdictCase{"SfcTwo", 0, 2, true, Verdict::ReinstallOnly},
                      VerdictCase{"SfcThree", 0, 3, true, Verdict::ToolFailed},
                      // Only DISM's codes bring advice.
                      VerdictCase{"SfcRestartCode", 0, 3017, true, Verdict::ToolFailed},
                      VerdictCase{"SfcRestartToFinishCode", 0, 3010, true, Verdict::ToolFailed},
                      VerdictCase{"SfcAccessViolation", 0, 0xC0000005u, true, Verdict::ToolFailed},
                      VerdictCase{"SfcLargestSigned", 0, 0x7FFFFFFFu, true, Verdict::ToolFailed},
                      VerdictCase{"SfcAllBits", 0, 0xFFFFFFFFu, true, Verdict::ToolFailed},
                      // Codes whose low byte or low word alone would read as 1 or 2.
                      VerdictCase{"SfcLowByteOne", 0, 0x101u, true, Verdict::ToolFailed},
                      VerdictCase{"SfcLowWordTwo", 0, 0x10002u, true, Verdict::ToolFailed}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace wr::e2e
