#include "driver/advice.h"

#include "driver/texts.h"

namespace wr {

namespace {

// HRESULT_FROM_WIN32: severity "error", facility 7 (Win32), the code in the
// low 16 bits. Win32 codes above 0xFFFF have no such form.
constexpr Dword kWin32Facility = 0x80070000u;
constexpr Dword kLargestWin32Code = 0xFFFFu;

}  // namespace

constexpr DismAdvice kDismAdvice[9] = {
    // A failed change that Windows rolls back at the next restart.
    {3017, false, texts::kRestartCause, texts::kRestartAction},  // ERROR_FAIL_REBOOT_REQUIRED
    // Success codes: the repair succeeded and takes effect after the restart.
    // Nothing failed, so the tool-failed line is not shown; sfc still waits
    // until after the restart, when the repair is complete.
    {3010, true, texts::kRestartToFinishCause, texts::kRestartAction},    // ERROR_SUCCESS_REBOOT_REQUIRED
    {1641, true, texts::kRestartToFinishCause, texts::kRestartAction},    // ERROR_SUCCESS_REBOOT_INITIATED
    {112, false, texts::kDiskFullCause, texts::kDiskFullAction},          // ERROR_DISK_FULL
    {0x800F0906u, false, texts::kDownloadCause, texts::kDownloadAction},  // CBS_E_DOWNLOAD_FAILURE
    // The command line is fixed and valid from Windows 8 on: an option DISM
    // does not know means Windows 7's DISM, which has no /Restorehealth.
    {87, false, texts::kOldDismCause, texts::kOldDismAction},  // ERROR_INVALID_PARAMETER
    // DISM's remote procedure call into the servicing stack failed. Why it
    // failed the code does not say; a restart starts the service afresh.
    {1726, false, texts::kServiceCause, texts::kServiceAction},  // RPC_S_CALL_FAILED
    // A file or the file system cannot be read: reinstalling onto a disk
    // with file-system errors mends nothing, a disk check comes first.
    {1392, false, texts::kDiskErrorCause, texts::kDiskErrorAction},  // ERROR_FILE_CORRUPT
    {1393, false, texts::kDiskErrorCause, texts::kDiskErrorAction},  // ERROR_DISK_CORRUPT
};

const DismAdvice* FindDismAdvice(Dword exit_code) {
  for (const DismAdvice& row : kDismAdvice) {
    if (exit_code == row.exit_code) return &row;
    if (row.exit_code <= kLargestWin32Code && exit_code == (kWin32Facility | row.exit_code)) return &row;
  }
  return nullptr;
}

}  // namespace wr
