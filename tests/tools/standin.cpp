// A stand-in for the servicing tools, for the end-to-end runs.
//
// Copied beside the program under a tool's name (DISM.exe, sfc.exe), it
//   - appends two lines to "<own path without .exe>.log": the command line it
//     received, exactly, as UTF-8; then "stdhandles=1" or "stdhandles=0",
//     whether its creator passed STARTF_USESTDHANDLES;
//   - writes "stand-in <name> ran\n" to its standard output, so a transcript
//     shows where the tool's own output fell between the program's messages,
//     or instead the bytes of "<own path without .exe>.output" when that file
//     exists (the tool's own output, in whatever encoding it uses);
//   - exits with the code read from "<own path without .exe>.exitcode"
//     (decimal or 0x-hex, 32-bit unsigned), or 0 when there is no such file;
//   - when its command line ends in an option "/<word>" and the file
//     "<own path without .exe>.<word>.exitcode" (or ".output") exists, takes
//     that one instead, so that one copy can answer two runs differently
//     (sfc /verifyonly, then sfc /scannow);
//   - when "<own path without .exe>.env" exists, replaces its contents with
//     the environment it was given, one "name=value" a line, as UTF-8;
//   - when "<own path without .exe>.console" exists, replaces its contents,
//     just before it exits, with the console output mode of its standard
//     output, "mode=0x<hex>", or "mode=none" when that is no console; on a
//     second line the console's title as GetConsoleTitleW gives it,
//     "title=<UTF-8>", or "title=none" when the call fails; and on a third
//     how many input events then wait in its console (read through CONIN$,
//     whatever its standard input is), "input=<n>", or "input=none";
//   - when "<own path without .exe>.cwd" exists, appends to it the current
//     directory it was started in, one line a run, as UTF-8;
//   - before exiting, sleeps for the milliseconds read from
//     "<own path without .exe>.delay" when there is such a file, to stand in
//     for a tool that runs for a long time.
// Plain Win32 only, so it behaves the same linked statically anywhere.
#include <windows.h>

#include "owned_file.h"

namespace {

constexpr DWORD kLongestPath = 32768;

// Own path without its extension, and the file name part without it.
struct OwnName {
  wchar_t base[kLongestPath + 16];
  const wchar_t* name;
};

void FindOwnName(OwnName& own) {
  DWORD n = GetModuleFileNameW(nullptr, own.base, kLongestPath);
  if (n == 0 || n >= kLongestPath) ExitProcess(0xE2E0001);
  own.base[n] = 0;
  wchar_t* slash = own.base;
  wchar_t* dot = nullptr;
  for (wchar_t* p = own.base; *p; ++p) {
    if (*p == L'\\' || *p == L'/') {
      slash = p + 1;
      dot = nullptr;
    } else if (*p == L'.') dot = p;
  }
  if (dot) *dot = 0;
  own.name = slash;
}

// The word after the last "/" of the command line when nothing but letters
// follow it, spaces aside ("verifyonly" for `"sfc" /verifyonly`; cmd.exe
// leaves the spaces before a redirection it took off), or an empty one.
wchar_t optionWord[64];

void FindOptionWord() {
  const wchar_t* line = GetCommandLineW();
  const wchar_t* slash = nullptr;
  for (const wchar_t* p = line; *p; ++p)
    if (*p == L'/') slash = p;
  if (!slash) return;
  // Built aside and kept only when whole: a slash inside a path ("C:/tools/
  // sfc.exe") must leave no part of "sfc" behind as an option.
  wchar_t word[64];
  int n = 0;
  for (const wchar_t* p = slash + 1; *p && *p != L' '; ++p) {
    if (n == 63 || !((*p >= L'a' && *p <= L'z') || (*p >= L'A' && *p <= L'Z'))) return;
    word[n++] = *p;
  }
  for (const wchar_t* p = slash + 1 + n; *p; ++p)
    if (*p != L' ') return;
  word[n] = 0;
  lstrcpyW(optionWord, word);
}

void WithSuffix(const OwnName& own, const wchar_t* suffix, wchar_t* out) {
  lstrcpyW(out, own.base);
  lstrcatW(out, suffix);
}

// "<base>.<word><suffix>" when the command line has an option word and that
// file exists, otherwise "<base><suffix>".
void ForThisRun(const OwnName& own, const wchar_t* suffix, wchar_t* out) {
  if (optionWord[0] != 0) {
    lstrcpyW(out, own.base);
    lstrcatW(out, L".");
    lstrcatW(out, optionWord);
    lstrcatW(out, suffix);
    if (GetFileAttributesW(out) != INVALID_FILE_ATTRIBUTES) return;
  }
  WithSuffix(own, suffix, out);
}

void AppendLog(const OwnName& own, const char* bytes, DWORD length) {
  static wchar_t path[kLongestPath + 32];
  WithSuffix(own, L".log", path);
  OwnedFile file(CreateFileW(path, FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_ALWAYS,
                             FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!file) ExitProcess(0xE2E0002);
  DWORD written = 0;
  WriteFile(file.get(), bytes, length, &written, nullptr);
}

// Records go only into files that are already there: most runs do not ask
// for them.
OwnedFile OpenRecord(const OwnName& own, const wchar_t* suffix) {
  static wchar_t path[kLongestPath + 32];
  WithSuffix(own, suffix, path);
  return OwnedFile(
      CreateFileW(path, GENERIC_WRITE, FILE_SHARE_READ, nullptr, TRUNCATE_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
}

void RecordConsoleMode(const OwnName& own) {
  OwnedFile file = OpenRecord(own, L".console");
  if (!file) return;
  static char text[4096];
  DWORD mode = 0;
  int used = GetConsoleMode(GetStdHandle(STD_OUTPUT_HANDLE), &mode) ? wsprintfA(text, "mode=0x%X\ntitle=", mode)
                                                                    : wsprintfA(text, "mode=none\ntitle=");
  // An empty title is a length of 0 with no error.
  static wchar_t title[1024];
  SetLastError(0);
  const DWORD length = GetConsoleTitleW(title, 1024);
  if (length == 0 && GetLastError() != 0) {
    used += wsprintfA(text + used, "none");
  } else if (length != 0) {
    used += WideCharToMultiByte(CP_UTF8, 0, title, static_cast<int>(length), text + used,
                                static_cast<int>(sizeof text) - used - 8, nullptr, nullptr);
  }
  text[used++] = '\n';
  // Keys typed while the tool ran: they wait for whoever reads the console
  // next. Nothing is read here.
  OwnedFile keys(
      CreateFileW(L"CONIN$", GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0, nullptr));
  DWORD events = 0;
  used += keys && GetNumberOfConsoleInputEvents(keys.get(), &events) ? wsprintfA(text + used, "input=%lu\n", events)
                                                                     : wsprintfA(text + used, "input=none\n");
  DWORD written = 0;
  WriteFile(file.get(), text, static_cast<DWORD>(used), &written, nullptr);
}

void RecordCurrentDirectory(const OwnName& own) {
  static wchar_t path[kLongestPath + 32];
  WithSuffix(own, L".cwd", path);
  if (GetFileAttributesW(path) == INVALID_FILE_ATTRIBUTES) return;
  static wchar_t here[kLongestPath];
  const DWORD n = GetCurrentDirectoryW(kLongestPath, here);
  if (n == 0 || n >= kLongestPath) return;
  static char line[kLongestPath * 3 + 2];
  int used = WideCharToMultiByte(CP_UTF8, 0, here, static_cast<int>(n), line, sizeof line - 2, nullptr, nullptr);
  line[used++] = '\n';
  OwnedFile file(CreateFileW(path, FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                             FILE_ATTRIBUTE_NORMAL, nullptr));
  DWORD written = 0;
  if (file) WriteFile(file.get(), line, static_cast<DWORD>(used), &written, nullptr);
}

void RecordEnvironment(const OwnName& own) {
  OwnedFile file = OpenRecord(own, L".env");
  if (!file) return;
  wchar_t* block = GetEnvironmentStringsW();
  static char line[65536];
  for (const wchar_t* entry = block; block && *entry; entry += lstrlenW(entry) + 1) {
    int n = WideCharToMultiByte(CP_UTF8, 0, entry, -1, line, sizeof line - 1, nullptr, nullptr);
    if (n <= 0) continue;
    line[n - 1] = '\n';
    DWORD written = 0;
    WriteFile(file.get(), line, static_cast<DWORD>(n), &written, nullptr);
  }
  if (block) FreeEnvironmentStringsW(block);
}

// The number in this run's "<suffix>" file (see ForThisRun), or 0 without one.
DWORD ReadNumber(const OwnName& own, const wchar_t* suffix) {
  static wchar_t path[kLongestPath + 96];
  ForThisRun(own, suffix, path);
  char text[64] = {};
  DWORD got = 0;
  {
    OwnedFile file(
        CreateFileW(path, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file) return 0;
    ReadFile(file.get(), text, sizeof text - 1, &got, nullptr);
  }
  text[got] = 0;
  const char* p = text;
  unsigned base = 10;
  if (p[0] == '0' && (p[1] == 'x' || p[1] == 'X')) {
    base = 16;
    p += 2;
  }
  unsigned long long value = 0;
  for (; *p; ++p) {
    unsigned digit;
    if (*p >= '0' && *p <= '9') digit = *p - '0';
    else if (base == 16 && *p >= 'a' && *p <= 'f') digit = *p - 'a' + 10;
    else if (base == 16 && *p >= 'A' && *p <= 'F') digit = *p - 'A' + 10;
    else break;  // a trailing line end
    value = value * base + digit;
  }
  return static_cast<DWORD>(value);
}

// Copies "<base>[.<word>].output" to `out`; false when there is no such file.
bool CopyOutputFile(const OwnName& own, HANDLE out) {
  static wchar_t path[kLongestPath + 96];
  ForThisRun(own, L".output", path);
  OwnedFile file(
      CreateFileW(path, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!file) return false;
  static char chunk[65536];
  DWORD got = 0;
  while (ReadFile(file.get(), chunk, sizeof chunk, &got, nullptr) && got != 0) {
    DWORD written = 0;
    WriteFile(out, chunk, got, &written, nullptr);
  }
  return true;
}

}  // namespace

int main() {
  static OwnName own;
  FindOwnName(own);
  FindOptionWord();

  STARTUPINFOW startup;
  GetStartupInfoW(&startup);
  const bool stdHandles = (startup.dwFlags & STARTF_USESTDHANDLES) != 0;

  static char record[65536];
  const wchar_t* line = GetCommandLineW();
  int n = WideCharToMultiByte(CP_UTF8, 0, line, -1, record, sizeof record - 64, nullptr, nullptr);
  if (n <= 0) ExitProcess(0xE2E0003);
  DWORD length = static_cast<DWORD>(n - 1);
  const char* tail = stdHandles ? "\nstdhandles=1\n" : "\nstdhandles=0\n";
  for (const char* t = tail; *t; ++t) record[length++] = *t;
  AppendLog(own, record, length);
  RecordCurrentDirectory(own);
  RecordEnvironment(own);

  HANDLE out = GetStdHandle(STD_OUTPUT_HANDLE);
  if (out != nullptr && out != INVALID_HANDLE_VALUE && !CopyOutputFile(own, out)) {
    static char said[kLongestPath * 3 + 32];
    int used = wsprintfA(said, "stand-in %ls ran\n", own.name);
    DWORD written = 0;
    WriteFile(out, said, static_cast<DWORD>(used), &written, nullptr);
  }

  const DWORD delay = ReadNumber(own, L".delay");
  if (delay != 0) Sleep(delay);
  RecordConsoleMode(own);
  ExitProcess(ReadNumber(own, L".exitcode"));
}
