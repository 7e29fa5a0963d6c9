// What a process without a console and without standard handles sees,
// asked through System; the contract runs it in such a process.
#include "tests/contract/no_console.h"

namespace wr::contract {

Dword AskWithoutConsole(System& os) {
  Dword seen = 0;
  os.SetLastError(0);
  const Handle conout =
      os.CreateFileW(u"CONOUT$", GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, OPEN_EXISTING, 0);
  if (conout == InvalidHandleValue()) {
    seen |= os.GetLastError() & 0xFFFFu;
  } else {
    seen |= kConoutOpened;
    os.CloseHandle(conout);
  }
  if (os.GetStdHandle(STD_INPUT_HANDLE) == nullptr) seen |= kStdInputNull;
  if (os.GetStdHandle(STD_OUTPUT_HANDLE) == nullptr) seen |= kStdOutputNull;
  if (os.GetStdHandle(STD_ERROR_HANDLE) == nullptr) seen |= kStdErrorNull;
  os.SetLastError(0);
  if (os.SetConsoleTitleW(u"contract")) {
    seen |= kTitleSet;
  } else if (os.GetLastError() == ERROR_INVALID_HANDLE) {
    seen |= kTitleErrorInvalidHandle;
  }
  return seen;
}

}  // namespace wr::contract
