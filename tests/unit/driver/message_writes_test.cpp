// How a whole run's messages reach standard output. Every device write ends
// at a line feed, so no line is ever cut between two writes (a console would
// show it in two steps, and a tool started next could print between the
// halves), and writing takes nothing from the heap: the writer allocates its
// buffer once, when it is made, and nothing per write.
//
// Allocations are counted through the linker: this program is linked with
// --wrap for the C allocator and operator new (CMakeLists.txt), so every
// call of theirs from the program's own code passes NoteAllocation first.
// Only what is allocated while the writer's lock is held counts, and not
// what the fake allocates inside its calls (it records each call in
// containers of its own).
#include <gtest/gtest.h>

#include <cstddef>
#include <cstdlib>
#include <new>
#include <optional>
#include <string>
#include <vector>

#include "console/console_writer.h"
#include "driver/repair.h"
#include "tests/unit/driver/test_console.h"
#include "tests/unit/fake/fake_system.h"

namespace {

// The tests run on one thread, so plain globals do. Not thread_local: MinGW
// reaches those through emutls, which allocates on first use and would come
// back into the counter.
struct AllocationWatchState {
  wr::ConsoleWriter* writer = nullptr;
  const wr::testing::FakeSystem* os = nullptr;
  int inside_system = 0;
  std::size_t allocations = 0;
  // How many calls the fake had recorded at each of the first allocations.
  std::size_t calls_before[8] = {};
};
AllocationWatchState g_watch;

void NoteAllocation() {
  if (g_watch.writer == nullptr || g_watch.inside_system != 0 || g_watch.writer->lock().count() == 0) return;
  if (g_watch.allocations < std::size(g_watch.calls_before)) {
    g_watch.calls_before[g_watch.allocations] = g_watch.os->calls.size();
  }
  ++g_watch.allocations;
}

}  // namespace

// The linker's --wrap names. operator new's mangled names spell size_t's
// type: unsigned long (m) on Linux, unsigned long long (y) on 64-bit Windows.
#if defined(_WIN64)
#define WR_SIZE_NAME(head, tail) head##y##tail
#else
#define WR_SIZE_NAME(head, tail) head##m##tail
#endif

// The C allocator's own entries. On Windows they are taken from msvcrt.dll
// itself, which the program has loaded already (GetModuleHandleW loads
// nothing): clang's MinGW linker (lld 14) wraps a DLL import together with
// its name, so the import thunk of malloc jumps to __wrap_malloc, and a call
// through __real_malloc (bound to that thunk) would come straight back.
#if defined(_WIN32)
// kernel32's two, declared here: <windows.h> would bring its macros into
// this program's other sources, which are compiled with this one as one.
extern "C" __declspec(dllimport) void* __stdcall GetModuleHandleW(const wchar_t* name);
extern "C" __declspec(dllimport) void* __stdcall GetProcAddress(void* module, const char* name);

namespace {
template <typename Function>
Function CrtEntry(const char* name) {
  void* crt = GetModuleHandleW(L"msvcrt.dll");
  void* entry = crt == nullptr ? nullptr : GetProcAddress(crt, name);
  if (entry == nullptr) std::abort();
  return reinterpret_cast<Function>(entry);
}
// Looked up on first use, with no guard: a guarded static could allocate
// while it is being set, and come back here.
void* (*g_malloc)(std::size_t) = nullptr;
void* (*g_calloc)(std::size_t, std::size_t) = nullptr;
void* (*g_realloc)(void*, std::size_t) = nullptr;
void* RealMalloc(std::size_t size) {
  if (g_malloc == nullptr) g_malloc = CrtEntry<void* (*)(std::size_t)>("malloc");
  return g_malloc(size);
}
void* RealCalloc(std::size_t count, std::size_t size) {
  if (g_calloc == nullptr) g_calloc = CrtEntry<void* (*)(std::size_t, std::size_t)>("calloc");
  return g_calloc(count, size);
}
void* RealRealloc(void* block, std::size_t size) {
  if (g_realloc == nullptr) g_realloc = CrtEntry<void* (*)(void*, std::size_t)>("realloc");
  return g_realloc(block, size);
}
}  // namespace
#else
extern "C" {
void* __real_malloc(std::size_t size);
void* __real_calloc(std::size_t count, std::size_t size);
void* __real_realloc(void* block, std::size_t size);
}
namespace {
void* RealMalloc(std::size_t size) { return __real_malloc(size); }
void* RealCalloc(std::size_t count, std::size_t size) { return __real_calloc(count, size); }
void* RealRealloc(void* block, std::size_t size) { return __real_realloc(block, size); }
}  // namespace
#endif

extern "C" {
void* WR_SIZE_NAME(__real__Znw, )(std::size_t size);
void* WR_SIZE_NAME(__real__Zna, )(std::size_t size);
void* WR_SIZE_NAME(__real__Znw, RKSt9nothrow_t)(std::size_t size, const std::nothrow_t& tag);
void* WR_SIZE_NAME(__real__Zna, RKSt9nothrow_t)(std::size_t size, const std::nothrow_t& tag);

void* __wrap_malloc(std::size_t size) {
  NoteAllocation();
  return RealMalloc(size);
}
void* __wrap_calloc(std::size_t count, std::size_t size) {
  NoteAllocation();
  return RealCalloc(count, size);
}
void* __wrap_realloc(void* block, std::size_t size) {
  NoteAllocation();
  return RealRealloc(block, size);
}
void* WR_SIZE_NAME(__wrap__Znw, )(std::size_t size) {
  NoteAllocation();
  return WR_SIZE_NAME(__real__Znw, )(size);
}
void* WR_SIZE_NAME(__wrap__Zna, )(std::size_t size) {
  NoteAllocation();
  return WR_SIZE_NAME(__real__Zna, )(size);
}
void* WR_SIZE_NAME(__wrap__Znw, RKSt9nothrow_t)(std::size_t size, const std::nothrow_t& tag) {
  NoteAllocation();
  return WR_SIZE_NAME(__real__Znw, RKSt9nothrow_t)(size, tag);
}
void* WR_SIZE_NAME(__wrap__Zna, RKSt9nothrow_t)(std::size_t size, const std::nothrow_t& tag) {
  NoteAllocation();
  return WR_SIZE_NAME(__real__Zna, RKSt9nothrow_t)(size, tag);
}
}

#undef WR_SIZE_NAME

namespace wr {
namespace {

using testing::FakeSystem;
using testing::TestConsole;

// Counts the allocations made while `writer`'s lock is held, for its life.
class AllocationWatch {
 public:
  AllocationWatch(const FakeSystem& os, ConsoleWriter& writer) {
    g_watch.allocations = 0;
    g_watch.os = &os;
    g_watch.writer = &writer;
  }
  ~AllocationWatch() { g_watch.writer = nullptr; }
  AllocationWatch(const AllocationWatch&) = delete;
  AllocationWatch& operator=(const AllocationWatch&) = delete;
  std::size_t count() const { return g_watch.allocations; }
};

// Runs one of the fake's calls marked as the system's own.
template <class Call>
auto Inside(Call&& call) {
  struct Mark {
    Mark() { ++g_watch.inside_system; }
    ~Mark() { --g_watch.inside_system; }
  } mark;
  return call();
}

// The fake with the calls the writer makes marked as the system's own, so
// that what the fake allocates to record them is not counted.
class WatchedSystem final : public FakeSystem {
 public:
  Dword GetLastError() override {
    return Inside([&] { return FakeSystem::GetLastError(); });
  }
  void SetLastError(Dword code) override {
    Inside([&] { FakeSystem::SetLastError(code); });
  }
  Dword RtlNtStatusToDosError(NtStatus status) override {
    return Inside([&] { return FakeSystem::RtlNtStatusToDosError(status); });
  }
  Handle GetModuleHandleW(const char16_t* name) override {
    return Inside([&] { return FakeSystem::GetModuleHandleW(name); });
  }
  Dword FormatMessageW(Dword flags, Handle source, Dword id, Dword language, char16_t* buffer, Dword size) override {
    return Inside([&] { return FakeSystem::FormatMessageW(flags, source, id, language, buffer, size); });
  }
  Handle GetStdHandle(Dword which) override {
    return Inside([&] { return FakeSystem::GetStdHandle(which); });
  }
  bool GetConsoleMode(Handle console, Dword* mode) override {
    return Inside([&] { return FakeSystem::GetConsoleMode(console, mode); });
  }
  int MultiByteToWideChar(Dword code_page, Dword flags, const char* bytes, int count, char16_t* units,
                          int room) override {
    return Inside([&] { return FakeSystem::MultiByteToWideChar(code_page, flags, bytes, count, units, room); });
  }
  bool WriteConsoleW(Handle console, const char16_t* units, Dword count, Dword* written) override {
    return Inside([&] { return FakeSystem::WriteConsoleW(console, units, count, written); });
  }
  NtStatus NtWriteFile(Handle file, IoStatusBlock* block, const void* data, Dword length) override {
    return Inside([&] { return FakeSystem::NtWriteFile(file, block, data, length); });
  }
  Dword WaitForSingleObject(Handle object, Dword milliseconds) override {
    return Inside([&] { return FakeSystem::WaitForSingleObject(object, milliseconds); });
  }
  bool WaitOnAddress(volatile void* address, const void* compare, std::size_t size, Dword milliseconds) override {
    return Inside([&] { return FakeSystem::WaitOnAddress(address, compare, size, milliseconds); });
  }
  void WakeByAddressSingle(void* address) override {
    Inside([&] { FakeSystem::WakeByAddressSingle(address); });
  }
  void WakeByAddressAll(void* address) override {
    Inside([&] { FakeSystem::WakeByAddressAll(address); });
  }
  Dword GetCurrentThreadId() override {
    return Inside([&] { return FakeSystem::GetCurrentThreadId(); });
  }
};

// Control bytes shown as escapes, the rest (Cyrillic included) as it is.
std::string Shown(const std::string& text) {
  std::string shown = "\"";
  for (char c : text) {
    if (c == '\n') shown += "\\n";
    else if (c == '\x1b') shown += "\\x1b";
    else if (c == '\x07') shown += "\\x07";
    else shown += c;
  }
  return shown + "\"";
}

struct RunCase {
  const char* name;
  bool console;               // standard output is a console; otherwise a file
  std::optional<Dword> dism;  // nullopt: DISM cannot be found
  std::optional<Dword> sfc;   // nullopt: sfc is not placed
};

void PrintTo(const RunCase& c, std::ostream* os) { *os << c.name; }

class MessageWrites : public ::testing::TestWithParam<RunCase> {};

// Every verdict's run, into a console and into a file. Both get the title as
// an escape sequence through the writer: the console accepts virtual-terminal
// mode, and for the file TERM is set.
TEST_P(MessageWrites, EndAtLineFeedsAndAllocateNothing) {
  const RunCase& c = GetParam();
  WatchedSystem os;
  const Handle out = c.console ? os.AddConsole() : os.AddFile();
  os.SetStd(STD_OUTPUT_HANDLE, out);
  os.SetStd(STD_INPUT_HANDLE, os.AddFile());
  if (c.console) os.conout = os.AddConsole();
  else os.SetEnv(u"TERM", u"xterm");
  if (c.dism) os.AddExisting(u"C:\\windows\\system32\\DISM.exe");
  if (c.sfc) os.AddExisting(u"C:\\windows\\system32\\sfc.exe");
  for (const std::optional<Dword>& code : {c.dism, c.sfc}) {
    if (code) os.exit_codes.push_back(*code);
  }

  TestConsole console(os);
  std::size_t allocations = 0;
  {
    AllocationWatch watch(os, console.Output());
    RunRepair(os, console);
    allocations = watch.count();
  }

  std::vector<std::string> writes;
  if (c.console) {
    for (const std::u16string& units : os.device(out).console_writes) writes.push_back(testing::Narrow(units));
  } else {
    writes = os.device(out).byte_writes;
  }
  // The title, the banner, an announcement and a verdict at the least.
  ASSERT_GE(writes.size(), 4u);
  for (std::size_t i = 0; i < writes.size(); ++i) {
    const std::string& text = writes[i];
    const bool whole_title = i == 0 && text.rfind("\x1b]0;", 0) == 0 && text.back() == '\x07';
    EXPECT_TRUE(whole_title || text.back() == '\n')
        << "write " << i + 1 << " of " << writes.size() << " ends inside a line: " << Shown(text)
        << (i + 1 < writes.size() ? "; the next write is " + Shown(writes[i + 1]) : std::string());
  }

  std::string where;
  for (std::size_t i = 0; i < allocations && i < std::size(g_watch.calls_before); ++i) {
    const std::size_t at = g_watch.calls_before[i];
    where += "\n  after system call " + std::to_string(at) + (at == 0 ? std::string() : " (" + os.calls[at - 1] + ")");
  }
  EXPECT_EQ(allocations, 0u) << "heap allocations while a message was written:" << where;
}

INSTANTIATE_TEST_SUITE_P(
    Runs, MessageWrites,
    ::testing::Values(RunCase{"ConsoleSuccess", true, 0, 0}, RunCase{"ConsoleToolFailed", true, 5, std::nullopt},
                      RunCase{"ConsoleAdvice", true, 3017, std::nullopt}, RunCase{"ConsoleReinstallOnly", true, 0, 2},
                      RunCase{"ConsoleLaunchFailed", true, std::nullopt, std::nullopt},
                      RunCase{"FileSuccess", false, 0, 0}, RunCase{"FileToolFailed", false, 5, std::nullopt},
                      RunCase{"FileAdvice", false, 3017, std::nullopt}, RunCase{"FileReinstallOnly", false, 0, 2},
                      RunCase{"FileLaunchFailed", false, std::nullopt, std::nullopt}),
    [](const auto& info) { return std::string(info.param.name); });

// The counter itself: each way of allocating is seen while the writer's lock
// is held. Without this, a build that lost the linker's --wrap would count
// nothing and pass the rows above whatever the writer did.
TEST(AllocationCounterTest, SeesEachAllocatorWhileTheWritersLockIsHeld) {
  struct Way {
    const char* name;
    void (*allocate)();
  };
  // Through a volatile pointer: the compiler may drop a malloc whose block is
  // never used.
  static void* volatile block = nullptr;
  const Way ways[] = {
      {"malloc",
       [] {
         block = std::malloc(24);
         std::free(block);
       }},
      {"calloc",
       [] {
         block = std::calloc(3, 8);
         std::free(block);
       }},
      {"realloc",
       [] {
         block = std::realloc(nullptr, 24);
         std::free(block);
       }},
      {"operator new", [] { ::operator delete(::operator new(24)); }},
      {"operator new[]", [] { ::operator delete[](::operator new[](24)); }},
      {"operator new (nothrow)", [] { ::operator delete(::operator new(24, std::nothrow)); }},
      {"operator new[] (nothrow)", [] { ::operator delete[](::operator new[](24, std::nothrow)); }},
  };
  for (const Way& way : ways) {
    SCOPED_TRACE(way.name);
    WatchedSystem os;
    ConsoleWriter writer(os);
    AllocationWatch watch(os, writer);
    way.allocate();
    EXPECT_EQ(watch.count(), 0u) << "counted without the lock";
    writer.lock().Lock(os);
    way.allocate();
    writer.lock().Unlock(os);
    EXPECT_GE(watch.count(), 1u);
  }
}

}  // namespace
}  // namespace wr
