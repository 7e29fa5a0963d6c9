// The keyed-event calls under the orders of threads they must survive.
// Each order is forced through the keyed-event hook: one thread is held at
// the point where the order matters while another acts, so every run goes
// through the same interleaving instead of waiting for the scheduler to
// produce it. A fault shows as a sleeper that runs out its time limit or a
// waker still blocked after kPatience, never as a hang.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdint>
#include <functional>
#include <ostream>
#include <string>
#include <tuple>
#include <utility>

#include "platform/address_wait-win32.h"
#include "tests/unit/platform/bounded_threads.h"

namespace wr::win32 {
namespace {

using test::kPatience;
using test::Signal;
using test::TestThread;

using Script = std::function<void(KeyedEventPoint point, const void* key)>;

// The hook is a plain function pointer; it hands each point to the
// running test's script.
Script g_script;

void RunScript(KeyedEventPoint point, const void* key) { g_script(point, key); }

// Installs a script for its scope. Declared before the test's threads, so
// that every one of them has returned or been ended before it goes.
class ScriptedOrder {
 public:
  explicit ScriptedOrder(Script script) {
    g_script = std::move(script);
    SetKeyedEventHook(RunScript);
  }
  ~ScriptedOrder() {
    SetKeyedEventHook(nullptr);
    g_script = nullptr;
  }
  ScriptedOrder(const ScriptedOrder&) = delete;
  ScriptedOrder& operator=(const ScriptedOrder&) = delete;
};

const AddressWaitCalls& Keyed() { return KeyedEventAddressWait(); }

enum class Wake { kSingle, kAll };

const char* NameOf(Wake wake) { return wake == Wake::kSingle ? "WakeSingle" : "WakeAll"; }

void PrintTo(Wake wake, std::ostream* out) { *out << NameOf(wake); }

// Stores a new value, then wakes, as every waker must.
void ChangeAndWake(std::atomic<std::uint32_t>& word, Wake wake) {
  word.fetch_add(1);
  (wake == Wake::kSingle ? Keyed().wake_single : Keyed().wake_all)(&word);
}

struct WaitResult {
  BOOL woke = FALSE;
  DWORD error = 0;
};

WaitResult WaitOn(std::atomic<std::uint32_t>& word, std::uint32_t compare, DWORD ms) {
  ::SetLastError(0);
  WaitResult result;
  result.woke = Keyed().wait(&word, &compare, sizeof compare, ms);
  result.error = ::GetLastError();
  return result;
}

// After a case the key must hold nothing: no registration left behind (a
// wake would block releasing it to nobody) and no release left behind (a
// fresh sleeper would take it and wake with nothing changed).
void ExpectKeyLeftClean(std::atomic<std::uint32_t>& word) {
  TestThread waker([&] { Keyed().wake_all(&word); });
  ASSERT_TRUE(waker.Join(kPatience)) << "a wake with nobody asleep blocked: a registration was left behind";
  WaitResult result;
  TestThread sleeper([&] { result = WaitOn(word, word.load(), 50); });
  ASSERT_TRUE(sleeper.Join(kPatience)) << "a sleep of 50 ms did not end";
  EXPECT_FALSE(result.woke) << "a fresh sleeper woke with nothing changed: a release was left behind";
  EXPECT_EQ(result.error, static_cast<DWORD>(ERROR_TIMEOUT));
}

// One waiter, held at a point while a waker changes its word and wakes it.
// The waiter goes on only once the waker has either taken its count (and
// is releasing it) or found nobody to wake and left: the order is decided
// before the waiter takes another step.
struct RaceCase {
  const char* name;
  KeyedEventPoint held_at;
  bool compare_is_stale;  // the waiter passes a value the word no longer has
  DWORD limit;            // the waiter's own time limit
  bool must_report_wake;  // FALSE with ERROR_TIMEOUT would mean the wake was lost
};

const RaceCase kRaces[] = {
    // Registered, read the old value, not yet asleep: the waker must count
    // it, and the release must wait for its sleep.
    {"WakeBetweenCompareAndSleep", KeyedEventPoint::kCompared, false, kPatience, true},
    // Registered, saw the new value, leaving: the waker counted it, so it
    // must take that release on its way out or leave the waker blocked.
    {"WakeWhileLeavingOnAChangedWord", KeyedEventPoint::kCompared, true, kPatience, true},
    // Its sleep ran out just as the waker counted it: the same, on the
    // time-out path. Either answer is right; the waker must not stay blocked.
    {"WakeRacingATimeOut", KeyedEventPoint::kTimedOut, false, 20, false},
};

void PrintTo(const RaceCase& race, std::ostream* out) { *out << race.name; }

class KeyedEventRaceTest : public ::testing::TestWithParam<std::tuple<RaceCase, Wake>> {};

TEST_P(KeyedEventRaceTest, NoWakeIsLostAndNoWakerStaysBlocked) {
  const RaceCase& race = std::get<0>(GetParam());
  const Wake wake = std::get<1>(GetParam());
  std::atomic<std::uint32_t> word{0};
  {
    Signal go;
    Signal releasing;
    Signal waker_done;
    std::atomic<bool> held{false};
    ScriptedOrder order([&](KeyedEventPoint point, const void* /*key*/) {
      if (point == KeyedEventPoint::kReleasing) releasing.Set();
      if (point != race.held_at || held.exchange(true)) return;
      go.Set();
      // Bounded, so a waker that does neither fails below instead of hanging.
      test::WaitForEither(releasing, waker_done, kPatience);
    });
    TestThread waker([&] {
      if (!go.WaitFor(2 * kPatience)) return;
      ChangeAndWake(word, wake);
      waker_done.Set();
    });
    WaitResult result;
    TestThread waiter([&] {
      const std::uint32_t compare = race.compare_is_stale ? word.load() + 1 : word.load();
      result = WaitOn(word, compare, race.limit);
    });

    ASSERT_TRUE(waiter.Join(2 * kPatience)) << "the waiter never returned";
    ASSERT_TRUE(held.load()) << "the waiter never reached the point where it is held";
    EXPECT_TRUE(waker.Join(kPatience)) << "the waker is still blocked releasing a sleeper that never took its release";
    if (race.must_report_wake) {
      EXPECT_TRUE(result.woke) << "the wake was lost: the waiter ran out its time limit of " << race.limit
                               << " ms (error " << result.error << ")";
    }
    if (::testing::Test::HasFailure()) return;
  }
  ExpectKeyLeftClean(word);
}

INSTANTIATE_TEST_SUITE_P(HeldWaiter, KeyedEventRaceTest,
                         ::testing::Combine(::testing::ValuesIn(kRaces), ::testing::Values(Wake::kSingle, Wake::kAll)),
                         [](const ::testing::TestParamInfo<std::tuple<RaceCase, Wake>>& info) {
                           return std::string(std::get<0>(info.param).name) + "_" + NameOf(std::get<1>(info.param));
                         });

// Words the tests can pick from; which of them share a key is found by
// asking, not by repeating the hashing.
constexpr int kWords = 512;
alignas(64) std::atomic<std::uint32_t> g_words[kWords];

const void* KeyOf(std::atomic<std::uint32_t>& word) {
  const void* seen = nullptr;
  {
    ScriptedOrder order([&](KeyedEventPoint point, const void* key) {
      if (point == KeyedEventPoint::kCompared) seen = key;
    });
    // A stale value: the call reads the word, passes the point, and returns.
    WaitOn(word, word.load() + 1, 0);
  }
  return seen;
}

// Two sleepers whose count the waker finds together on one key, and a wake
// for one word. The keyed event cannot tell the words of one key apart,
// nor choose which sleeper a release reaches; so a wake-single, too, must
// release every sleeper of the key, or the one left asleep could be the
// one it was for.
struct ShareCase {
  const char* name;
  bool same_word;  // both sleep on the woken word; else the first on another word of its key
  Wake wake;
};

const ShareCase kShares[] = {
    {"TwoSleepersOnOneWord_WakeSingle", true, Wake::kSingle},
    {"TwoSleepersOnOneWord_WakeAll", true, Wake::kAll},
    {"SleepersOnTwoWordsOfOneKey_WakeSingle", false, Wake::kSingle},
    {"SleepersOnTwoWordsOfOneKey_WakeAll", false, Wake::kAll},
};

void PrintTo(const ShareCase& share, std::ostream* out) { *out << share.name; }

class KeyedEventSharedKeyTest : public ::testing::TestWithParam<ShareCase> {};

TEST_P(KeyedEventSharedKeyTest, EverySleeperOfTheKeyWakes) {
  const ShareCase& share = GetParam();
  std::atomic<std::uint32_t>& woken = g_words[0];
  std::atomic<std::uint32_t>* other = &woken;
  if (!share.same_word) {
    const void* key = KeyOf(woken);
    ASSERT_NE(key, nullptr);
    other = nullptr;
    for (int i = 1; i < kWords && other == nullptr; ++i) {
      if (KeyOf(g_words[i]) == key) other = &g_words[i];
    }
    ASSERT_NE(other, nullptr) << "no two of " << kWords << " words share a key";
  }
  {
    Signal compared[2];
    std::atomic<int> sleepers{0};
    ScriptedOrder order([&](KeyedEventPoint point, const void* /*key*/) {
      // Past this point a sleeper has read its word; its count is in.
      if (point == KeyedEventPoint::kCompared) compared[sleepers.fetch_add(1) % 2].Set();
    });
    WaitResult first;
    WaitResult second;
    // The first sleeper is on the key before the second starts, so on the
    // other word it would be the first a single release reached.
    TestThread first_sleeper([&] { first = WaitOn(*other, other->load(), kPatience); });
    ASSERT_TRUE(compared[0].WaitFor(kPatience)) << "the first sleeper never read its word";
    TestThread second_sleeper([&] { second = WaitOn(woken, woken.load(), kPatience); });
    ASSERT_TRUE(compared[1].WaitFor(kPatience)) << "the second sleeper never read its word";

    TestThread waker([&] { ChangeAndWake(woken, share.wake); });
    ASSERT_TRUE(waker.Join(kPatience)) << "the waker is still blocked releasing the sleepers";
    ASSERT_TRUE(first_sleeper.Join(2 * kPatience));
    ASSERT_TRUE(second_sleeper.Join(2 * kPatience));
    EXPECT_TRUE(second.woke) << "the sleeper on the woken word ran out its time limit (error " << second.error << ")";
    EXPECT_TRUE(first.woke) << "the other sleeper of the key ran out its time limit (error " << first.error << ")";
    if (::testing::Test::HasFailure()) return;
  }
  ExpectKeyLeftClean(woken);
  ExpectKeyLeftClean(*other);
}

INSTANTIATE_TEST_SUITE_P(TwoSleepers, KeyedEventSharedKeyTest, ::testing::ValuesIn(kShares),
                         [](const ::testing::TestParamInfo<ShareCase>& info) { return info.param.name; });

}  // namespace
}  // namespace wr::win32
