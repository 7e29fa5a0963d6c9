// Keys typed before the program asks for one.
#pragma once

#include "platform/system.h"

namespace wr {

// Where standard input (looked up anew) is a console, discards what is
// waiting in its input buffer, so that the next read takes only a line typed
// after this call. Redirected input is left alone, and a refusal is ignored:
// the next read then sees the input as it is.
void DiscardTypeAhead(System& os);

}  // namespace wr
