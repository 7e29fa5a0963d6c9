#include "driver/verdict.h"

#include "driver/advice.h"

namespace wr {

Verdict VerdictForExit(int stage, Dword exit_code) {
  if (exit_code == 0) return stage == 1 ? Verdict::NextStage : Verdict::Success;
  // Only the file checker's 1 and 2 mean "it ran, but could not mend
  // everything"; any other non-zero code means the tool itself failed.
  if (stage == 2 && (exit_code == 1 || exit_code == 2)) return Verdict::ReinstallOnly;
  // A DISM code with a known cause gets its own remedy instead of the
  // reinstall line: reinstalling because the disk is full or a restart is
  // pending costs a day and solves nothing. A success code that only waits
  // for a restart is no failure at all: its remedy is the whole verdict.
  const DismAdvice* advice = stage == 1 ? FindDismAdvice(exit_code) : nullptr;
  if (advice == nullptr) return Verdict::ToolFailed;
  return advice->succeeded ? Verdict::RestartToFinish : Verdict::ToolFailedWithAdvice;
}

}  // namespace wr
