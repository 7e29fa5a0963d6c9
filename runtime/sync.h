// Locks and once-only gates that sleep on the lock word itself
// (WaitOnAddress / WakeByAddress*), so they need no kernel object and no
// initialisation: a zeroed object is a free lock or an unstarted gate.
#pragma once

#include <atomic>
#include <cstdint>

#include "platform/system.h"

namespace wr {

// A one-byte mutex: 0 free, 1 held, 2 held with sleepers. Not re-entrant:
// its owner taking it again, or anyone but the owner releasing it, is a
// broken invariant and a fatal stop, never a silent hang.
class ByteMutex {
 public:
  void Lock(System& os);
  void Unlock(System& os);
  // For tests: the raw lock word.
  std::uint8_t word() const { return word_.load(); }

 private:
  void LockContended(System& os);
  std::atomic<std::uint8_t> word_{0};
  // Only ever compared with the caller's own id, which no other thread can
  // store, so relaxed reads are enough.
  std::atomic<Dword> owner_{0};
};

// A re-entrant lock: the owner may take it again; other threads wait on
// the inner byte mutex.
class ReentrantLock {
 public:
  void Lock(System& os);
  void Unlock(System& os);
  std::uint32_t count() const { return count_; }

 private:
  std::atomic<Dword> owner_{0};
  std::uint32_t count_ = 0;
  ByteMutex mutex_;
};

// Holds a lock for one scope.
template <class Lock>
class [[nodiscard]] LockHolder {
 public:
  LockHolder(System& os, Lock& lock) : os_(os), lock_(lock) { lock_.Lock(os_); }
  ~LockHolder() { lock_.Unlock(os_); }
  LockHolder(const LockHolder&) = delete;
  LockHolder& operator=(const LockHolder&) = delete;

 private:
  System& os_;
  Lock& lock_;
};

// Runs an initialisation once per gate. Stages: not started, running,
// done (final); a waiter marker tells the runner to wake everyone. The
// initialisation entering its own gate again is a fatal stop: it would
// otherwise wait for itself forever.
class OnceGate {
 public:
  template <class Init>
  void Run(System& os, Init&& init) {
    if (state_.load() == kDone) return;
    std::uint8_t expected = kNotStarted;
    if (state_.compare_exchange_strong(expected, kRunning)) {
      runner_.store(os.GetCurrentThreadId(), std::memory_order_relaxed);
      init();
      Finish(os);
      return;
    }
    WaitUntilDone(os);
  }
  bool done() const { return state_.load() == kDone; }

 private:
  static constexpr std::uint8_t kNotStarted = 0;
  static constexpr std::uint8_t kRunning = 1;
  static constexpr std::uint8_t kWaiting = 2;  // marker, only with kRunning
  static constexpr std::uint8_t kDone = 4;
  void Finish(System& os);
  void WaitUntilDone(System& os);
  std::atomic<std::uint8_t> state_{kNotStarted};
  std::atomic<Dword> runner_{0};
};

}  // namespace wr
