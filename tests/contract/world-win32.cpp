// The contract's world on the real system: a scratch directory under %TEMP%
// (the current directory while a case runs, removed afterwards), real
// files, pipes, environment variables and the companion child, which is
// found next to this program. Nothing of the build machine is compiled in,
// so the program runs unchanged wherever it is copied with its child.
#include <algorithm>
#include <map>
#include <string>
#include <vector>

#include "platform/system-win32.h"
#include "platform/win32.h"
#include "tests/contract/world.h"

namespace wr::contract {
namespace {

const wchar_t* W(const std::u16string& s) { return reinterpret_cast<const wchar_t*>(s.c_str()); }
std::u16string U(const wchar_t* s) { return std::u16string(reinterpret_cast<const char16_t*>(s)); }

std::u16string ModuleDirectory() {
  std::vector<wchar_t> room(32768);
  const DWORD n = ::GetModuleFileNameW(nullptr, room.data(), static_cast<DWORD>(room.size()));
  std::u16string path = U(room.data()).substr(0, n);
  return path.substr(0, path.rfind(u'\\'));
}

bool OnWine() {
  const HMODULE ntdll = ::GetModuleHandleW(L"ntdll.dll");
  return ntdll != nullptr && ::GetProcAddress(ntdll, "wine_get_version") != nullptr;
}

void RemoveTree(const std::u16string& directory) {
  WIN32_FIND_DATAW found;
  const std::u16string pattern = directory + u"\\*";
  HANDLE search = ::FindFirstFileW(W(pattern), &found);
  if (search != INVALID_HANDLE_VALUE) {
    do {
      const std::u16string name = U(found.cFileName);
      if (name == u"." || name == u"..") continue;
      const std::u16string path = directory + u"\\" + name;
      if ((found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
        RemoveTree(path);
      } else {
        ::SetFileAttributesW(W(path), FILE_ATTRIBUTE_NORMAL);
        ::DeleteFileW(W(path));
      }
    } while (::FindNextFileW(search, &found));
    ::FindClose(search);
  }
  ::RemoveDirectoryW(W(directory));
}

// Where this program's calls of CreateProcessW leave it: the slot of its own
// import table that the loader filled with the system's function. A
// function put there sees each call exactly as Win32System made it, start-up
// block and all, and hands it on unchanged.
using CreateProcessWFunction = decltype(&::CreateProcessW);
CreateProcessWFunction g_system_create_process = nullptr;
std::vector<Dword> g_startup_sizes;

BOOL WINAPI NoteStartupSize(LPCWSTR application, LPWSTR command_line, LPSECURITY_ATTRIBUTES process,
                            LPSECURITY_ATTRIBUTES thread, BOOL inherit, DWORD flags, LPVOID environment,
                            LPCWSTR directory, LPSTARTUPINFOW startup, LPPROCESS_INFORMATION information) {
  g_startup_sizes.push_back(startup != nullptr ? startup->cb : 0);
  return g_system_create_process(application, command_line, process, thread, inherit, flags, environment, directory,
                                 startup, information);
}

// The import slot of `function` from `dll` in this program's own image, or
// null. The names come from the lookup table, which the loader leaves as
// the linker wrote it.
void** OwnImportSlot(const char* dll, const char* function) {
  auto* base = reinterpret_cast<unsigned char*>(::GetModuleHandleW(nullptr));
  const auto* dos = reinterpret_cast<const IMAGE_DOS_HEADER*>(base);
  const auto* nt = reinterpret_cast<const IMAGE_NT_HEADERS*>(base + dos->e_lfanew);
  const IMAGE_DATA_DIRECTORY& imports = nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_IMPORT];
  if (imports.VirtualAddress == 0) return nullptr;
  for (auto* d = reinterpret_cast<IMAGE_IMPORT_DESCRIPTOR*>(base + imports.VirtualAddress); d->Name != 0; ++d) {
    if (::lstrcmpiA(reinterpret_cast<const char*>(base + d->Name), dll) != 0 || d->OriginalFirstThunk == 0) continue;
    auto* names = reinterpret_cast<IMAGE_THUNK_DATA*>(base + d->OriginalFirstThunk);
    auto* slots = reinterpret_cast<IMAGE_THUNK_DATA*>(base + d->FirstThunk);
    for (; names->u1.AddressOfData != 0; ++names, ++slots) {
      if (IMAGE_SNAP_BY_ORDINAL(names->u1.Ordinal)) continue;
      const auto* by_name = reinterpret_cast<const IMAGE_IMPORT_BY_NAME*>(base + names->u1.AddressOfData);
      if (::lstrcmpA(reinterpret_cast<const char*>(by_name->Name), function) == 0) {
        return reinterpret_cast<void**>(&slots->u1.Function);
      }
    }
  }
  return nullptr;
}

bool SetImportSlot(void** slot, void* value) {
  DWORD old = 0;
  if (!::VirtualProtect(slot, sizeof *slot, PAGE_READWRITE, &old)) return false;
  *slot = value;
  ::VirtualProtect(slot, sizeof *slot, old, &old);
  return true;
}

class Win32World : public World {
 public:
  Win32World() {
    wchar_t temp[MAX_PATH + 1];
    const DWORD n = ::GetTempPathW(MAX_PATH + 1, temp);
    std::u16string base = U(temp).substr(0, n);
    if (!base.empty() && base.back() == u'\\') base.pop_back();
    static unsigned counter = 0;
    const std::u16string name = base + u"\\wr-contract-" + Number(::GetCurrentProcessId()) + u"-" + Number(++counter);
    ::CreateDirectoryW(W(name), nullptr);
    previous_directory_ = CurrentDirectory();
    ::SetCurrentDirectoryW(W(name));
    scratch_ = CurrentDirectory();
    if (scratch_.size() > 3 && scratch_.back() == u'\\') scratch_.pop_back();
  }

  ~Win32World() override {
    for (HANDLE child : children_) {
      ::TerminateProcess(child, 1);
      ::WaitForSingleObject(child, 5000);
      ::CloseHandle(child);
    }
    for (const auto& [name, value] : saved_env_) {
      ::SetEnvironmentVariableW(W(name), value.first ? W(value.second) : nullptr);
    }
    ::SetCurrentDirectoryW(W(previous_directory_));
    RemoveTree(scratch_);
  }

  System& os() override { return system_; }
  bool wine() const override { return OnWine(); }
  std::u16string scratch() const override { return scratch_; }

  void SetEnv(std::u16string_view name, std::u16string_view value) override {
    Save(name);
    ::SetEnvironmentVariableW(W(std::u16string(name)), W(std::u16string(value)));
  }
  void UnsetEnv(std::u16string_view name) override {
    Save(name);
    ::SetEnvironmentVariableW(W(std::u16string(name)), nullptr);
  }

  void MakeFile(std::u16string_view name, std::string_view bytes) override {
    HANDLE file =
        ::CreateFileW(W(Inside(name)), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    EXPECT_NE(file, INVALID_HANDLE_VALUE) << "error " << ::GetLastError();
    DWORD written = 0;
    ::WriteFile(file, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr);
    ::CloseHandle(file);
  }
  void MakeDirectory(std::u16string_view name) override {
    EXPECT_TRUE(::CreateDirectoryW(W(Inside(name)), nullptr)) << "error " << ::GetLastError();
  }
  Handle OpenForReading(std::u16string_view name) override {
    HANDLE file = ::CreateFileW(W(Inside(name)), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                OPEN_EXISTING, 0, nullptr);
    EXPECT_NE(file, INVALID_HANDLE_VALUE) << "error " << ::GetLastError();
    return file;
  }

  PipeEnds MakePipe() override {
    HANDLE read = nullptr;
    HANDLE write = nullptr;
    EXPECT_TRUE(::CreatePipe(&read, &write, nullptr, 0)) << "error " << ::GetLastError();
    return {read, write};
  }
  // A named pipe: the reading end is the server, synchronous, with an
  // inbound buffer of `capacity`; the writing end is opened overlapped.
  PipeEnds MakeOverlappedPipe(Dword capacity) override {
    static unsigned counter = 0;
    const std::u16string name =
        u"\\\\.\\pipe\\wr-contract-" + Number(::GetCurrentProcessId()) + u"-" + Number(++counter);
    HANDLE read = ::CreateNamedPipeW(W(name), PIPE_ACCESS_INBOUND | FILE_FLAG_FIRST_PIPE_INSTANCE,
                                     PIPE_TYPE_BYTE | PIPE_READMODE_BYTE | PIPE_WAIT, 1, 0, capacity, 0, nullptr);
    EXPECT_NE(read, INVALID_HANDLE_VALUE) << "error " << ::GetLastError();
    HANDLE write = ::CreateFileW(W(name), GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, FILE_FLAG_OVERLAPPED, nullptr);
    EXPECT_NE(write, INVALID_HANDLE_VALUE) << "error " << ::GetLastError();
    return {read, write};
  }
  std::string Drain(Handle read, std::size_t count) override {
    std::string out;
    while (out.size() < count) {
      char room[4096];
      DWORD got = 0;
      const DWORD want = static_cast<DWORD>(std::min<std::size_t>(sizeof room, count - out.size()));
      if (!::ReadFile(read, room, want, &got, nullptr) || got == 0) break;
      out.append(room, got);
    }
    return out;
  }

  std::u16string child_program() const override { return ModuleDirectory() + u"\\contract_child.exe"; }
  void EndChild(Handle process) override { ::TerminateProcess(process, 1); }

  bool HasConsole() override {
    HANDLE h = ::CreateFileW(L"CONOUT$", GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                             OPEN_EXISTING, 0, nullptr);
    if (h == INVALID_HANDLE_VALUE) return false;
    ::CloseHandle(h);
    return true;
  }
  Handle OpenConsoleOutput() override { return OpenConsole(u"CONOUT$"); }
  Handle OpenConsoleInput() override { return OpenConsole(u"CONIN$"); }
  // Key-down and key-up records, as the keyboard gives them.
  void Type(Handle input, std::u16string_view keys) override {
    std::vector<INPUT_RECORD> records;
    for (char16_t c : keys) {
      INPUT_RECORD down{};
      down.EventType = KEY_EVENT;
      down.Event.KeyEvent.bKeyDown = TRUE;
      down.Event.KeyEvent.wRepeatCount = 1;
      down.Event.KeyEvent.uChar.UnicodeChar = static_cast<WCHAR>(c);
      if (c == u'\r') {
        down.Event.KeyEvent.wVirtualKeyCode = VK_RETURN;
      } else if (c < 0x20) {
        down.Event.KeyEvent.wVirtualKeyCode = static_cast<WORD>('A' + c - 1);
        down.Event.KeyEvent.dwControlKeyState = LEFT_CTRL_PRESSED;
      } else if (c >= u'a' && c <= u'z') {
        down.Event.KeyEvent.wVirtualKeyCode = static_cast<WORD>(c - u'a' + 'A');
      }
      INPUT_RECORD up = down;
      up.Event.KeyEvent.bKeyDown = FALSE;
      records.push_back(down);
      records.push_back(up);
    }
    DWORD written = 0;
    EXPECT_TRUE(::WriteConsoleInputW(input, records.data(), static_cast<DWORD>(records.size()), &written))
        << "error " << ::GetLastError();
  }

  std::u16string ConsoleTitle() override {
    wchar_t room[1024] = {};
    ::GetConsoleTitleW(room, 1024);
    return U(room);
  }

  void WatchStartupSizes() override {
    g_startup_sizes.clear();
    if (g_system_create_process != nullptr) return;
    void** slot = OwnImportSlot("kernel32.dll", "CreateProcessW");
    ASSERT_NE(slot, nullptr) << "this program imports no CreateProcessW from kernel32.dll";
    g_system_create_process = reinterpret_cast<CreateProcessWFunction>(*slot);
    if (!SetImportSlot(slot, reinterpret_cast<void*>(&NoteStartupSize))) {
      const DWORD error = ::GetLastError();
      g_system_create_process = nullptr;
      FAIL() << "the import slot stays read-only: error " << error;
    }
  }
  std::vector<Dword> StartupSizesSeen() override { return g_startup_sizes; }

  // The child is started detached, with null standard handles and nothing
  // inherited; its exit code is AskWithoutConsole's answer there.
  Dword RunWithoutConsole() override {
    std::u16string line(1, u'"');
    line += child_program();
    line += u"\" noconsole";
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    PROCESS_INFORMATION info{};
    if (!::CreateProcessW(W(child_program()), reinterpret_cast<wchar_t*>(line.data()), nullptr, nullptr, FALSE,
                          DETACHED_PROCESS, nullptr, nullptr, &startup, &info)) {
      ADD_FAILURE() << "the child did not start: error " << ::GetLastError();
      return kConoutOpened;
    }
    ::WaitForSingleObject(info.hProcess, 10000);
    DWORD code = kConoutOpened;
    ::GetExitCodeProcess(info.hProcess, &code);
    ::CloseHandle(info.hThread);
    ::CloseHandle(info.hProcess);
    return code;
  }

 private:
  static std::u16string Number(unsigned long value) {
    std::u16string out;
    do {
      out.insert(out.begin(), static_cast<char16_t>(u'0' + value % 10));
      value /= 10;
    } while (value != 0);
    return out;
  }
  static std::u16string CurrentDirectory() {
    wchar_t room[MAX_PATH + 1];
    const DWORD n = ::GetCurrentDirectoryW(MAX_PATH + 1, room);
    return U(room).substr(0, n);
  }
  static Handle OpenConsole(const char16_t* name) {
    HANDLE h = ::CreateFileW(reinterpret_cast<const wchar_t*>(name), GENERIC_READ | GENERIC_WRITE,
                             FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0, nullptr);
    EXPECT_NE(h, INVALID_HANDLE_VALUE) << "no console: the RealConsole cases run inside one (error " << ::GetLastError()
                                       << ")";
    return h;
  }
  std::u16string Inside(std::u16string_view name) const { return scratch_ + u"\\" + std::u16string(name); }
  void Save(std::u16string_view name) {
    const std::u16string key(name);
    if (saved_env_.count(key) != 0) return;
    wchar_t room[32768];
    ::SetLastError(0);
    const DWORD n = ::GetEnvironmentVariableW(W(key), room, 32768);
    const bool present = n != 0 || ::GetLastError() != ERROR_ENVVAR_NOT_FOUND;
    saved_env_[key] = {present, U(room).substr(0, n)};
  }

  Win32System system_;
  std::u16string scratch_;
  std::u16string previous_directory_;
  std::map<std::u16string, std::pair<bool, std::u16string>> saved_env_;
  std::vector<HANDLE> children_;
};

}  // namespace

std::unique_ptr<World> MakeWorld() { return std::make_unique<Win32World>(); }

}  // namespace wr::contract
