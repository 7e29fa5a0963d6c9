// Sleeping on an address until another thread changes it and wakes it, as
// WaitOnAddress and WakeByAddress* do.
//
// Those calls first shipped in Windows 8. Importing them would keep the
// program from loading at all on Windows 7, so they are looked up at run
// time in KernelBase.dll, which every process of Windows 7 and later has
// loaded before its first instruction; where they are missing, the same
// contract is kept with a keyed event.
#pragma once

#include "platform/win32.h"

namespace wr::win32 {

struct AddressWaitCalls {
  BOOL(WINAPI* wait)(volatile VOID* address, PVOID compare, SIZE_T size, DWORD milliseconds);
  VOID(WINAPI* wake_single)(PVOID address);
  VOID(WINAPI* wake_all)(PVOID address);
};

// The system's own calls where it has them, otherwise the keyed-event
// ones. Decided once, on first use.
const AddressWaitCalls& SystemAddressWait();

// The keyed-event calls by themselves. Waiters of different addresses may
// share a key, so a wake-one wakes every waiter that shares it; waiters
// re-check their word, as they must after any WaitOnAddress.
const AddressWaitCalls& KeyedEventAddressWait();

}  // namespace wr::win32
