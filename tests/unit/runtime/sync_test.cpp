#include "runtime/sync.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <mutex>
#include <set>
#include <thread>
#include <vector>

#include "tests/unit/fake/fake_system.h"

namespace wr {
namespace {

using testing::FakeSystem;

// Counts the threads that went to sleep on an address, and lets a test wait
// until a given number of them have.
class SleepCountingSystem : public FakeSystem {
 public:
  bool WaitOnAddress(volatile void* address, const void* compare, std::size_t size, Dword ms) override {
    {
      std::lock_guard<std::mutex> lock(sleepers_mutex_);
      sleepers_.insert(std::this_thread::get_id());
    }
    sleeps_.fetch_add(1);
    return FakeSystem::WaitOnAddress(address, compare, size, ms);
  }

  std::size_t distinct_sleepers() {
    std::lock_guard<std::mutex> lock(sleepers_mutex_);
    return sleepers_.size();
  }

  // Polls, with a generous limit so a stuck lock fails the test instead of
  // hanging it.
  bool AwaitSleepers(std::size_t count) {
    const auto limit = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (distinct_sleepers() < count) {
      if (std::chrono::steady_clock::now() > limit) return false;
      std::this_thread::yield();
    }
    return true;
  }

  std::atomic<int> sleeps_{0};

 private:
  std::mutex sleepers_mutex_;
  std::set<std::thread::id> sleepers_;
};

TEST(ByteMutex, ProtectsAPlainCounterUnderHeavyContention) {
  FakeSystem os;
  ByteMutex mutex;
  long counter = 0;  // deliberately not atomic
  constexpr int kRounds = 200000;
  auto work = [&] {
    for (int i = 0; i < kRounds; ++i) {
      mutex.Lock(os);
      // A read-modify-write split by a yield now and then widens the window a
      // broken lock would let the other thread into.
      const long seen = counter;
      if (i % 1024 == 0) std::this_thread::yield();
      counter = seen + 1;
      mutex.Unlock(os);
    }
  };
  std::thread a(work);
  std::thread b(work);
  a.join();
  b.join();
  EXPECT_EQ(counter, 2L * kRounds);
  EXPECT_EQ(mutex.word(), 0);
}

TEST(ByteMutex, SleeperIsWokenByTheRelease) {
  SleepCountingSystem os;
  ByteMutex mutex;
  mutex.Lock(os);
  EXPECT_EQ(mutex.word(), 1);
  std::atomic<bool> acquired{false};
  std::thread waiter([&] {
    mutex.Lock(os);
    acquired = true;
    mutex.Unlock(os);
  });
  ASSERT_TRUE(os.AwaitSleepers(1));
  // Held with a sleeper: the release must wake it.
  EXPECT_EQ(mutex.word(), 2);
  EXPECT_FALSE(acquired.load());
  mutex.Unlock(os);
  waiter.join();
  EXPECT_TRUE(acquired.load());
  EXPECT_GE(os.count("WakeByAddressSingle"), 1u);
  EXPECT_EQ(mutex.word(), 0);
}

TEST(ByteMutex, UncontendedUseAsksNothingOfTheSystem) {
  FakeSystem os;
  ByteMutex mutex;
  for (int i = 0; i < 3; ++i) {
    mutex.Lock(os);
    EXPECT_EQ(mutex.word(), 1);
    mutex.Unlock(os);
    EXPECT_EQ(mutex.word(), 0);
  }
  EXPECT_TRUE(os.calls.empty());
}

TEST(ReentrantLock, OwnerNestsAndOthersWaitForTheLastRelease) {
  SleepCountingSystem os;
  ReentrantLock lock;
  lock.Lock(os);
  lock.Lock(os);
  lock.Lock(os);
  EXPECT_EQ(lock.count(), 3u);

  std::atomic<bool> acquired{false};
  std::uint32_t count_seen = 0;
  std::thread other([&] {
    lock.Lock(os);
    acquired = true;
    count_seen = lock.count();
    lock.Unlock(os);
  });
  ASSERT_TRUE(os.AwaitSleepers(1));
  lock.Unlock(os);
  lock.Unlock(os);
  EXPECT_EQ(lock.count(), 1u);
  // Still held once: the other thread stays asleep.
  std::this_thread::sleep_for(std::chrono::milliseconds(20));
  EXPECT_FALSE(acquired.load());
  lock.Unlock(os);
  other.join();
  EXPECT_TRUE(acquired.load());
  EXPECT_EQ(count_seen, 1u);
  EXPECT_EQ(lock.count(), 0u);

  // The former owner can take it again from scratch.
  LockHolder<ReentrantLock> again(os, lock);
  EXPECT_EQ(lock.count(), 1u);
}

TEST(ReentrantLock, TwoThreadsNestingProtectAPlainCounter) {
  FakeSystem os;
  ReentrantLock lock;
  long counter = 0;
  constexpr int kRounds = 50000;
  auto work = [&] {
    for (int i = 0; i < kRounds; ++i) {
      LockHolder<ReentrantLock> outer(os, lock);
      LockHolder<ReentrantLock> inner(os, lock);
      const long seen = counter;
      if (i % 1024 == 0) std::this_thread::yield();
      counter = seen + 1;
    }
  };
  std::thread a(work);
  std::thread b(work);
  a.join();
  b.join();
  EXPECT_EQ(counter, 2L * kRounds);
  EXPECT_EQ(lock.count(), 0u);
}

TEST(OnceGate, ManyCallersAtOnceRunTheInitOnceAndAllWaitForIt) {
  constexpr int kThreads = 8;
  SleepCountingSystem os;
  OnceGate gate;
  std::atomic<int> runs{0};
  std::atomic<bool> finished{false};
  std::atomic<int> returned_early{0};
  std::atomic<int> arrived{0};

  auto caller = [&] {
    arrived.fetch_add(1);
    while (arrived.load() < kThreads) std::this_thread::yield();
    gate.Run(os, [&] {
      runs.fetch_add(1);
      // Keep running until every other caller is asleep at the gate, so each
      // of them really had to wait.
      EXPECT_TRUE(os.AwaitSleepers(kThreads - 1));
      finished = true;
    });
    if (!finished.load()) returned_early.fetch_add(1);
  };
  std::vector<std::thread> threads;
  for (int i = 0; i < kThreads; ++i) threads.emplace_back(caller);
  for (auto& t : threads) t.join();

  EXPECT_EQ(runs.load(), 1);
  EXPECT_EQ(returned_early.load(), 0);
  EXPECT_TRUE(gate.done());
  EXPECT_EQ(os.count("WakeByAddressAll"), 1u);
}

TEST(OnceGate, LaterCallersNeitherRunNorWait) {
  FakeSystem os;
  OnceGate gate;
  int runs = 0;
  EXPECT_FALSE(gate.done());
  gate.Run(os, [&] { ++runs; });
  EXPECT_TRUE(gate.done());
  std::thread later([&] { gate.Run(os, [&] { ++runs; }); });
  later.join();
  gate.Run(os, [&] { ++runs; });
  EXPECT_EQ(runs, 1);
  // Nobody waited, so nobody had to be woken.
  EXPECT_TRUE(os.calls.empty());
}

TEST(OnceGate, RepeatedRacesOnFreshGates) {
  FakeSystem os;
  for (int round = 0; round < 200; ++round) {
    OnceGate gate;
    std::atomic<int> runs{0};
    std::atomic<bool> finished{false};
    std::atomic<int> early{0};
    auto caller = [&] {
      gate.Run(os, [&] {
        runs.fetch_add(1);
        std::this_thread::yield();
        finished = true;
      });
      if (!finished.load()) early.fetch_add(1);
    };
    std::thread a(caller);
    std::thread b(caller);
    caller();
    a.join();
    b.join();
    ASSERT_EQ(runs.load(), 1) << "round " << round;
    ASSERT_EQ(early.load(), 0) << "round " << round;
  }
}

template <class Action>
bool StopsOnAnotherThread(Action action) {
  bool stopped = false;
  std::thread other([&] {
    try {
      action();
    } catch (const testing::FatalStopped&) {
      stopped = true;
    }
  });
  other.join();
  return stopped;
}

// Each of these would otherwise hang for ever, or let two threads into the
// same lock: a broken invariant, which ends the process at once.
TEST(BrokenLockUse, IsAFatalStopNotAHang) {
  using testing::FatalStopped;
  FakeSystem os;
  {
    ByteMutex mutex;
    mutex.Lock(os);
    EXPECT_THROW(mutex.Lock(os), FatalStopped) << "owner locking again";
    mutex.Unlock(os);
    EXPECT_EQ(mutex.word(), 0);
  }
  {
    ByteMutex mutex;
    EXPECT_THROW(mutex.Unlock(os), FatalStopped) << "release of a free mutex";
    mutex.Lock(os);
    EXPECT_TRUE(StopsOnAnotherThread([&] { mutex.Unlock(os); })) << "release by another thread";
    EXPECT_EQ(mutex.word(), 1);
    mutex.Unlock(os);
  }
  {
    ReentrantLock lock;
    EXPECT_THROW(lock.Unlock(os), FatalStopped) << "release of a free re-entrant lock";
    lock.Lock(os);
    EXPECT_TRUE(StopsOnAnotherThread([&] { lock.Unlock(os); })) << "re-entrant lock released by another thread";
    EXPECT_EQ(lock.count(), 1u);
    lock.Unlock(os);
  }
  {
    OnceGate gate;
    int inner_runs = 0;
    EXPECT_THROW(gate.Run(os, [&] { gate.Run(os, [&] { ++inner_runs; }); }), FatalStopped)
        << "initialisation entering its own gate";
    EXPECT_EQ(inner_runs, 0);
    EXPECT_EQ(os.count("WaitOnAddress"), 0u);
  }
}

}  // namespace
}  // namespace wr
