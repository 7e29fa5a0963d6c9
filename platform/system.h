// The one seam over the operating system.
//
// Everything the program asks of Windows goes through `System`. The product
// uses the Win32 implementation (system-win32.cpp, the only translation unit
// that sees <windows.h>); the unit tests use a scripted fake. Types and
// constants here are plain C++ so that the deciding logic builds and runs on
// any host.
#pragma once

#include <cstddef>
#include <cstdint>

namespace wr {

using Handle = void*;
using Dword = std::uint32_t;
using NtStatus = std::int32_t;

// INVALID_HANDLE_VALUE: the integer -1 as a handle, never an address.
// NOLINTNEXTLINE(performance-no-int-to-ptr)
inline Handle InvalidHandleValue() { return reinterpret_cast<Handle>(~std::uintptr_t{0}); }

// Standard handle identifiers, as (DWORD)-10/-11/-12.
inline constexpr Dword STD_INPUT_HANDLE = static_cast<Dword>(-10);
inline constexpr Dword STD_OUTPUT_HANDLE = static_cast<Dword>(-11);
inline constexpr Dword STD_ERROR_HANDLE = static_cast<Dword>(-12);

inline constexpr Dword INFINITE = 0xFFFFFFFFu;
inline constexpr Dword WAIT_OBJECT_0 = 0;
inline constexpr Dword WAIT_FAILED = 0xFFFFFFFFu;
inline constexpr Dword INVALID_FILE_ATTRIBUTES = 0xFFFFFFFFu;

inline constexpr Dword ERROR_FILE_NOT_FOUND = 2;
inline constexpr Dword ERROR_ACCESS_DENIED = 5;
inline constexpr Dword ERROR_INVALID_HANDLE = 6;
inline constexpr Dword ERROR_NOT_ENOUGH_MEMORY = 8;
inline constexpr Dword ERROR_INVALID_PARAMETER = 87;
inline constexpr Dword ERROR_BROKEN_PIPE = 109;
inline constexpr Dword ERROR_INSUFFICIENT_BUFFER = 122;
inline constexpr Dword ERROR_BAD_EXE_FORMAT = 193;
inline constexpr Dword ERROR_NO_DATA = 232;
inline constexpr Dword ERROR_ENVVAR_NOT_FOUND = 203;
inline constexpr Dword ERROR_OPERATION_ABORTED = 995;
inline constexpr Dword ERROR_MR_MID_NOT_FOUND = 317;

inline constexpr NtStatus STATUS_SUCCESS = 0;
inline constexpr NtStatus STATUS_PENDING = 0x103;
inline constexpr NtStatus STATUS_END_OF_FILE = static_cast<NtStatus>(0xC0000011u);
inline constexpr NtStatus STATUS_PIPE_BROKEN = static_cast<NtStatus>(0xC000014Bu);
inline constexpr NtStatus STATUS_INVALID_HANDLE = static_cast<NtStatus>(0xC0000008u);

inline constexpr Dword CP_UTF8 = 65001;
inline constexpr Dword MB_ERR_INVALID_CHARS = 0x8;
inline constexpr Dword WC_ERR_INVALID_CHARS = 0x80;

inline constexpr Dword GENERIC_READ = 0x80000000u;
inline constexpr Dword GENERIC_WRITE = 0x40000000u;
inline constexpr Dword FILE_SHARE_READ = 1;
inline constexpr Dword FILE_SHARE_WRITE = 2;
inline constexpr Dword OPEN_EXISTING = 3;
inline constexpr Dword ENABLE_VIRTUAL_TERMINAL_PROCESSING = 0x0004;

inline constexpr Dword FORMAT_MESSAGE_IGNORE_INSERTS = 0x200;
inline constexpr Dword FORMAT_MESSAGE_FROM_HMODULE = 0x800;
inline constexpr Dword FORMAT_MESSAGE_FROM_SYSTEM = 0x1000;

inline constexpr Dword CREATE_UNICODE_ENVIRONMENT = 0x00000400;
inline constexpr Dword CREATE_NEW_PROCESS_GROUP = 0x00000200;
inline constexpr Dword DETACHED_PROCESS = 0x00000008;
inline constexpr Dword EXTENDED_STARTUPINFO_PRESENT = 0x00080000;
inline constexpr Dword STARTF_USESHOWWINDOW = 0x00000001;
inline constexpr Dword STARTF_USESTDHANDLES = 0x00000100;
inline constexpr Dword DUPLICATE_SAME_ACCESS = 2;

// IO_STATUS_BLOCK as the NT file calls fill it.
struct IoStatusBlock {
  NtStatus Status;
  std::uintptr_t Information;
};

// CONSOLE_READCONSOLE_CONTROL.
struct ConsoleReadControl {
  Dword nLength;
  Dword nInitialChars;
  Dword dwCtrlWakeupMask;
  Dword dwControlKeyState;
};

// The parts of STARTUPINFOW / STARTUPINFOEXW the launcher sets. A non-null
// attributeList means STARTUPINFOEXW with cb = sizeof(STARTUPINFOEXW);
// otherwise STARTUPINFOW with cb = sizeof(STARTUPINFOW). Every other field
// is zero.
struct StartupInfo {
  Dword dwFlags = 0;
  std::uint16_t wShowWindow = 0;
  Handle hStdInput = nullptr;
  Handle hStdOutput = nullptr;
  Handle hStdError = nullptr;
  void* lpAttributeList = nullptr;
};

struct ProcessInformation {
  Handle hProcess = nullptr;
  Handle hThread = nullptr;
  Dword dwProcessId = 0;
  Dword dwThreadId = 0;
};

// CompareStringOrdinal results.
inline constexpr int CSTR_LESS_THAN = 1;
inline constexpr int CSTR_EQUAL = 2;
inline constexpr int CSTR_GREATER_THAN = 3;

class System {
 public:
  // Errors.
  virtual Dword GetLastError() = 0;
  virtual void SetLastError(Dword code) = 0;
  virtual Dword RtlNtStatusToDosError(NtStatus status) = 0;
  virtual Handle GetModuleHandleW(const char16_t* name) = 0;
  // No argument list; the buffer is always the caller's own.
  virtual Dword FormatMessageW(Dword flags, Handle source, Dword messageId, Dword languageId, char16_t* buffer,
                               Dword size) = 0;

  // Standard handles and the console.
  virtual Handle GetStdHandle(Dword which) = 0;
  virtual bool GetConsoleMode(Handle console, Dword* mode) = 0;
  virtual bool SetConsoleMode(Handle console, Dword mode) = 0;
  virtual bool WriteConsoleW(Handle console, const char16_t* units, Dword count, Dword* written) = 0;
  virtual bool ReadConsoleW(Handle console, char16_t* units, Dword count, Dword* read,
                            const ConsoleReadControl* control) = 0;
  // Discards every input record waiting in a console input buffer.
  virtual bool FlushConsoleInputBuffer(Handle console) = 0;
  virtual bool SetConsoleTitleW(const char16_t* title) = 0;
  // Null security attributes and no template file.
  virtual Handle CreateFileW(const char16_t* name, Dword access, Dword share, Dword disposition, Dword flags) = 0;
  virtual bool CloseHandle(Handle handle) = 0;

  // Text conversion.
  virtual int MultiByteToWideChar(Dword codePage, Dword flags, const char* bytes, int count, char16_t* units,
                                  int room) = 0;
  // No default character, no used-default flag.
  virtual int WideCharToMultiByte(Dword codePage, Dword flags, const char16_t* units, int count, char* bytes,
                                  int room) = 0;

  // Byte I/O: no event, no APC, no byte offset, no key.
  virtual NtStatus NtWriteFile(Handle file, IoStatusBlock* block, const void* data, Dword length) = 0;
  virtual NtStatus NtReadFile(Handle file, IoStatusBlock* block, void* data, Dword length) = 0;
  virtual Dword WaitForSingleObject(Handle object, Dword milliseconds) = 0;

  // Environment, directories and paths.
  virtual Dword GetEnvironmentVariableW(const char16_t* name, char16_t* buffer, Dword size) = 0;
  virtual char16_t* GetEnvironmentStringsW() = 0;
  virtual bool FreeEnvironmentStringsW(char16_t* block) = 0;
  // Always for the running executable (null module).
  virtual Dword GetModuleFileNameW(char16_t* buffer, Dword size) = 0;
  virtual Dword GetSystemDirectoryW(char16_t* buffer, Dword size) = 0;
  virtual Dword GetWindowsDirectoryW(char16_t* buffer, Dword size) = 0;
  virtual Dword GetFileAttributesW(const char16_t* path) = 0;
  // No file-part pointer.
  virtual Dword GetFullPathNameW(const char16_t* path, Dword size, char16_t* buffer) = 0;
  virtual int CompareStringOrdinal(const char16_t* a, int aLength, const char16_t* b, int bLength, bool ignoreCase) = 0;

  // Processes.
  virtual Handle GetCurrentProcess() = 0;
  virtual bool DuplicateHandle(Handle sourceProcess, Handle source, Handle targetProcess, Handle* target, Dword access,
                               bool inherit, Dword options) = 0;
  // Null process and thread security attributes.
  virtual bool CreateProcessW(const char16_t* application, char16_t* commandLine, bool inheritHandles,
                              Dword creationFlags, void* environment, const char16_t* directory,
                              const StartupInfo* startup, ProcessInformation* information) = 0;
  virtual bool GetExitCodeProcess(Handle process, Dword* code) = 0;
  virtual bool InitializeProcThreadAttributeList(void* list, Dword count, std::size_t* size) = 0;
  virtual bool UpdateProcThreadAttribute(void* list, std::uintptr_t attribute, const void* value, std::size_t size) = 0;
  virtual void DeleteProcThreadAttributeList(void* list) = 0;

  // Synchronisation.
  virtual bool WaitOnAddress(volatile void* address, const void* compare, std::size_t size, Dword milliseconds) = 0;
  virtual void WakeByAddressSingle(void* address) = 0;
  virtual void WakeByAddressAll(void* address) = 0;
  virtual Dword GetCurrentThreadId() = 0;

  // The two early ends of the process. Neither returns.
  // Silent, immediate, exit status 0xC000001D.
  [[noreturn]] virtual void FatalStop() = 0;
  // The system's fail-fast with FAST_FAIL_FATAL_APP_EXIT, exit status 0xC0000409.
  [[noreturn]] virtual void FailFast() = 0;

 protected:
  // Never destroyed through the interface; keeping this non-virtual lets the
  // real implementation be a constant-initialised global with nothing to
  // run before main or at exit.
  ~System() = default;
};

}  // namespace wr
