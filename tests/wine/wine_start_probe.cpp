// Starts processes the way the suite's programs do, for two checks of how
// Wine runs them (see check_wine_start.py). Debian's Wine loader sits at
// 0x7d000000 and, with address randomisation on, the kernel starts its heap
// anywhere in the 1 GiB above, which holds 0x7ffe0000, where every Wine
// process must map the shared user data. When the heap is there the new
// process dies during set-up and the CreateProcessW that started it fails
// with 1359 (ERROR_INTERNAL_ERROR). Wine's preloader reserves that page
// before anything else is mapped.
//
//   wine_start_probe count N    start a trivial child N times, one after
//                               the other; print how many starts failed, by
//                               CreateProcessW's error, and how many children
//                               exited with another code than 0
//   wine_start_probe hold       start a child that waits, print "ready",
//                               and end both when standard input ends
//
// Files under /proc cannot tell a Windows program about itself: Wine's
// server opens them, so /proc/self is the server's. The checks read the
// processes from the Linux side.
#include <windows.h>

namespace {

constexpr DWORD kLongestPath = 32768;
// How long a held child waits at most, should its parent vanish.
constexpr DWORD kHoldLimitMs = 300000;

void Say(const char* text) {
  HANDLE out = GetStdHandle(STD_OUTPUT_HANDLE);
  if (out == nullptr || out == INVALID_HANDLE_VALUE) return;
  DWORD written = 0;
  WriteFile(out, text, static_cast<DWORD>(lstrlenA(text)), &written, nullptr);
}

void SayNumber(unsigned long value) {
  char digits[24];
  int n = 0;
  do {
    digits[n++] = static_cast<char>('0' + value % 10);
    value /= 10;
  } while (value != 0);
  char text[24];
  for (int i = 0; i < n; ++i) text[i] = digits[n - 1 - i];
  text[n] = 0;
  Say(text);
}

struct OwnPath {
  wchar_t text[kLongestPath];
};

bool FindOwnPath(OwnPath& own) {
  DWORD n = GetModuleFileNameW(nullptr, own.text, kLongestPath);
  return n != 0 && n < kLongestPath;
}

// Starts "<own path>" <mode>. Returns 0 and the process handle when it
// started, otherwise CreateProcessW's error.
DWORD StartSelf(const OwnPath& own, const wchar_t* mode, HANDLE& process_handle) {
  static wchar_t command[kLongestPath + 64];
  lstrcpyW(command, L"\"");
  lstrcatW(command, own.text);
  lstrcatW(command, L"\" ");
  lstrcatW(command, mode);
  STARTUPINFOW startup{};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION process{};
  if (!CreateProcessW(own.text, command, nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &process)) {
    DWORD error = GetLastError();
    return error != 0 ? error : ERROR_GEN_FAILURE;
  }
  CloseHandle(process.hThread);
  process_handle = process.hProcess;
  return 0;
}

bool SameWord(const wchar_t* a, const wchar_t* b) { return lstrcmpW(a, b) == 0; }

// Codes seen, each with how often; a handful of kinds at most.
struct Tally {
  struct Entry {
    DWORD code;
    unsigned long times;
  };
  Entry entries[16]{};
  int kinds = 0;
  unsigned long total = 0;

  void Add(DWORD code) {
    ++total;
    for (int i = 0; i < kinds; ++i) {
      if (entries[i].code == code) {
        ++entries[i].times;
        return;
      }
    }
    if (kinds < 16) entries[kinds++] = Entry{code, 1};
  }
  void Say(const char* label) const {
    for (int i = 0; i < kinds; ++i) {
      ::Say(" ");
      ::Say(label);
      SayNumber(entries[i].code);
      ::Say("=");
      SayNumber(entries[i].times);
    }
  }
};

int Count(const wchar_t* count_text) {
  unsigned long wanted = 0;
  for (const wchar_t* p = count_text; *p; ++p) {
    if (*p < L'0' || *p > L'9') return 2;
    wanted = wanted * 10 + static_cast<unsigned long>(*p - L'0');
  }
  OwnPath own;
  if (!FindOwnPath(own)) return 2;
  Tally errors;
  Tally exits;
  for (unsigned long i = 0; i < wanted; ++i) {
    HANDLE child = nullptr;
    DWORD error = StartSelf(own, L"trivial", child);
    if (error != 0) {
      errors.Add(error);
      continue;
    }
    WaitForSingleObject(child, INFINITE);
    DWORD exit_code = 0;
    if (!GetExitCodeProcess(child, &exit_code)) exit_code = 0xFFFFFFFF;
    CloseHandle(child);
    if (exit_code != 0) exits.Add(exit_code);
  }
  Say("starts=");
  SayNumber(wanted);
  Say(" failed=");
  SayNumber(errors.total);
  Say(" nonzero_exit=");
  SayNumber(exits.total);
  errors.Say("error");
  exits.Say("exit");
  Say("\n");
  return errors.total == 0 && exits.total == 0 ? 0 : 1;
}

int Hold() {
  OwnPath own;
  if (!FindOwnPath(own)) return 2;
  HANDLE child = nullptr;
  DWORD error = StartSelf(own, L"wait", child);
  if (error != 0) {
    Say("CreateProcessW failed with ");
    SayNumber(error);
    Say("\n");
    return 1;
  }
  Say("ready\n");
  char byte = 0;
  DWORD got = 0;
  HANDLE in = GetStdHandle(STD_INPUT_HANDLE);
  while (ReadFile(in, &byte, 1, &got, nullptr) && got == 1) {
  }
  TerminateProcess(child, 0);
  CloseHandle(child);
  return 0;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  if (argc == 2 && SameWord(argv[1], L"trivial")) return 0;
  if (argc == 2 && SameWord(argv[1], L"wait")) {
    Sleep(kHoldLimitMs);
    return 0;
  }
  if (argc == 2 && SameWord(argv[1], L"hold")) return Hold();
  if (argc == 3 && SameWord(argv[1], L"count")) return Count(argv[2]);
  Say("usage: wine_start_probe count N | hold\n");
  return 2;
}
