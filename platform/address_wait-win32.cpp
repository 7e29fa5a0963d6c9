#include "platform/address_wait-win32.h"

#include <atomic>
#include <cstdint>

#include "platform/process_end-win32.h"

// Native keyed events: present in ntdll since Windows XP, but declared in
// no SDK header.
extern "C" {
NTSTATUS NTAPI NtCreateKeyedEvent(PHANDLE handle, ACCESS_MASK access, PVOID attributes, ULONG flags);
NTSTATUS NTAPI NtWaitForKeyedEvent(HANDLE handle, PVOID key, BOOLEAN alertable, PLARGE_INTEGER timeout);
NTSTATUS NTAPI NtReleaseKeyedEvent(HANDLE handle, PVOID key, BOOLEAN alertable, PLARGE_INTEGER timeout);
}

namespace wr::win32 {
namespace {

constexpr ACCESS_MASK kKeyedEventAllAccess = STANDARD_RIGHTS_REQUIRED | 0x0003;
constexpr NTSTATUS kStatusTimeout = 0x00000102;

// The locks cannot work without their keyed event: a broken invariant, so
// the silent fatal stop.
[[noreturn]] void StopAtOnce() { EndProcess(0xC000001Du); }

// The number of threads registered to sleep on any address that falls in
// the bucket. A waker takes the whole count and releases the keyed event
// that many times; NtReleaseKeyedEvent blocks until a sleeper takes each
// release, so every release it makes is for a thread that has
// registered and has not unregistered itself.
struct alignas(64) Bucket {
  std::atomic<ULONG> waiters;
};
constexpr std::size_t kBuckets = 64;
constinit Bucket g_buckets[kBuckets]{};

// Process-wide and never closed, like the other process-wide objects.
constinit INIT_ONCE g_keyed_event_once = INIT_ONCE_STATIC_INIT;
constinit HANDLE g_keyed_event = nullptr;

BOOL CALLBACK CreateKeyedEvent(PINIT_ONCE /*once*/, PVOID /*parameter*/, PVOID* /*context*/) {
  HANDLE handle = nullptr;
  if (NtCreateKeyedEvent(&handle, kKeyedEventAllAccess, nullptr, 0) < 0) StopAtOnce();
  g_keyed_event = handle;
  return TRUE;
}

HANDLE KeyedEvent() {
  if (::InitOnceExecuteOnce(&g_keyed_event_once, CreateKeyedEvent, nullptr, nullptr) == FALSE) StopAtOnce();
  return g_keyed_event;
}

Bucket& BucketOf(const volatile void* address) {
  const auto value = reinterpret_cast<std::uintptr_t>(address);
  return g_buckets[((value >> 3) ^ (value >> 11)) % kBuckets];
}

// The bucket's address is the key: 64-byte aligned, so its low bit is
// clear, as keyed-event keys require.
PVOID KeyOf(Bucket& bucket) { return &bucket; }

constinit std::atomic<KeyedEventHook> g_hook{nullptr};

void At(KeyedEventPoint point, Bucket& bucket) {
  if (const KeyedEventHook hook = g_hook.load(std::memory_order_acquire); hook != nullptr) hook(point, KeyOf(bucket));
}

bool Differs(const volatile void* address, const void* compare, SIZE_T size) {
  switch (size) {
    case 1: return *static_cast<const volatile std::uint8_t*>(address) != *static_cast<const std::uint8_t*>(compare);
    case 2: return *static_cast<const volatile std::uint16_t*>(address) != *static_cast<const std::uint16_t*>(compare);
    case 4: return *static_cast<const volatile std::uint32_t*>(address) != *static_cast<const std::uint32_t*>(compare);
    case 8: return *static_cast<const volatile std::uint64_t*>(address) != *static_cast<const std::uint64_t*>(compare);
    default: return true;
  }
}

// Takes back a registration. When a waker has already counted it, that
// waker is (or will be) blocked releasing the key for us: take the
// release, or it would stay blocked.
bool Unregister(Bucket& bucket, HANDLE event) {
  ULONG count = bucket.waiters.load();
  while (count != 0) {
    if (bucket.waiters.compare_exchange_weak(count, count - 1)) return true;
  }
  NtWaitForKeyedEvent(event, KeyOf(bucket), FALSE, nullptr);
  return false;
}

BOOL WINAPI KeyedWaitOnAddress(volatile VOID* address, PVOID compare, SIZE_T size, DWORD milliseconds) {
  if (size != 1 && size != 2 && size != 4 && size != 8) {
    ::SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  HANDLE event = KeyedEvent();
  Bucket& bucket = BucketOf(address);
  bucket.waiters.fetch_add(1);
  // The registration must be visible before the word is read, and the
  // waker's store before it reads the count: either the waker sees us, or
  // we see its new value.
  std::atomic_thread_fence(std::memory_order_seq_cst);
  const bool differs = Differs(address, compare, size);
  At(KeyedEventPoint::kCompared, bucket);
  if (differs) {
    Unregister(bucket, event);
    return TRUE;
  }
  LARGE_INTEGER timeout;
  PLARGE_INTEGER limit = nullptr;
  if (milliseconds != INFINITE) {
    timeout.QuadPart = -static_cast<LONGLONG>(milliseconds) * 10000;  // relative, in 100 ns
    limit = &timeout;
  }
  const NTSTATUS status = NtWaitForKeyedEvent(event, KeyOf(bucket), FALSE, limit);
  if (status == kStatusTimeout) {
    At(KeyedEventPoint::kTimedOut, bucket);
    if (Unregister(bucket, event)) {
      ::SetLastError(ERROR_TIMEOUT);
      return FALSE;
    }
  }
  return TRUE;
}

VOID WINAPI KeyedWakeAll(PVOID address) {
  std::atomic_thread_fence(std::memory_order_seq_cst);
  Bucket& bucket = BucketOf(address);
  if (bucket.waiters.load() == 0) return;
  HANDLE event = KeyedEvent();
  for (ULONG count = bucket.waiters.exchange(0); count != 0; --count) {
    At(KeyedEventPoint::kReleasing, bucket);
    NtReleaseKeyedEvent(event, KeyOf(bucket), FALSE, nullptr);
  }
}

// The sleeper one release would reach may wait on another address of the
// same bucket; only waking the whole bucket is sure to reach the caller's.
VOID WINAPI KeyedWakeSingle(PVOID address) { KeyedWakeAll(address); }

constinit const AddressWaitCalls kKeyedCalls{KeyedWaitOnAddress, KeyedWakeSingle, KeyedWakeAll};

constinit INIT_ONCE g_lookup_once = INIT_ONCE_STATIC_INIT;
constinit AddressWaitCalls g_system_calls{};

template <class Function>
Function Lookup(HMODULE module, const char* name) {
  return reinterpret_cast<Function>(reinterpret_cast<void*>(::GetProcAddress(module, name)));
}

BOOL CALLBACK LookUpSystemCalls(PINIT_ONCE /*once*/, PVOID /*parameter*/, PVOID* /*context*/) {
  // Already loaded in every process: GetModuleHandleW never loads a DLL, so
  // nothing is searched for along a path someone else could write to.
  HMODULE kernelbase = ::GetModuleHandleW(L"kernelbase.dll");
  AddressWaitCalls found{};
  if (kernelbase != nullptr) {
    found.wait = Lookup<decltype(found.wait)>(kernelbase, "WaitOnAddress");
    found.wake_single = Lookup<decltype(found.wake_single)>(kernelbase, "WakeByAddressSingle");
    found.wake_all = Lookup<decltype(found.wake_all)>(kernelbase, "WakeByAddressAll");
  }
  const bool all_found = found.wait != nullptr && found.wake_single != nullptr && found.wake_all != nullptr;
  g_system_calls = all_found ? found : kKeyedCalls;
  return TRUE;
}

}  // namespace

const AddressWaitCalls& KeyedEventAddressWait() { return kKeyedCalls; }

void SetKeyedEventHook(KeyedEventHook hook) { g_hook.store(hook, std::memory_order_release); }

const AddressWaitCalls& SystemAddressWait() {
  if (::InitOnceExecuteOnce(&g_lookup_once, LookUpSystemCalls, nullptr, nullptr) == FALSE) StopAtOnce();
  return g_system_calls;
}

}  // namespace wr::win32
