#include "runtime/sync.h"

namespace wr {
namespace {

inline void CpuPause() {
#if defined(__x86_64__) || defined(__i386__)
  __builtin_ia32_pause();
#endif
}

constexpr int kSpinPolls = 100;

}  // namespace

void ByteMutex::Lock(System& os) {
  const Dword self = os.GetCurrentThreadId();
  if (owner_.load(std::memory_order_relaxed) == self) os.FatalStop();
  std::uint8_t expected = 0;
  if (!word_.compare_exchange_strong(expected, 1, std::memory_order_acquire)) LockContended(os);
  owner_.store(self, std::memory_order_relaxed);
}

void ByteMutex::LockContended(System& os) {
  for (int polls = 0; polls < kSpinPolls && word_.load(std::memory_order_relaxed) == 1; ++polls) {
    CpuPause();
  }
  std::uint8_t expected = 0;
  if (word_.compare_exchange_strong(expected, 1, std::memory_order_acquire)) return;
  // From here on the word says "held with sleepers" whenever we hold it, so
  // that our release wakes whoever else went to sleep meanwhile.
  while (word_.exchange(2, std::memory_order_acquire) != 0) {
    const std::uint8_t sleeping = 2;
    os.WaitOnAddress(reinterpret_cast<volatile void*>(&word_), &sleeping, 1, INFINITE);
  }
}

void ByteMutex::Unlock(System& os) {
  if (owner_.load(std::memory_order_relaxed) != os.GetCurrentThreadId()) os.FatalStop();
  owner_.store(0, std::memory_order_relaxed);
  if (word_.exchange(0, std::memory_order_release) == 2) {
    os.WakeByAddressSingle(reinterpret_cast<void*>(&word_));
  }
}

void ReentrantLock::Lock(System& os) {
  const Dword self = os.GetCurrentThreadId();
  if (owner_.load(std::memory_order_relaxed) == self) {
    if (count_ == 0xFFFFFFFFu) os.FatalStop();
    ++count_;
    return;
  }
  mutex_.Lock(os);
  owner_.store(self, std::memory_order_relaxed);
  count_ = 1;
}

void ReentrantLock::Unlock(System& os) {
  if (count_ == 0 || owner_.load(std::memory_order_relaxed) != os.GetCurrentThreadId()) os.FatalStop();
  if (--count_ == 0) {
    owner_.store(0, std::memory_order_relaxed);
    mutex_.Unlock(os);
  }
}

void OnceGate::Finish(System& os) {
  if (state_.exchange(kDone) & kWaiting) os.WakeByAddressAll(reinterpret_cast<void*>(&state_));
}

void OnceGate::WaitUntilDone(System& os) {
  if (runner_.load(std::memory_order_relaxed) == os.GetCurrentThreadId()) os.FatalStop();
  for (;;) {
    std::uint8_t seen = state_.load();
    if (seen == kDone) return;
    if (!(seen & kWaiting)) {
      if (!state_.compare_exchange_strong(seen, seen | kWaiting)) continue;
      seen |= kWaiting;
    }
    os.WaitOnAddress(reinterpret_cast<volatile void*>(&state_), &seen, 1, INFINITE);
  }
}

}  // namespace wr
