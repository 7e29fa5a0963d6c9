#include "platform/system-win32.h"

#include "platform/address_wait-win32.h"
#include "platform/process_end-win32.h"
#include "platform/win32.h"

// The NT file calls have no declarations in every MinGW header set; declare what is used, exactly as the system
// exports it.
extern "C" {
NTSTATUS NTAPI NtWriteFile(HANDLE, HANDLE, PVOID, PVOID, PIO_STATUS_BLOCK, PVOID, ULONG, PLARGE_INTEGER, PULONG);
NTSTATUS NTAPI NtReadFile(HANDLE, HANDLE, PVOID, PVOID, PIO_STATUS_BLOCK, PVOID, ULONG, PLARGE_INTEGER, PULONG);
}

namespace wr {
namespace {

static_assert(sizeof(wchar_t) == sizeof(char16_t), "UTF-16 wchar_t expected");

const wchar_t* W(const char16_t* s) { return reinterpret_cast<const wchar_t*>(s); }
wchar_t* W(char16_t* s) { return reinterpret_cast<wchar_t*>(s); }

// The seam's status block mirrors IO_STATUS_BLOCK; the system writes the
// real one, which is copied back so callers see the same layout either way.
static_assert(sizeof(IoStatusBlock) == sizeof(IO_STATUS_BLOCK), "IO_STATUS_BLOCK layout");

}  // namespace

Dword Win32System::GetLastError() { return ::GetLastError(); }
void Win32System::SetLastError(Dword code) { ::SetLastError(code); }

Dword Win32System::RtlNtStatusToDosError(NtStatus status) { return ::RtlNtStatusToDosError(status); }

Handle Win32System::GetModuleHandleW(const char16_t* name) { return ::GetModuleHandleW(W(name)); }

Dword Win32System::FormatMessageW(Dword flags, Handle source, Dword messageId, Dword languageId, char16_t* buffer,
                                  Dword size) {
  return ::FormatMessageW(flags, source, messageId, languageId, W(buffer), size, nullptr);
}

Handle Win32System::GetStdHandle(Dword which) { return ::GetStdHandle(which); }

bool Win32System::GetConsoleMode(Handle console, Dword* mode) {
  DWORD value = *mode;
  const BOOL ok = ::GetConsoleMode(console, &value);
  *mode = value;
  return ok != FALSE;
}

bool Win32System::SetConsoleMode(Handle console, Dword mode) { return ::SetConsoleMode(console, mode) != FALSE; }

bool Win32System::WriteConsoleW(Handle console, const char16_t* units, Dword count, Dword* written) {
  DWORD taken = 0;
  const BOOL ok = ::WriteConsoleW(console, units, count, &taken, nullptr);
  *written = taken;
  return ok != FALSE;
}

bool Win32System::ReadConsoleW(Handle console, char16_t* units, Dword count, Dword* read,
                               const ConsoleReadControl* control) {
  CONSOLE_READCONSOLE_CONTROL record{};
  PCONSOLE_READCONSOLE_CONTROL pass = nullptr;
  if (control != nullptr) {
    record.nLength = control->nLength;
    record.nInitialChars = control->nInitialChars;
    record.dwCtrlWakeupMask = control->dwCtrlWakeupMask;
    record.dwControlKeyState = control->dwControlKeyState;
    pass = &record;
  }
  DWORD got = 0;
  const BOOL ok = ::ReadConsoleW(console, units, count, &got, pass);
  *read = got;
  return ok != FALSE;
}

bool Win32System::FlushConsoleInputBuffer(Handle console) { return ::FlushConsoleInputBuffer(console) != FALSE; }

bool Win32System::SetConsoleTitleW(const char16_t* title) { return ::SetConsoleTitleW(W(title)) != FALSE; }

Handle Win32System::CreateFileW(const char16_t* name, Dword access, Dword share, Dword disposition, Dword flags) {
  return ::CreateFileW(W(name), access, share, nullptr, disposition, flags, nullptr);
}

bool Win32System::CloseHandle(Handle handle) { return ::CloseHandle(handle) != FALSE; }

int Win32System::MultiByteToWideChar(Dword codePage, Dword flags, const char* bytes, int count, char16_t* units,
                                     int room) {
  return ::MultiByteToWideChar(codePage, flags, bytes, count, W(units), room);
}

int Win32System::WideCharToMultiByte(Dword codePage, Dword flags, const char16_t* units, int count, char* bytes,
                                     int room) {
  return ::WideCharToMultiByte(codePage, flags, W(units), count, bytes, room, nullptr, nullptr);
}

NtStatus Win32System::NtWriteFile(Handle file, IoStatusBlock* block, const void* data, Dword length) {
  // Declared PVOID, the buffer is only read.
  void* buffer = const_cast<void*>(data);  // NOLINT(cppcoreguidelines-pro-type-const-cast)
  return ::NtWriteFile(file, nullptr, nullptr, nullptr, reinterpret_cast<PIO_STATUS_BLOCK>(block), buffer, length,
                       nullptr, nullptr);
}

NtStatus Win32System::NtReadFile(Handle file, IoStatusBlock* block, void* data, Dword length) {
  return ::NtReadFile(file, nullptr, nullptr, nullptr, reinterpret_cast<PIO_STATUS_BLOCK>(block), data, length, nullptr,
                      nullptr);
}

Dword Win32System::WaitForSingleObject(Handle object, Dword milliseconds) {
  return ::WaitForSingleObject(object, milliseconds);
}

Dword Win32System::GetEnvironmentVariableW(const char16_t* name, char16_t* buffer, Dword size) {
  return ::GetEnvironmentVariableW(W(name), W(buffer), size);
}

char16_t* Win32System::GetEnvironmentStringsW() { return reinterpret_cast<char16_t*>(::GetEnvironmentStringsW()); }

bool Win32System::FreeEnvironmentStringsW(char16_t* block) { return ::FreeEnvironmentStringsW(W(block)) != FALSE; }

Dword Win32System::GetModuleFileNameW(char16_t* buffer, Dword size) {
  return ::GetModuleFileNameW(nullptr, W(buffer), size);
}

Dword Win32System::GetSystemDirectoryW(char16_t* buffer, Dword size) { return ::GetSystemDirectoryW(W(buffer), size); }

Dword Win32System::GetWindowsDirectoryW(char16_t* buffer, Dword size) {
  return ::GetWindowsDirectoryW(W(buffer), size);
}

Dword Win32System::GetFileAttributesW(const char16_t* path) { return ::GetFileAttributesW(W(path)); }

Dword Win32System::GetFullPathNameW(const char16_t* path, Dword size, char16_t* buffer) {
  return ::GetFullPathNameW(W(path), size, W(buffer), nullptr);
}

int Win32System::CompareStringOrdinal(const char16_t* a, int aLength, const char16_t* b, int bLength, bool ignoreCase) {
  return ::CompareStringOrdinal(W(a), aLength, W(b), bLength, ignoreCase ? TRUE : FALSE);
}

Handle Win32System::GetCurrentProcess() { return ::GetCurrentProcess(); }

bool Win32System::DuplicateHandle(Handle sourceProcess, Handle source, Handle targetProcess, Handle* target,
                                  Dword access, bool inherit, Dword options) {
  return ::DuplicateHandle(sourceProcess, source, targetProcess, target, access, inherit ? TRUE : FALSE, options) !=
         FALSE;
}

bool Win32System::CreateProcessW(const char16_t* application, char16_t* commandLine, bool inheritHandles,
                                 Dword creationFlags, void* environment, const char16_t* directory,
                                 const StartupInfo* startup, ProcessInformation* information) {
  STARTUPINFOEXW extended{};
  STARTUPINFOW& info = extended.StartupInfo;
  info.cb = startup->lpAttributeList != nullptr ? sizeof(STARTUPINFOEXW) : sizeof(STARTUPINFOW);
  info.dwFlags = startup->dwFlags;
  info.wShowWindow = startup->wShowWindow;
  info.hStdInput = startup->hStdInput;
  info.hStdOutput = startup->hStdOutput;
  info.hStdError = startup->hStdError;
  extended.lpAttributeList = static_cast<LPPROC_THREAD_ATTRIBUTE_LIST>(startup->lpAttributeList);
  PROCESS_INFORMATION result{};
  const BOOL ok = ::CreateProcessW(W(application), W(commandLine), nullptr, nullptr, inheritHandles ? TRUE : FALSE,
                                   creationFlags, environment, W(directory), &info, &result);
  if (ok != FALSE) {
    information->hProcess = result.hProcess;
    information->hThread = result.hThread;
    information->dwProcessId = result.dwProcessId;
    information->dwThreadId = result.dwThreadId;
  }
  return ok != FALSE;
}

bool Win32System::GetExitCodeProcess(Handle process, Dword* code) {
  DWORD value = 0;
  const BOOL ok = ::GetExitCodeProcess(process, &value);
  *code = value;
  return ok != FALSE;
}

bool Win32System::InitializeProcThreadAttributeList(void* list, Dword count, std::size_t* size) {
  SIZE_T value = *size;
  const BOOL ok =
      ::InitializeProcThreadAttributeList(static_cast<LPPROC_THREAD_ATTRIBUTE_LIST>(list), count, 0, &value);
  *size = value;
  return ok != FALSE;
}

bool Win32System::UpdateProcThreadAttribute(void* list, std::uintptr_t attribute, const void* value, std::size_t size) {
  // Declared PVOID, the value is only read.
  void* readable = const_cast<void*>(value);  // NOLINT(cppcoreguidelines-pro-type-const-cast)
  return ::UpdateProcThreadAttribute(static_cast<LPPROC_THREAD_ATTRIBUTE_LIST>(list), 0, attribute, readable, size,
                                     nullptr, nullptr) != FALSE;
}

void Win32System::DeleteProcThreadAttributeList(void* list) {
  ::DeleteProcThreadAttributeList(static_cast<LPPROC_THREAD_ATTRIBUTE_LIST>(list));
}

bool Win32System::WaitOnAddress(volatile void* address, const void* compare, std::size_t size, Dword milliseconds) {
  // Declared PVOID, the compared value is only read.
  void* expected = const_cast<void*>(compare);  // NOLINT(cppcoreguidelines-pro-type-const-cast)
  return win32::SystemAddressWait().wait(address, expected, size, milliseconds) != FALSE;
}

void Win32System::WakeByAddressSingle(void* address) { win32::SystemAddressWait().wake_single(address); }
void Win32System::WakeByAddressAll(void* address) { win32::SystemAddressWait().wake_all(address); }

Dword Win32System::GetCurrentThreadId() { return ::GetCurrentThreadId(); }

// STATUS_ILLEGAL_INSTRUCTION, without raising anything a debugger or an
// error-reporting dialog could catch.
void Win32System::FatalStop() { win32::EndProcess(0xC000001Du); }

void Win32System::FailFast() { win32::FailFastNow(); }

}  // namespace wr
