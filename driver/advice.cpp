#include "driver/advice.h"

#include "driver/texts.h"

namespace wr {

namespace {

// HRESULT_FROM_WIN32: severity "error", facility 7 (Win32), the code in the
// low 16 bits. Win32 codes above 0xFFFF have no such form.
constexpr Dword kWin32Facility = 0x80070000u;
constexpr Dword kLargestWin32Code = 0xFFFFu;

}  // namespace

constexpr DismAdvice kDismAdvice[7] = {
    {3017, texts::kRestartCause, texts::kRestartAction},  // ERROR_FAIL_REBOOT_REQUIRED
    // Success codes with a restart pending: the stage has not finished
    // until the restart, so the tool-failed line stays above the advice and
    // sfc does not run.
    {3010, texts::kRestartCause, texts::kRestartAction},           // ERROR_SUCCESS_REBOOT_REQUIRED
    {1641, texts::kRestartCause, texts::kRestartAction},           // ERROR_SUCCESS_REBOOT_INITIATED
    {112, texts::kDiskFullCause, texts::kDiskFullAction},          // ERROR_DISK_FULL
    {0x800F0906u, texts::kDownloadCause, texts::kDownloadAction},  // CBS_E_DOWNLOAD_FAILURE
    // The command line is fixed and valid from windows 8 on: an option DISM
    // does not know means windows 7's DISM, which has no /Restorehealth.
    {87, texts::kOldDismCause, texts::kOldDismAction},  // ERROR_INVALID_PARAMETER
    // DISM lost its call into the servicing service (Windows Modules
    // Installer), most likely because the service stopped answering.
    {1726, texts::kServiceCause, texts::kServiceAction},  // RPC_S_CALL_FAILED
};

const DismAdvice* FindDismAdvice(Dword exit_code) {
  for (const DismAdvice& row : kDismAdvice) {
    if (exit_code == row.exit_code) return &row;
    if (row.exit_code <= kLargestWin32Code && exit_code == (kWin32Facility | row.exit_code)) return &row;
  }
  return nullptr;
}

}  // namespace wr
