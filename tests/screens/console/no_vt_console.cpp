// Runs winrepair.exe, found beside this program, in this program's console
// as a console without virtual-terminal processing would have it (Windows 7
// and 8, or "Use legacy console" on later versions): SetConsoleMode refuses
// every mode that holds ENABLE_VIRTUAL_TERMINAL_PROCESSING and fails with
// ERROR_INVALID_PARAMETER, while any other mode goes to the system. Ends
// with the program's exit code.
//
// Wine's console takes every mode, so the refusal goes where the program's
// calls leave it: its import slot for SetConsoleMode. The program is the
// released one, unchanged on disk. Started with this program as its
// debugger, it stops on a breakpoint at its entry point, where the loader
// has filled the import table and none of its own code has run yet; the
// slot then gets a small function in the program's memory that refuses the
// mode or jumps on to the system's function, the program goes on from its
// entry point, and the debugger detaches. Test-only: the console tests use
// it to see the title go out through SetConsoleTitleW under Wine.
#include <windows.h>

#include <cstdint>
#include <cstdio>

namespace {

[[noreturn]] void Fail(const char* what) {
  std::fprintf(stderr, "no_vt_console: %s failed: error %lu\n", what, GetLastError());
  ExitProcess(0xE2E1001u);
}

bool Read(HANDLE process, std::uintptr_t at, void* out, SIZE_T size) {
  SIZE_T got = 0;
  return ReadProcessMemory(process, reinterpret_cast<LPCVOID>(at), out, size, &got) != FALSE && got == size;
}

// Code and import slots are read-only once loaded; each write opens its
// pages for the moment.
bool Write(HANDLE process, std::uintptr_t at, const void* data, SIZE_T size) {
  auto* address = reinterpret_cast<LPVOID>(at);
  DWORD old = 0;
  if (!VirtualProtectEx(process, address, size, PAGE_EXECUTE_READWRITE, &old)) return false;
  SIZE_T put = 0;
  const bool ok = WriteProcessMemory(process, address, data, size, &put) != FALSE && put == size;
  VirtualProtectEx(process, address, size, old, &old);
  FlushInstructionCache(process, address, size);
  return ok;
}

// A zero-terminated name of at most 63 characters, read a byte at a time so
// as never to reach past the end of the image.
bool ReadName(HANDLE process, std::uintptr_t at, char (&name)[64]) {
  for (std::size_t i = 0; i + 1 < sizeof name; ++i) {
    if (!Read(process, at + i, &name[i], 1)) return false;
    if (name[i] == '\0') return true;
  }
  name[sizeof name - 1] = '\0';
  return true;
}

IMAGE_NT_HEADERS64 Headers(HANDLE process, std::uintptr_t base) {
  IMAGE_DOS_HEADER dos{};
  IMAGE_NT_HEADERS64 nt{};
  if (!Read(process, base, &dos, sizeof dos) || !Read(process, base + dos.e_lfanew, &nt, sizeof nt)) {
    Fail("reading the program's headers");
  }
  return nt;
}

// The address of the image's import slot for `function` from `dll`.
std::uintptr_t ImportSlot(HANDLE process, std::uintptr_t base, const char* dll, const char* function) {
  const IMAGE_DATA_DIRECTORY imports =
      Headers(process, base).OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_IMPORT];
  for (std::uintptr_t at = base + imports.VirtualAddress;; at += sizeof(IMAGE_IMPORT_DESCRIPTOR)) {
    IMAGE_IMPORT_DESCRIPTOR descriptor{};
    if (!Read(process, at, &descriptor, sizeof descriptor)) Fail("reading the import table");
    if (descriptor.Name == 0) break;
    char name[64];
    if (!ReadName(process, base + descriptor.Name, name)) Fail("reading an imported module's name");
    if (lstrcmpiA(name, dll) != 0 || descriptor.OriginalFirstThunk == 0) continue;
    for (std::uintptr_t i = 0;; ++i) {
      ULONGLONG entry = 0;
      if (!Read(process, base + descriptor.OriginalFirstThunk + i * sizeof entry, &entry, sizeof entry)) {
        Fail("reading the import lookup table");
      }
      if (entry == 0) break;
      if ((entry & IMAGE_ORDINAL_FLAG64) != 0) continue;
      // IMAGE_IMPORT_BY_NAME: a 16-bit hint, then the name.
      if (!ReadName(process, base + static_cast<std::uintptr_t>(entry) + 2, name)) Fail("reading an import's name");
      if (lstrcmpA(name, function) == 0) return base + descriptor.FirstThunk + i * sizeof entry;
    }
  }
  return 0;
}

// Puts the refusing SetConsoleMode into the program's import slot.
void RefuseVirtualTerminal(HANDLE process, std::uintptr_t base) {
  const std::uintptr_t slot = ImportSlot(process, base, "kernel32.dll", "SetConsoleMode");
  if (slot == 0) {
    SetLastError(ERROR_PROC_NOT_FOUND);
    Fail("finding the program's import of SetConsoleMode");
  }
  std::uint64_t system = 0;
  if (!Read(process, slot, &system, sizeof system)) Fail("reading the SetConsoleMode slot");
  // SetConsoleMode(handle in rcx, mode in edx):
  //   test edx, ENABLE_VIRTUAL_TERMINAL_PROCESSING ; jnz refuse
  //   mov rax, <the system's SetConsoleMode> ; jmp rax
  // refuse:
  //   mov dword ptr gs:[0x68], ERROR_INVALID_PARAMETER   (the TEB's LastErrorValue)
  //   xor eax, eax ; ret
  // One row an instruction, as listed above; the formatter would pour them
  // into columns.
  // clang-format off
  unsigned char code[] = {
      0xF7, 0xC2, 0x04, 0x00, 0x00, 0x00,                          // test edx, 4
      0x75, 0x0C,                                                  // jnz refuse
      0x48, 0xB8, 0, 0, 0, 0, 0, 0, 0, 0,                          // mov rax, imm64 (filled in below)
      0xFF, 0xE0,                                                  // jmp rax
      0x65, 0xC7, 0x04, 0x25, 0x68, 0x00, 0x00, 0x00, 0x57, 0x00, 0x00, 0x00,  // mov dword ptr gs:[0x68], 87
      0x31, 0xC0,                                                  // xor eax, eax
      0xC3,                                                        // ret
  };
  // clang-format on
  for (int i = 0; i < 8; ++i) code[10 + i] = static_cast<unsigned char>(system >> (8 * i));
  void* stub = VirtualAllocEx(process, nullptr, sizeof code, MEM_COMMIT | MEM_RESERVE, PAGE_EXECUTE_READWRITE);
  if (stub == nullptr) Fail("VirtualAllocEx");
  const auto stub_address = reinterpret_cast<std::uintptr_t>(stub);
  if (!Write(process, stub_address, code, sizeof code)) Fail("writing the refusing SetConsoleMode");
  if (!Write(process, slot, &stub_address, sizeof stub_address)) Fail("writing the SetConsoleMode slot");
}

}  // namespace

int main() {
  static wchar_t program[MAX_PATH + 32];
  const DWORD n = GetModuleFileNameW(nullptr, program, MAX_PATH);
  if (n == 0 || n >= MAX_PATH) Fail("GetModuleFileNameW");
  wchar_t* slash = program;
  for (wchar_t* p = program; *p != L'\0'; ++p) {
    if (*p == L'\\') slash = p + 1;
  }
  lstrcpyW(slash, L"winrepair.exe");
  static wchar_t line[MAX_PATH + 40];
  lstrcpyW(line, L"\"");
  lstrcatW(line, program);
  lstrcatW(line, L"\"");

  // Its standard handles are this program's, its console this one.
  STARTUPINFOW startup{};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION started{};
  if (!CreateProcessW(program, line, nullptr, nullptr, TRUE, DEBUG_ONLY_THIS_PROCESS, nullptr, nullptr, &startup,
                      &started)) {
    Fail("starting winrepair.exe");
  }

  std::uintptr_t base = 0;
  std::uintptr_t entry = 0;
  unsigned char first = 0;
  for (bool ready = false; !ready;) {
    DEBUG_EVENT event{};
    if (!WaitForDebugEvent(&event, INFINITE)) Fail("WaitForDebugEvent");
    DWORD status = DBG_CONTINUE;
    switch (event.dwDebugEventCode) {
      case CREATE_PROCESS_DEBUG_EVENT: {
        if (event.u.CreateProcessInfo.hFile != nullptr) CloseHandle(event.u.CreateProcessInfo.hFile);
        base = reinterpret_cast<std::uintptr_t>(event.u.CreateProcessInfo.lpBaseOfImage);
        entry = base + Headers(started.hProcess, base).OptionalHeader.AddressOfEntryPoint;
        const unsigned char breakpoint = 0xCC;
        if (!Read(started.hProcess, entry, &first, 1) || !Write(started.hProcess, entry, &breakpoint, 1)) {
          Fail("setting the breakpoint on the entry point");
        }
        break;
      }
      case LOAD_DLL_DEBUG_EVENT:
        if (event.u.LoadDll.hFile != nullptr) CloseHandle(event.u.LoadDll.hFile);
        break;
      case EXCEPTION_DEBUG_EVENT: {
        const EXCEPTION_RECORD& record = event.u.Exception.ExceptionRecord;
        if (record.ExceptionCode == EXCEPTION_BREAKPOINT &&
            reinterpret_cast<std::uintptr_t>(record.ExceptionAddress) == entry) {
          if (!Write(started.hProcess, entry, &first, 1)) Fail("removing the breakpoint");
          HANDLE thread = OpenThread(THREAD_GET_CONTEXT | THREAD_SET_CONTEXT, FALSE, event.dwThreadId);
          if (thread == nullptr) Fail("OpenThread");
          CONTEXT context{};
          context.ContextFlags = CONTEXT_CONTROL;
          if (!GetThreadContext(thread, &context)) Fail("GetThreadContext");
          context.Rip = entry;
          if (!SetThreadContext(thread, &context)) Fail("SetThreadContext");
          CloseHandle(thread);
          RefuseVirtualTerminal(started.hProcess, base);
          ready = true;
        } else if (record.ExceptionCode != EXCEPTION_BREAKPOINT) {
          // Not ours to handle: the program's own handlers see it as usual.
          status = DBG_EXCEPTION_NOT_HANDLED;
        }
        break;
      }
      case EXIT_PROCESS_DEBUG_EVENT:
        std::fprintf(stderr, "no_vt_console: winrepair.exe ended before its entry point, exit code 0x%lX\n",
                     event.u.ExitProcess.dwExitCode);
        ExitProcess(event.u.ExitProcess.dwExitCode);
      default: break;
    }
    if (!ContinueDebugEvent(event.dwProcessId, event.dwThreadId, status)) Fail("ContinueDebugEvent");
  }
  DebugSetProcessKillOnExit(FALSE);
  if (!DebugActiveProcessStop(started.dwProcessId)) Fail("DebugActiveProcessStop");

  DWORD code = 0xE2E1002u;
  if (WaitForSingleObject(started.hProcess, INFINITE) != WAIT_OBJECT_0 ||
      !GetExitCodeProcess(started.hProcess, &code)) {
    Fail("waiting for winrepair.exe");
  }
  CloseHandle(started.hThread);
  CloseHandle(started.hProcess);
  return static_cast<int>(code);
}
