// Ends itself through one of the real fatal paths, chosen by its argument,
// so the end-to-end tests can see the exit statuses and what reaches
// standard error on the real system.
#include <cstring>

#include "console/device_write.h"
#include "platform/process_end-win32.h"
#include "platform/system-win32.h"

namespace {
constinit wr::Win32System g_os;

// A TerminateProcess that comes back, as a failed call or a hook would.
BOOL WINAPI TerminateThatReturns(HANDLE, UINT) {
  ::SetLastError(ERROR_ACCESS_DENIED);
  return FALSE;
}
}  // namespace

int main(int argc, char** argv) {
  if (argc == 2 && std::strcmp(argv[1], "pending-io") == 0) wr::StopOnPendingIo(g_os);
  if (argc == 2 && std::strcmp(argv[1], "fatal-stop") == 0) g_os.FatalStop();
  if (argc == 2 && std::strcmp(argv[1], "terminate-returns") == 0) {
    wr::win32::EndProcess(0xC000001Du, TerminateThatReturns);
  }
  // Reached only when no fatal path was asked for, or one fell through.
  wr::WriteErrorText(g_os, {"fell through\n"});
  return 3;
}
