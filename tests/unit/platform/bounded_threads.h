// Threads and hand-offs for tests of code that can lose a wake-up or leave
// a waker blocked. Every wait here has a time limit, so such a fault fails
// its test with a message instead of hanging the whole run.
#pragma once

#include <atomic>
#include <functional>
#include <initializer_list>
#include <memory>
#include <utility>

#include "platform/win32.h"

namespace wr::test {

// A thread owed a wake-up has it long before this, even on a busy machine
// under Wine. Sleeps that must be woken are given this as their limit, so
// one that runs out is a lost wake-up.
inline constexpr DWORD kPatience = 5000;

// A manual-reset event: once set, every later wait sees it. A kernel
// event, so the test's own hand-offs never go through the calls under test.
class Signal {
 public:
  Signal() : handle_(::CreateEventW(nullptr, TRUE, FALSE, nullptr)) {}
  ~Signal() { ::CloseHandle(handle_); }
  Signal(const Signal&) = delete;
  Signal& operator=(const Signal&) = delete;

  void Set() { ::SetEvent(handle_); }
  bool WaitFor(DWORD ms) const { return ::WaitForSingleObject(handle_, ms) == WAIT_OBJECT_0; }
  HANDLE handle() const { return handle_; }

 private:
  HANDLE handle_;
};

// False when neither was set within ms.
inline bool WaitForEither(const Signal& a, const Signal& b, DWORD ms) {
  const HANDLE both[] = {a.handle(), b.handle()};
  return ::WaitForMultipleObjects(2, both, FALSE, ms) < WAIT_OBJECT_0 + 2;
}

// A thread whose join has a time limit. One still running kPatience after
// its object goes away is stuck (its test has failed on its join) and is
// ended there: left alive, it could wake later inside another test and act
// on words that are gone. The grace matters: a thread past its body but
// still on its way out holds loader and memory locks, and ending it there
// would leave them held for good.
class TestThread {
 public:
  explicit TestThread(std::function<void()> body)
      : body_(std::make_unique<std::function<void()>>(std::move(body))),
        handle_(::CreateThread(nullptr, 0, &Run, body_.get(), 0, nullptr)) {}
  ~TestThread() {
    if (handle_ == nullptr) return;
    if (::WaitForSingleObject(handle_, kPatience) == WAIT_TIMEOUT) {
      ::TerminateThread(handle_, 1);
      ::WaitForSingleObject(handle_, INFINITE);
    }
    ::CloseHandle(handle_);
  }
  TestThread(const TestThread&) = delete;
  TestThread& operator=(const TestThread&) = delete;

  bool started() const { return handle_ != nullptr; }
  // True once the body has returned.
  bool Join(DWORD ms) const { return handle_ != nullptr && ::WaitForSingleObject(handle_, ms) == WAIT_OBJECT_0; }
  HANDLE handle() const { return handle_; }

 private:
  static DWORD WINAPI Run(void* body) {
    (*static_cast<std::function<void()>*>(body))();
    return 0;
  }

  std::unique_ptr<std::function<void()>> body_;
  HANDLE handle_;
};

// Joins every thread, for as long as `progress` keeps moving: a slow run
// is not a failure, but one where nothing moved for twice kPatience (more
// than a lost wake-up costs a waiter bounded by kPatience) is stuck.
inline bool JoinWhileProgressing(std::initializer_list<const TestThread*> threads, const std::atomic<long>& progress) {
  HANDLE handles[MAXIMUM_WAIT_OBJECTS];
  DWORD count = 0;
  for (const TestThread* thread : threads) {
    if (!thread->started()) return false;
    handles[count++] = thread->handle();
  }
  for (long before = progress.load();; before = progress.load()) {
    if (::WaitForMultipleObjects(count, handles, TRUE, 2 * kPatience) == WAIT_OBJECT_0) return true;
    if (progress.load() == before) return false;
  }
}

}  // namespace wr::test
