// The questions a process without a console answers (see no_console.cpp).
#pragma once

#include "platform/system.h"

namespace wr::contract {

// The packed answer: the low 16 bits are the last error of the failed
// CONOUT$ open, the flags what else was seen.
Dword AskWithoutConsole(System& os);
inline constexpr Dword kConoutOpened = 0x10000;
inline constexpr Dword kStdInputNull = 0x20000;
inline constexpr Dword kStdOutputNull = 0x40000;
inline constexpr Dword kStdErrorNull = 0x80000;
inline constexpr Dword kTitleSet = 0x100000;
inline constexpr Dword kTitleErrorInvalidHandle = 0x200000;

}  // namespace wr::contract
