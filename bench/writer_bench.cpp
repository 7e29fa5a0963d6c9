// Drives the standard-output writer over the program's own messages, once
// into a console and once into a file, and shows per message how many
// pieces and lines it has, how many device writes it took, whether any line
// was cut between two writes, and how many heap allocations the writer made
// per write.
//
// Allocations are counted for the whole process, but those made inside a
// system call (the stand-in system records every call in containers of its
// own) are left out: what remains is what the writer and the code above it
// allocate.

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <new>
#include <string>
#include <vector>

#include "console/console_writer.h"
#include "runtime/io_error.h"
#include "tests/unit/fake/fake_system.h"

namespace {

thread_local int t_inside_system = 0;
std::atomic<bool> g_counting{false};
std::atomic<std::size_t> g_allocations{0};

void NoteAllocation() {
  if (g_counting.load(std::memory_order_relaxed) && t_inside_system == 0) ++g_allocations;
}

}  // namespace

#if defined(__SANITIZE_ADDRESS__)
// The address sanitizer owns malloc and operator new; it reports every
// allocation, from either, to these hooks.
extern "C" int __sanitizer_install_malloc_and_free_hooks(void (*)(const volatile void*, std::size_t),
                                                         void (*)(const volatile void*));
namespace {
void OnMalloc(const volatile void*, std::size_t) { NoteAllocation(); }
void OnFree(const volatile void*) {}
void InstallAllocationCounter() { __sanitizer_install_malloc_and_free_hooks(OnMalloc, OnFree); }
}  // namespace
#else
// Without the sanitizer, the C allocator's entry points are taken over here
// and handed on to the C library's own.
extern "C" {
void* __libc_malloc(std::size_t);
void* __libc_calloc(std::size_t, std::size_t);
void* __libc_realloc(void*, std::size_t);
void __libc_free(void*);

void* malloc(std::size_t size) {
  NoteAllocation();
  return __libc_malloc(size);
}
void* calloc(std::size_t count, std::size_t size) {
  NoteAllocation();
  return __libc_calloc(count, size);
}
void* realloc(void* block, std::size_t size) {
  NoteAllocation();
  return __libc_realloc(block, size);
}
void free(void* block) { __libc_free(block); }
}
void* operator new(std::size_t size) {
  void* block = std::malloc(size == 0 ? 1 : size);
  if (block == nullptr) throw std::bad_alloc();
  return block;
}
void* operator new[](std::size_t size) { return operator new(size); }
void operator delete(void* block) noexcept { std::free(block); }
void operator delete[](void* block) noexcept { std::free(block); }
void operator delete(void* block, std::size_t) noexcept { std::free(block); }
void operator delete[](void* block, std::size_t) noexcept { std::free(block); }
namespace {
void InstallAllocationCounter() {}
}  // namespace
#endif

namespace {

using wr::Dword;
using wr::Handle;
using wr::IoStatusBlock;
using wr::NtStatus;

// Marks the calls the writer makes as the system's own, and counts the
// device writes and where each one ended.
class CountingSystem : public wr::testing::FakeSystem {
 public:
  struct Inside {
    Inside() { ++t_inside_system; }
    ~Inside() { --t_inside_system; }
  };

  Dword GetLastError() override {
    Inside in;
    return FakeSystem::GetLastError();
  }
  Dword RtlNtStatusToDosError(NtStatus status) override {
    Inside in;
    return FakeSystem::RtlNtStatusToDosError(status);
  }
  Handle GetModuleHandleW(const char16_t* name) override {
    Inside in;
    return FakeSystem::GetModuleHandleW(name);
  }
  Dword FormatMessageW(Dword flags, Handle source, Dword id, Dword language, char16_t* buffer, Dword size) override {
    Inside in;
    return FakeSystem::FormatMessageW(flags, source, id, language, buffer, size);
  }
  Handle GetStdHandle(Dword which) override {
    Inside in;
    return FakeSystem::GetStdHandle(which);
  }
  bool GetConsoleMode(Handle console, Dword* mode) override {
    Inside in;
    return FakeSystem::GetConsoleMode(console, mode);
  }
  int MultiByteToWideChar(Dword codePage, Dword flags, const char* bytes, int count, char16_t* units,
                          int room) override {
    Inside in;
    return FakeSystem::MultiByteToWideChar(codePage, flags, bytes, count, units, room);
  }
  bool WriteConsoleW(Handle console, const char16_t* units, Dword count, Dword* written) override {
    Inside in;
    const bool ok = FakeSystem::WriteConsoleW(console, units, count, written);
    if (ok) {
      ++device_writes;
      const std::u16string& screen = device(console).screen;
      ended_at_line_feed.push_back(!screen.empty() && screen.back() == u'\n');
    }
    return ok;
  }
  NtStatus NtWriteFile(Handle file, IoStatusBlock* block, const void* data, Dword length) override {
    Inside in;
    const NtStatus status = FakeSystem::NtWriteFile(file, block, data, length);
    if (status >= 0) {
      ++device_writes;
      const std::string& bytes = device(file).bytes;
      ended_at_line_feed.push_back(!bytes.empty() && bytes.back() == '\n');
    }
    return status;
  }
  Dword WaitForSingleObject(Handle object, Dword milliseconds) override {
    Inside in;
    return FakeSystem::WaitForSingleObject(object, milliseconds);
  }
  bool WaitOnAddress(volatile void* address, const void* compare, std::size_t size, Dword ms) override {
    Inside in;
    return FakeSystem::WaitOnAddress(address, compare, size, ms);
  }
  void WakeByAddressSingle(void* address) override {
    Inside in;
    FakeSystem::WakeByAddressSingle(address);
  }
  Dword GetCurrentThreadId() override {
    Inside in;
    return FakeSystem::GetCurrentThreadId();
  }

  std::size_t device_writes = 0;
  std::vector<bool> ended_at_line_feed;
};

// Counts the pieces a composed message hands to the writer's sink.
class CountingSink final : public wr::TextSink {
 public:
  CountingSink(wr::TextSink& inner, std::size_t& pieces, std::size_t& bytes, std::size_t& lines)
      : inner_(inner), pieces_(pieces), bytes_(bytes), lines_(lines) {}
  bool Append(std::string_view text) override {
    ++pieces_;
    bytes_ += text.size();
    for (char c : text) lines_ += c == '\n';
    return inner_.Append(text);
  }

 private:
  wr::TextSink& inner_;
  std::size_t& pieces_;
  std::size_t& bytes_;
  std::size_t& lines_;
};

// The program's texts.
const std::string kPublisher = "publisher-text16";  // 16 one-byte characters
const std::string kTitlePrefix = "Утилита восстановления windows от ";
const std::string kDismCommand = "DISM /Online /Cleanup-image /Restorehealth";
const std::string kSfcCommand = "sfc /scannow";
const std::string kEscHint = "Если кликнул в окно и всё зависло или пишет \"Выбор\" - нажми ESC!";
const std::string kToolFailed = "Встроенное в windows средство устранения неполадок не сработало!";
const std::string kReinstall = "В этом случае поможет только переустановка windows";
const std::string kLaunchFailed = "Не удалось запустить встроенное в windows средство устранения неполадок";
const std::string kSuccess = "\n    Отлично! Осталось перезагрузить windows!\n";
const std::string kStage1 = "\n\n    1й из 2х этапов: `";
const std::string kStage2 = "\n\n    2й из 2х этапов: `";

std::string BannerHead() {
  const std::string rule(58, '-');
  const std::string blank = "    |" + std::string(58, ' ') + "|";
  return "\n    ." + rule + ".\n" + blank + "\n    |    " + kTitlePrefix;
}

std::string BannerTail() {
  const std::string rule(58, '-');
  const std::string blank = "    |" + std::string(58, ' ') + "|";
  return "    |\n    |   Играй в наши пвп, пве шутеры в кубических вселенных!   |\n" + blank + "\n    '" + rule +
         "'\n    \n";
}

struct Row {
  std::string name;
  std::size_t pieces = 0;
  std::size_t bytes = 0;
  std::size_t lines = 0;
  std::size_t console_writes = 0;
  std::size_t file_writes = 0;
  std::size_t cut_lines = 0;
  std::size_t allocations = 0;
};

// One message of the transcript: sends itself and counts its pieces, bytes
// and lines.
using Send = void (*)(wr::ConsoleWriter& writer, wr::System& os, std::size_t& pieces, std::size_t& bytes,
                      std::size_t& lines);

void CountPieces(std::initializer_list<std::string_view> pieces, std::size_t& count, std::size_t& bytes,
                 std::size_t& lines) {
  for (std::string_view piece : pieces) {
    ++count;
    bytes += piece.size();
    for (char c : piece) lines += c == '\n';
  }
}

void PrintCounted(wr::ConsoleWriter& writer, std::initializer_list<std::string_view> pieces, std::size_t& count,
                  std::size_t& bytes, std::size_t& lines) {
  CountPieces(pieces, count, bytes, lines);
  writer.Print(pieces);
}

const std::string kTitle = kTitlePrefix + kPublisher;
const std::string kBannerHead = BannerHead();
const std::string kBannerTail = BannerTail();

const std::pair<const char*, Send> kTranscript[] = {
    {"title (escape form)",
     [](wr::ConsoleWriter& w, wr::System&, std::size_t& p, std::size_t& b, std::size_t& l) {
       CountPieces({"\x1b]0;", kTitle, "\x07"}, p, b, l);
       (void)w.WriteAll("\x1b]0;");
       (void)w.WriteAll(kTitle);
       (void)w.WriteAll("\x07");
       (void)w.Flush();
     }},
    {"banner",
     [](wr::ConsoleWriter& w, wr::System&, std::size_t& p, std::size_t& b, std::size_t& l) {
       PrintCounted(w, {kBannerHead, kPublisher, kBannerTail}, p, b, l);
     }},
    {"stage 1 announcement",
     [](wr::ConsoleWriter& w, wr::System&, std::size_t& p, std::size_t& b, std::size_t& l) {
       PrintCounted(w, {kStage1, kDismCommand, "`\n\n    ", kEscHint, "\n\n"}, p, b, l);
     }},
    {"stage 2 announcement",
     [](wr::ConsoleWriter& w, wr::System&, std::size_t& p, std::size_t& b, std::size_t& l) {
       PrintCounted(w, {kStage2, kSfcCommand, "`\n\n    ", kEscHint, "\n\n"}, p, b, l);
     }},
    {"success verdict", [](wr::ConsoleWriter& w, wr::System&, std::size_t& p, std::size_t& b,
                           std::size_t& l) { PrintCounted(w, {kSuccess}, p, b, l); }},
    {"tool-failed verdict",
     [](wr::ConsoleWriter& w, wr::System&, std::size_t& p, std::size_t& b, std::size_t& l) {
       PrintCounted(w, {"\n    ", kToolFailed, "!\n\n    ", kReinstall, "!\n"}, p, b, l);
     }},
    {"reinstall-only verdict",
     [](wr::ConsoleWriter& w, wr::System&, std::size_t& p, std::size_t& b, std::size_t& l) {
       PrintCounted(w, {"\n    ", kReinstall, "\n"}, p, b, l);
     }},
    {"launch-failure verdict",
     [](wr::ConsoleWriter& w, wr::System& os, std::size_t& p, std::size_t& b, std::size_t& l) {
       const wr::IoError error = wr::IoError::FromOsCode(2);
       w.PrintComposed([&](wr::TextSink& sink) {
         CountingSink counted(sink, p, b, l);
         counted.Append("\n    ");
         counted.Append(kLaunchFailed);
         counted.Append(":\n");
         wr::DisplayText(os, error, counted);
         counted.Append("\n\n    ");
         counted.Append(kReinstall);
         counted.Append("!\n");
       });
     }},
};

std::vector<Row> RunTranscript(bool console) {
  CountingSystem os;
  os.system_messages[2] = u"The system cannot find the file specified.\r\n";
  const Handle out = console ? os.AddConsole() : os.AddFile();
  os.SetStd(wr::STD_OUTPUT_HANDLE, out);
  wr::ConsoleWriter writer(os);

  std::vector<Row> rows;
  for (const auto& [name, send] : kTranscript) {
    Row row;
    row.name = name;
    const std::size_t writes_before = os.device_writes;
    const std::size_t marks_before = os.ended_at_line_feed.size();
    g_allocations = 0;
    g_counting = true;
    send(writer, os, row.pieces, row.bytes, row.lines);
    g_counting = false;
    row.allocations = g_allocations;
    const std::size_t writes = os.device_writes - writes_before;
    (console ? row.console_writes : row.file_writes) = writes;
    // A write that is not the message's last and does not end at a line
    // feed leaves a line cut in two.
    for (std::size_t i = marks_before; i + 1 < os.ended_at_line_feed.size(); ++i) {
      row.cut_lines += !os.ended_at_line_feed[i];
    }
    rows.push_back(row);
  }
  return rows;
}

}  // namespace

int main() {
  InstallAllocationCounter();

  // The writer's one allocation: its buffer, when it is created.
  wr::testing::FakeSystem creation_os;
  g_allocations = 0;
  g_counting = true;
  {
    wr::ConsoleWriter writer(creation_os);
    g_counting = false;
  }
  const std::size_t creation_allocations = g_allocations;

  const std::vector<Row> console_rows = RunTranscript(true);
  const std::vector<Row> file_rows = RunTranscript(false);

  std::printf("writer created with %zu allocation(s); buffer %zu bytes\n\n", creation_allocations,
              wr::ConsoleWriter::kCapacity);
  std::printf("%-24s %6s %6s %6s %9s %9s %9s %12s\n", "message", "pieces", "bytes", "lines", "console", "file",
              "cut lines", "allocs/write");
  std::printf("%-24s %6s %6s %6s %9s %9s %9s %12s\n", "", "", "", "", "writes", "writes", "", "");
  std::size_t total_writes = 0, total_allocations = 0, total_cut = 0;
  for (std::size_t i = 0; i < console_rows.size(); ++i) {
    const Row& c = console_rows[i];
    const Row& f = file_rows[i];
    const std::size_t writes = c.console_writes + f.file_writes;
    const std::size_t allocations = c.allocations + f.allocations;
    std::printf("%-24s %6zu %6zu %6zu %9zu %9zu %9zu %12.2f\n", c.name.c_str(), c.pieces, c.bytes, c.lines,
                c.console_writes, f.file_writes, c.cut_lines + f.cut_lines,
                writes == 0 ? 0.0 : static_cast<double>(allocations) / static_cast<double>(writes));
    total_writes += writes;
    total_allocations += allocations;
    total_cut += c.cut_lines + f.cut_lines;
  }
  std::printf("\n%zu device writes, %zu allocations by the writer, %zu lines cut between writes\n", total_writes,
              total_allocations, total_cut);
  return 0;
}
