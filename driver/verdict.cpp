#include "driver/verdict.h"

namespace wr {

Verdict VerdictForExit(int stage, Dword exit_code) {
  if (exit_code == 0) return stage == 1 ? Verdict::NextStage : Verdict::Success;
  // Only the file checker's 1 and 2 mean "it ran, but could not mend
  // everything"; any other non-zero code means the tool itself failed.
  if (stage == 2 && (exit_code == 1 || exit_code == 2)) return Verdict::ReinstallOnly;
  return Verdict::ToolFailed;
}

}  // namespace wr
