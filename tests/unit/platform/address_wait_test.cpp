// The locks and gates on the real system, sleeping both ways the program
// can: through the system's WaitOnAddress (Windows 8 and later) and through
// the keyed-event calls that stand in for it on Windows 7. Each runs with
// real threads that really contend. Every sleep and join has a time limit:
// a lost wake-up or a blocked waker fails its test with a message.
#include <gtest/gtest.h>

#include <atomic>

// The seam's own names first: <windows.h> defines some of them as macros.
#include "platform/system-win32.h"
#include "runtime/sync.h"
// Then the Win32 side.
#include "platform/address_wait-win32.h"
#include "tests/unit/platform/bounded_threads.h"

namespace wr {
namespace {

// The real system, sleeping through the given calls and counting sleeps.
// The locks sleep without a time limit; here such a sleep ends after
// kPatience, is counted as a lost wake-up, and returns as a spurious wake
// does (the lock looks at its word again), so the run goes on to fail.
class CountingSystem : public Win32System {
 public:
  explicit CountingSystem(const win32::AddressWaitCalls& calls) : calls_(calls) {}
  bool WaitOnAddress(volatile void* address, const void* compare, std::size_t size, Dword ms) override {
    sleeps.fetch_add(1);
    const bool unlimited = ms == INFINITE;
    if (calls_.wait(address, const_cast<void*>(compare), size, unlimited ? test::kPatience : ms) != FALSE) return true;
    if (!unlimited) return false;
    lost_wakes.fetch_add(1);
    return true;
  }
  void WakeByAddressSingle(void* address) override { calls_.wake_single(address); }
  void WakeByAddressAll(void* address) override { calls_.wake_all(address); }

  std::atomic<int> sleeps{0};
  std::atomic<int> lost_wakes{0};

 private:
  const win32::AddressWaitCalls& calls_;
};

enum class Way { System, KeyedEvent };

const win32::AddressWaitCalls& CallsFor(Way way) {
  return way == Way::System ? win32::SystemAddressWait() : win32::KeyedEventAddressWait();
}

class AddressWaitTest : public ::testing::TestWithParam<Way> {
 protected:
  CountingSystem os{CallsFor(GetParam())};
};

// Windows 8 and later export the calls from KernelBase.dll (so does Wine);
// Windows 7 has none, and the lookup falls back on the keyed event.
TEST(SystemAddressWait, FindsTheSystemsOwnCallsInKernelBase) {
  HMODULE kernelbase = ::GetModuleHandleW(L"kernelbase.dll");
  ASSERT_NE(kernelbase, nullptr);
  const bool present = ::GetProcAddress(kernelbase, "WaitOnAddress") != nullptr;
  const win32::AddressWaitCalls& calls = win32::SystemAddressWait();
  EXPECT_EQ(calls.wait != win32::KeyedEventAddressWait().wait, present);
  EXPECT_EQ(&calls, &win32::SystemAddressWait());
}

// Two threads add to a plain counter under the lock. Now and then the
// holder keeps the lock long enough that the other must go to sleep on it
// rather than spin.
template <class Lock, int kDepth>
void CountUnderLock(CountingSystem& os, int rounds) {
  Lock lock;
  long long counter = 0;
  std::atomic<long> progress{0};
  // Both threads start counting together: on a busy machine a thread may
  // otherwise start only after the other has finished, and nobody contends.
  std::atomic<int> ready{0};
  auto work = [&] {
    ready.fetch_add(1);
    while (ready.load() < 2) ::Sleep(0);
    for (int i = 0; i < rounds; ++i) {
      for (int d = 0; d < kDepth; ++d) lock.Lock(os);
      const long long seen = counter;
      if (i % 250 == 0) ::Sleep(1);
      counter = seen + 1;
      for (int d = 0; d < kDepth; ++d) lock.Unlock(os);
      progress.fetch_add(1);
    }
  };
  test::TestThread one(work);
  test::TestThread two(work);
  ASSERT_TRUE(test::JoinWhileProgressing({&one, &two}, progress))
      << "a thread stopped moving: blocked waking, or asleep with nobody to wake it";
  EXPECT_EQ(counter, 2LL * rounds);
  EXPECT_EQ(os.lost_wakes.load(), 0) << "sleeps on the lock ran out their time limit: wake-ups were lost";
  EXPECT_GT(os.sleeps.load(), 0) << "no thread ever slept: the test did not contend";
}

TEST_P(AddressWaitTest, MutexProtectsAPlainCounterAcrossSleepingThreads) { CountUnderLock<ByteMutex, 1>(os, 20000); }

TEST_P(AddressWaitTest, ReentrantLockNestsAndExcludes) { CountUnderLock<ReentrantLock, 2>(os, 5000); }

TEST_P(AddressWaitTest, GateRunsOnceWhileTheOtherThreadSleeps) {
  for (int round = 0; round < 100; ++round) {
    OnceGate gate;
    std::atomic<int> runs{0};
    std::atomic<bool> finished{false};
    std::atomic<int> early{0};
    const int sleeps_before = os.sleeps.load();
    auto caller = [&] {
      gate.Run(os, [&] {
        runs.fetch_add(1);
        // Finish only once the other caller has gone to sleep on the gate,
        // however late the scheduler starts it; give up after a while so a
        // broken gate fails the assertions below instead of hanging.
        const ULONGLONG limit = ::GetTickCount64() + 10000;
        while (os.sleeps.load() == sleeps_before && ::GetTickCount64() < limit) ::Sleep(1);
        finished = true;
      });
      if (!finished.load()) early.fetch_add(1);
    };
    test::TestThread one(caller);
    test::TestThread two(caller);
    // Room for the runner's own wait (up to 10 s) for the other to sleep.
    ASSERT_TRUE(one.Join(4 * test::kPatience) && two.Join(test::kPatience))
        << "round " << round << ": a caller is stuck";
    ASSERT_EQ(runs.load(), 1) << "round " << round;
    ASSERT_EQ(early.load(), 0) << "round " << round;
    ASSERT_GT(os.sleeps.load(), sleeps_before) << "round " << round << ": the other caller never slept";
    ASSERT_EQ(os.lost_wakes.load(), 0) << "round " << round << ": the sleeping caller was never woken";
  }
}

// Two threads hand a turn back and forth through the raw calls. Each sleep
// is owed a wake by the other player; one that runs out lost it.
TEST_P(AddressWaitTest, PingPongLosesNoWakeUp) {
  const win32::AddressWaitCalls& calls = CallsFor(GetParam());
  std::atomic<std::uint8_t> turn{0};
  std::atomic<long> rounds{0};
  std::atomic<int> lost{0};
  std::atomic<bool> stop{false};
  constexpr int kRounds = 5000;
  auto player = [&](std::uint8_t mine) {
    for (int i = 0; i < kRounds; ++i) {
      for (;;) {
        std::uint8_t seen = turn.load();
        if (seen == mine) break;
        if (stop.load()) return;
        if (calls.wait(&turn, &seen, 1, test::kPatience) == FALSE) lost.fetch_add(1);
      }
      turn.store(static_cast<std::uint8_t>(1 - mine));
      calls.wake_single(&turn);
      rounds.fetch_add(1);
    }
  };
  test::TestThread zero([&] { player(0); });
  test::TestThread one([&] { player(1); });
  const bool finished = test::JoinWhileProgressing({&zero, &one}, rounds);
  if (!finished) {
    // The player still waiting for its turn leaves at its next time limit.
    stop = true;
    zero.Join(2 * test::kPatience);
    one.Join(2 * test::kPatience);
  }
  EXPECT_TRUE(finished) << "the turn stopped moving after " << rounds.load() << " hand-overs: a player is stuck waking";
  EXPECT_EQ(lost.load(), 0) << "sleeps ran out their time limit: wake-ups were lost";
  EXPECT_EQ(turn.load(), 0);
}

TEST_P(AddressWaitTest, AChangedWordReturnsAtOnceAndAWaitCanTimeOut) {
  const win32::AddressWaitCalls& calls = CallsFor(GetParam());
  std::uint32_t word = 7;
  std::uint32_t other = 8;
  EXPECT_TRUE(calls.wait(&word, &other, sizeof word, INFINITE));

  // Timed with the performance counter: on a busy machine Wine's tick
  // count lags (a 50 ms sleep once measured 16 ms by it).
  LARGE_INTEGER frequency;
  LARGE_INTEGER before;
  LARGE_INTEGER after;
  ::QueryPerformanceFrequency(&frequency);
  ::QueryPerformanceCounter(&before);
  std::uint32_t same = 7;
  ::SetLastError(0);
  EXPECT_FALSE(calls.wait(&word, &same, sizeof word, 50));
  EXPECT_EQ(::GetLastError(), static_cast<DWORD>(ERROR_TIMEOUT));
  ::QueryPerformanceCounter(&after);
  EXPECT_GE((after.QuadPart - before.QuadPart) * 1000 / frequency.QuadPart, 30);
  // The timed-out waiter took itself off: a wake finds nobody to release
  // and does not block.
  test::TestThread waker([&] {
    calls.wake_all(&word);
    calls.wake_single(&word);
  });
  EXPECT_TRUE(waker.Join(test::kPatience)) << "a wake with nobody asleep blocked";
}

INSTANTIATE_TEST_SUITE_P(BothWays, AddressWaitTest, ::testing::Values(Way::System, Way::KeyedEvent),
                         [](const ::testing::TestParamInfo<Way>& info) {
                           return info.param == Way::System ? "SystemCalls" : "KeyedEvent";
                         });

}  // namespace
}  // namespace wr
