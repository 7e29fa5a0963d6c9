// The two ways the process ends early on Windows.
#pragma once

#include "platform/win32.h"

namespace wr::win32 {

using TerminateProcessCall = BOOL(WINAPI*)(HANDLE process, UINT status);

// Ends the process at once with `status`. TerminateProcess on the calling
// process does not come back; should it ever (a failed call, or a hook that
// swallows it), the system's fail-fast ends the process instead: whatever
// follows a fatal stop must never run.
[[noreturn]] void EndProcess(UINT status, TerminateProcessCall terminate = ::TerminateProcess);

// __fastfail(FAST_FAIL_FATAL_APP_EXIT): INT 0x29 with the code in ECX. The
// kernel ends the process with STATUS_STACK_BUFFER_OVERRUN; no handler of
// the process runs. Windows Error Reporting still sees it.
[[noreturn]] void FailFastNow();

}  // namespace wr::win32
