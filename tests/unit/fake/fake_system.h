// A scripted stand-in for the operating system.
//
// Every call is recorded by name in `calls` (in order). Devices, the
// environment, directories, files and processes are plain data the test
// sets up; scripted results (partial takes, failures, pending I/O) are
// queued per device. A test that needs an odd answer overrides the one
// virtual call it cares about in a small subclass.
#pragma once

#include <atomic>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "platform/system.h"
#include "runtime/grow_buffer.h"

namespace wr::testing {

// Thrown by the fake's FatalStop / FailFast so a test can observe them.
struct FatalStopped {};
struct FailedFast {};

// One scripted answer of a device to a write or a read.
struct DeviceStep {
  enum class What {
    Take,        // accept at most `limit` (bytes or units)
    Fail,        // console call fails with `code` as last error
    Status,      // byte call returns `status` (negative: failure)
    Pending,     // byte call returns STATUS_PENDING; the wait completes it
    StayPending  // byte call returns STATUS_PENDING and stays so after the wait
  };
  What what = What::Take;
  std::size_t limit = static_cast<std::size_t>(-1);
  Dword code = 0;
  NtStatus status = 0;

  static DeviceStep Take(std::size_t n) { return {What::Take, n, 0, 0}; }
  static DeviceStep Fail(Dword code) { return {What::Fail, 0, code, 0}; }
  static DeviceStep Status(NtStatus s) { return {What::Status, 0, 0, s}; }
  static DeviceStep Pending() { return {What::Pending, static_cast<std::size_t>(-1), 0, 0}; }
  static DeviceStep StayPending() { return {What::StayPending, 0, 0, 0}; }
};

// One direction of a pipe made by AddPipePair: the bytes written and not yet
// read, and how many handles are open on each end.
struct PipeChannel {
  std::string unread;
  std::size_t capacity = 0;  // what the pipe holds before a write waits; 0: unlimited
  int readers = 0;
  int writers = 0;
};

struct Device {
  bool console = false;
  Dword mode = 0;
  bool accepts_vt = true;                      // SetConsoleMode with the VT bit succeeds
  std::u16string screen;                       // console: every unit written
  std::vector<std::u16string> console_writes;  // console: one entry per WriteConsoleW
  std::string bytes;                           // byte device: every byte written
  std::vector<std::string> byte_writes;        // one entry per NtWriteFile that took bytes
  std::deque<DeviceStep> write_script;
  // Input: console lines (one per ReadConsoleW) or a byte stream.
  // console_lines are already in the console's input buffer (typed ahead);
  // typed_during_read are typed only once a ReadConsoleW waits for them, so
  // no flush before that read can reach them.
  std::deque<std::u16string> console_lines;
  std::deque<std::u16string> typed_during_read;
  std::vector<std::u16string> flushed_lines;  // what FlushConsoleInputBuffer discarded
  std::vector<std::u16string> console_reads;  // what each ReadConsoleW returning TRUE handed out
  // A console screen buffer (CONOUT$) standing where an input handle is
  // expected: GetConsoleMode succeeds on it, the input calls do not.
  bool screen_buffer = false;
  // A console input handle opened without GENERIC_WRITE (CONIN$ asked for
  // GENERIC_READ alone). A console's own standard input has it.
  bool input_write_access = true;
  std::deque<Dword> console_read_errors;  // non-zero: that read returns 0 units with this last error
  std::string input;
  std::size_t input_at = 0;
  bool pipe = false;  // byte input: end gives broken pipe instead of end of file
  std::deque<DeviceStep> read_script;
  std::vector<ConsoleReadControl> read_controls;
  std::vector<Dword> read_requests;  // units or bytes asked for, per read
  IoStatusBlock* pending_block = nullptr;
  std::size_t pending_amount = 0;
  bool pending_forever = false;
  // An end of a pipe made by AddPipePair (null for the scripted devices).
  std::shared_ptr<PipeChannel> channel;
  bool channel_writer = false;
  bool overlapped = false;
  bool pending_until_drained = false;  // the pending write ends when the reader took enough
};

struct PipePair {
  Handle read = nullptr;
  Handle write = nullptr;
};

struct ProcessLaunch {
  std::u16string application;
  std::u16string command_line;
  bool inherit_handles = false;
  Dword flags = 0;
  std::u16string environment;  // the block as passed, up to its double zero
  bool has_environment = false;
  std::u16string directory;
  bool has_directory = false;
  StartupInfo startup;
  std::vector<Handle> inheritable_open;  // inheritable handles open at the moment of the call
  std::vector<Handle> inherited;         // what the child gets: those, limited by the attribute list
};

class FakeSystem : public System {
 public:
  FakeSystem();
  ~FakeSystem();

  // --- set-up helpers ---------------------------------------------------
  Handle AddConsole(Dword mode = 0);
  Handle AddFile();
  Handle AddPipe();
  // Two connected ends of one byte pipe: what is written to one is read from
  // the other, and closing an end is seen by the other. An overlapped writer
  // holding more than `capacity` unread bytes leaves its write pending.
  PipePair AddPipePair(std::size_t capacity = 0, bool overlapped_writer = false);
  // Ends a process started as running (see running_processes).
  void EndProcess(Handle process, Dword code);
  Device& device(Handle h);
  void SetStd(Dword which, Handle h) { std_handles[which] = h; }
  void SetEnv(const std::u16string& name, const std::u16string& value) { environment[name] = value; }
  void AddExisting(const std::u16string& path, Dword attributes = 0x80) { files[path] = attributes; }
  std::size_t open_handle_count() const;
  bool is_open(Handle h) const;
  std::size_t count(const std::string& call) const;

  // --- recorded state ---------------------------------------------------
  std::vector<std::string> calls;
  std::map<Dword, Handle> std_handles;
  std::map<Handle, Device> devices;
  std::map<std::u16string, std::u16string> environment;  // names compared case-insensitively
  std::u16string module_file_name = u"C:\\app\\winrepair.exe";
  std::u16string system_directory = u"C:\\windows\\system32";
  std::u16string windows_directory = u"C:\\windows";
  std::u16string current_directory = u"C:\\work";
  bool fail_module_file_name = false, fail_system_directory = false, fail_windows_directory = false;
  std::map<std::u16string, Dword> files;               // full path -> attributes, names ignore case
  std::set<std::u16string> non_programs;               // files in `files` that are not programs
  std::map<std::u16string, Dword> full_path_failures;  // GetFullPathNameW fails for these inputs
  std::map<Dword, std::u16string> system_messages;     // FormatMessageW from the system
  std::map<Dword, std::u16string> ntdll_messages;      // FormatMessageW from NTDLL.DLL
  bool has_ntdll = true;
  std::optional<Dword> format_message_error;  // FormatMessageW fails with this
  std::vector<std::u16string> titles;
  Handle conout = nullptr;                    // what CreateFileW("CONOUT$") gives
  Dword conout_error = ERROR_INVALID_HANDLE;  // a process without a console gets this
  std::vector<std::u16string> created_files;  // names passed to CreateFileW
  std::vector<Dword> create_file_params;      // access, share, disposition, flags of the last call
  std::set<Handle> failing_closes;            // CloseHandle fails on these
  std::vector<ProcessLaunch> launches;
  std::optional<Dword> create_process_error;  // CreateProcessW fails with this
  std::deque<Dword> exit_codes;               // one per started process
  std::map<Handle, Dword> process_exit;
  std::set<Handle> running_processes;            // started and not yet ended
  std::optional<Dword> duplicate_error_on_call;  // DuplicateHandle call number (1-based) that fails
  Dword duplicate_error = 5;
  std::optional<Dword> wait_result;          // WaitForSingleObject on a process answers this
  std::vector<Dword> process_wait_timeouts;  // the time limit of each wait on a process
  bool fail_exit_code = false;
  std::map<NtStatus, Dword> nt_to_dos;
  std::vector<std::u16string> freed_environments;
  std::size_t environment_blocks_out = 0;
  std::vector<std::uintptr_t> updated_attributes;
  std::optional<std::uintptr_t> failing_attribute;
  std::size_t attribute_lists_live = 0;
  std::map<const void*, std::vector<Handle>> handle_lists;  // PROC_THREAD_ATTRIBUTE_HANDLE_LIST per list

  // --- System -------------------------------------------------------------
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

 protected:
  void Log(const char* call);
  Handle NewHandle();
  // A path as the file table compares it: full, upper-cased, no trailing separator.
  std::u16string FileKey(std::u16string_view path) const;

  mutable std::recursive_mutex mutex_;
  std::uintptr_t next_handle_ = 0x100;
  std::set<Handle> open_;
  std::set<Handle> inheritable_;
  Dword duplicate_calls_ = 0;
};

// Case-insensitive comparison for the fake's path and variable tables.
std::u16string Upper(std::u16string_view text);
// The full path the system makes of `path` with `current` as the current
// directory (the GetFullPathNameW rules).
std::u16string FullPath(std::u16string_view path, std::u16string_view current);
std::string Narrow(std::u16string_view text);  // UTF-8, for messages
std::u16string Widen(std::string_view utf8);
inline std::u16string Str(const GrowBuffer<char16_t>& text) { return std::u16string(text.data(), text.size()); }

}  // namespace wr::testing
