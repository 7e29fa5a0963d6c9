// The real operating system behind the seam.
#pragma once

#include "platform/system.h"

namespace wr {

class Win32System : public System {
 public:
  Dword GetLastError() override;
  void SetLastError(Dword code) override;
  Dword RtlNtStatusToDosError(NtStatus status) override;
  Handle GetModuleHandleW(const char16_t* name) override;
  Dword FormatMessageW(Dword flags, Handle source, Dword messageId, Dword languageId, char16_t* buffer,
                       Dword size) override;
  Handle GetStdHandle(Dword which) override;
  bool GetConsoleMode(Handle console, Dword* mode) override;
  bool SetConsoleMode(Handle console, Dword mode) override;
  bool WriteConsoleW(Handle console, const char16_t* units, Dword count, Dword* written) override;
  bool ReadConsoleW(Handle console, char16_t* units, Dword count, Dword* read,
                    const ConsoleReadControl* control) override;
  bool FlushConsoleInputBuffer(Handle console) override;
  bool SetConsoleTitleW(const char16_t* title) override;
  Handle CreateFileW(const char16_t* name, Dword access, Dword share, Dword disposition, Dword flags) override;
  bool CloseHandle(Handle handle) override;
  int MultiByteToWideChar(Dword codePage, Dword flags, const char* bytes, int count, char16_t* units,
                          int room) override;
  int WideCharToMultiByte(Dword codePage, Dword flags, const char16_t* units, int count, char* bytes,
                          int room) override;
  NtStatus NtWriteFile(Handle file, IoStatusBlock* block, const void* data, Dword length) override;
  NtStatus NtReadFile(Handle file, IoStatusBlock* block, void* data, Dword length) override;
  Dword WaitForSingleObject(Handle object, Dword milliseconds) override;
  Dword GetEnvironmentVariableW(const char16_t* name, char16_t* buffer, Dword size) override;
  char16_t* GetEnvironmentStringsW() override;
  bool FreeEnvironmentStringsW(char16_t* block) override;
  Dword GetModuleFileNameW(char16_t* buffer, Dword size) override;
  Dword GetSystemDirectoryW(char16_t* buffer, Dword size) override;
  Dword GetWindowsDirectoryW(char16_t* buffer, Dword size) override;
  Dword GetFileAttributesW(const char16_t* path) override;
  Dword GetFullPathNameW(const char16_t* path, Dword size, char16_t* buffer) override;
  int CompareStringOrdinal(const char16_t* a, int aLength, const char16_t* b, int bLength, bool ignoreCase) override;
  Handle GetCurrentProcess() override;
  bool DuplicateHandle(Handle sourceProcess, Handle source, Handle targetProcess, Handle* target, Dword access,
                       bool inherit, Dword options) override;
  bool CreateProcessW(const char16_t* application, char16_t* commandLine, bool inheritHandles, Dword creationFlags,
                      void* environment, const char16_t* directory, const StartupInfo* startup,
                      ProcessInformation* information) override;
  bool GetExitCodeProcess(Handle process, Dword* code) override;
  bool InitializeProcThreadAttributeList(void* list, Dword count, std::size_t* size) override;
  bool UpdateProcThreadAttribute(void* list, std::uintptr_t attribute, const void* value, std::size_t size) override;
  void DeleteProcThreadAttributeList(void* list) override;
  bool WaitOnAddress(volatile void* address, const void* compare, std::size_t size, Dword milliseconds) override;
  void WakeByAddressSingle(void* address) override;
  void WakeByAddressAll(void* address) override;
  Dword GetCurrentThreadId() override;
  [[noreturn]] void FatalStop() override;
  [[noreturn]] void FailFast() override;
};

}  // namespace wr
