#include "driver/repair.h"
#include "platform/system-win32.h"

namespace {
// Constant-initialised: nothing of the program's own runs before main.
constinit wr::Win32System g_os;
}  // namespace

// The command line, the arguments and the environment are not looked at.
int main() {
  wr::RunRepair(g_os, wr::ProcessConsole(g_os));
  return 0;
}
