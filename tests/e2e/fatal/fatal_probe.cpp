// Ends itself through one of the real fatal paths, chosen by its argument,
// so the end-to-end tests can see the exit statuses and what reaches
// standard error on the real system.
#include <cstring>

#include "console/device_write.h"
#include "platform/system-win32.h"

namespace {
constinit wr::Win32System g_os;
}  // namespace

int main(int argc, char** argv) {
  if (argc == 2 && std::strcmp(argv[1], "pending-io") == 0) wr::StopOnPendingIo(g_os);
  if (argc == 2 && std::strcmp(argv[1], "fatal-stop") == 0) g_os.FatalStop();
  return 3;
}
