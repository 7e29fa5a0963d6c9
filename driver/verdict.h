// Turning a stage's outcome into what comes next.
#pragma once

#include "platform/system.h"

namespace wr {

enum class Verdict {
  NextStage,  // stage 1 exited with 0: go on to stage 2
  ToolFailed,
  ToolFailedWithAdvice,  // stage 1 only: DISM's code has a row in kDismAdvice
  RestartToFinish,       // stage 1 only: DISM succeeded, a restart finishes it; sfc waits
  ReinstallOnly,
  LaunchFailed,
  Success,
};

// `stage` is 1 or 2. Exit codes are unsigned 32-bit values.
Verdict VerdictForExit(int stage, Dword exit_code);

}  // namespace wr
