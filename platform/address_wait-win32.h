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

// The points of the keyed-event calls where the order of two threads
// decides whether a wake is lost or a waker stays blocked. The program
// sets no hook, and each point costs it a load and a branch; tests set one
// to hold a thread at a point while another acts, so that each such order
// is run on purpose rather than left to the scheduler.
enum class KeyedEventPoint : unsigned char {
  kCompared,   // a waiter has read its word, and has neither slept nor left
  kTimedOut,   // a waiter's sleep ran out, and it has not yet left
  kReleasing,  // a waker has taken a sleeper's count and is about to release it
};
// key: the keyed-event key of the address; two addresses with the same key
// share their sleepers.
using KeyedEventHook = void (*)(KeyedEventPoint point, const void* key);
void SetKeyedEventHook(KeyedEventHook hook);

}  // namespace wr::win32
