#include "console/type_ahead.h"

namespace wr {

void DiscardTypeAhead(System& os) {
  const Handle input = os.GetStdHandle(STD_INPUT_HANDLE);
  if (input == nullptr || input == InvalidHandleValue()) return;
  // A file or a pipe is a script's prepared input: every byte of it is meant
  // to be read. Only a console collects keys pressed while nobody reads.
  Dword mode = 0;
  if (!os.GetConsoleMode(input, &mode)) return;
  // Needs GENERIC_WRITE on the handle, which the console's own input handle
  // has; a handle opened for reading only, or a screen buffer standing in
  // for input, is refused, and the read that follows behaves as without it.
  const bool flushed = os.FlushConsoleInputBuffer(input);
  (void)flushed;
}

}  // namespace wr
