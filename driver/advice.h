// Advice for the DISM exit codes whose cause is known and has a remedy short
// of reinstalling windows.
#pragma once

#include <string_view>

#include "platform/system.h"

namespace wr {

struct DismAdvice {
  Dword exit_code;
  // DISM did its work and Windows only has to restart to finish it: the
  // advice is the whole verdict, without the tool-failed line.
  bool succeeded;
  std::string_view cause;   // what happened, one line
  std::string_view action;  // what the user does next, one line
};

extern const DismAdvice kDismAdvice[9];

// The row for DISM's exit code, or nullptr when no row fits.
//
// DISM exits with the whole HRESULT for a servicing error (0x800F....) and
// with the bare Win32 code for an HRESULT that wraps one (0x8007xxxx). A row
// given as a Win32 code therefore also fits its HRESULT form 0x80070000 | N,
// in case a DISM version passes that on whole. Nothing else fits: a value
// that shares only its low 16 bits with a row is another error.
const DismAdvice* FindDismAdvice(Dword exit_code);

}  // namespace wr
