#include "tests/fake/fake_system.h"

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstring>

#include "runtime/utf.h"

namespace wr::testing {
namespace {

thread_local Dword t_last_error = 0;
std::atomic<Dword> g_next_thread_id{1};
thread_local Dword t_thread_id = 0;

Handle ntdll_module() { return reinterpret_cast<Handle>(std::uintptr_t{0x7FF00000}); }
Handle pseudo_process() { return reinterpret_cast<Handle>(~std::uintptr_t{0}); }

std::size_t Length(const char16_t* s) {
  std::size_t n = 0;
  while (s[n] != 0) ++n;
  return n;
}

// The usual Win32 "copy into the caller's buffer" answer: the length without
// the zero when it fits, otherwise the size needed with the zero.
Dword CopyOut(const std::u16string& value, char16_t* buffer, Dword size) {
  if (value.size() + 1 > size) return static_cast<Dword>(value.size() + 1);
  std::copy(value.begin(), value.end(), buffer);
  buffer[value.size()] = 0;
  return static_cast<Dword>(value.size());
}

}  // namespace

std::u16string Upper(std::u16string_view text) {
  std::u16string out(text);
  for (auto& c : out) {
    if (c >= u'a' && c <= u'z') c = static_cast<char16_t>(c - 32);
    else if (c >= 0x0430 && c <= 0x044F) c = static_cast<char16_t>(c - 0x20);  // Cyrillic а-я
  }
  return out;
}

std::string Narrow(std::u16string_view text) {
  FakeSystem scratch;
  Text out(scratch);
  AppendUtf8(out, text);
  return std::string(out.data(), out.size());
}

std::u16string Widen(std::string_view utf8) {
  FakeSystem scratch;
  WideText out(scratch);
  AppendUtf16(out, utf8);
  return std::u16string(out.data(), out.size());
}

FakeSystem::FakeSystem() = default;
FakeSystem::~FakeSystem() = default;

void FakeSystem::Log(const char* call) {
  std::lock_guard<std::recursive_mutex> lock(mutex_);
  calls.emplace_back(call);
}

Handle FakeSystem::NewHandle() {
  std::lock_guard<std::recursive_mutex> lock(mutex_);
  next_handle_ += 4;
  Handle h = reinterpret_cast<Handle>(next_handle_);
  open_.insert(h);
  return h;
}

Handle FakeSystem::AddConsole(Dword mode) {
  Handle h = NewHandle();
  devices[h].console = true;
  devices[h].mode = mode;
  return h;
}

Handle FakeSystem::AddFile() {
  Handle h = NewHandle();
  devices[h];
  return h;
}

Handle FakeSystem::AddPipe() {
  Handle h = NewHandle();
  devices[h].pipe = true;
  return h;
}

Device& FakeSystem::device(Handle h) { return devices.at(h); }

std::size_t FakeSystem::open_handle_count() const {
  std::lock_guard<std::recursive_mutex> lock(mutex_);
  return open_.size();
}

bool FakeSystem::is_open(Handle h) const {
  std::lock_guard<std::recursive_mutex> lock(mutex_);
  return open_.count(h) != 0;
}

std::size_t FakeSystem::count(const std::string& call) const {
  std::lock_guard<std::recursive_mutex> lock(mutex_);
  return static_cast<std::size_t>(std::count(calls.begin(), calls.end(), call));
}

Dword FakeSystem::GetLastError() {
  Log("GetLastError");
  return t_last_error;
}

void FakeSystem::SetLastError(Dword code) {
  Log("SetLastError");
  t_last_error = code;
}

Dword FakeSystem::RtlNtStatusToDosError(NtStatus status) {
  Log("RtlNtStatusToDosError");
  auto it = nt_to_dos.find(status);
  if (it != nt_to_dos.end()) return it->second;
  switch (static_cast<std::uint32_t>(status)) {
    case 0xC0000008u: return 6;
    case 0xC000014Bu: return 109;
    case 0xC00000B1u: return 232;  // STATUS_PIPE_CLOSING
    case 0xC0000011u: return 38;
    case 0xC0000022u: return 5;
    case 0xC000007Fu: return 112;
    default: return ERROR_MR_MID_NOT_FOUND;
  }
}

Handle FakeSystem::GetModuleHandleW(const char16_t* name) {
  Log("GetModuleHandleW");
  if (has_ntdll && Upper(name) == u"NTDLL.DLL") return ntdll_module();
  t_last_error = 126;
  return nullptr;
}

Dword FakeSystem::FormatMessageW(Dword flags, Handle source, Dword id, Dword, char16_t* buffer, Dword size) {
  Log("FormatMessageW");
  if (format_message_error) {
    t_last_error = *format_message_error;
    return 0;
  }
  const auto& table = (flags & FORMAT_MESSAGE_FROM_HMODULE) && source == ntdll_module() ? ntdll_messages
                                                                                          : system_messages;
  auto it = table.find(id);
  if (it == table.end()) {
    t_last_error = ERROR_MR_MID_NOT_FOUND;
    return 0;
  }
  if (it->second.size() + 1 > size) {
    t_last_error = ERROR_INSUFFICIENT_BUFFER;
    return 0;
  }
  std::copy(it->second.begin(), it->second.end(), buffer);
  buffer[it->second.size()] = 0;
  return static_cast<Dword>(it->second.size());
}

Handle FakeSystem::GetStdHandle(Dword which) {
  Log("GetStdHandle");
  auto it = std_handles.find(which);
  if (it == std_handles.end()) return nullptr;
  if (it->second == InvalidHandleValue()) t_last_error = ERROR_INVALID_HANDLE;
  return it->second;
}

bool FakeSystem::GetConsoleMode(Handle console, Dword* mode) {
  Log("GetConsoleMode");
  auto it = devices.find(console);
  if (it == devices.end() || !it->second.console) {
    t_last_error = ERROR_INVALID_HANDLE;
    return false;
  }
  *mode = it->second.mode;
  return true;
}

bool FakeSystem::SetConsoleMode(Handle console, Dword mode) {
  Log("SetConsoleMode");
  auto it = devices.find(console);
  if (it == devices.end() || !it->second.console) {
    t_last_error = ERROR_INVALID_HANDLE;
    return false;
  }
  if ((mode & ENABLE_VIRTUAL_TERMINAL_PROCESSING) && !it->second.accepts_vt) {
    t_last_error = ERROR_INVALID_PARAMETER;
    return false;
  }
  it->second.mode = mode;
  return true;
}

bool FakeSystem::WriteConsoleW(Handle console, const char16_t* units, Dword count, Dword* written) {
  Log("WriteConsoleW");
  auto it = devices.find(console);
  if (it == devices.end() || !it->second.console) {
    t_last_error = ERROR_INVALID_HANDLE;
    return false;
  }
  Device& d = it->second;
  std::size_t take = count;
  if (!d.write_script.empty()) {
    DeviceStep step = d.write_script.front();
    d.write_script.pop_front();
    if (step.what == DeviceStep::What::Fail) {
      t_last_error = step.code;
      return false;
    }
    take = std::min<std::size_t>(take, step.limit);
  }
  d.console_writes.emplace_back(units, count);
  d.screen.append(units, take);
  *written = static_cast<Dword>(take);
  return true;
}

bool FakeSystem::ReadConsoleW(Handle console, char16_t* units, Dword count, Dword* read,
                              const ConsoleReadControl* control) {
  Log("ReadConsoleW");
  auto it = devices.find(console);
  if (it == devices.end() || !it->second.console || it->second.screen_buffer) {
    t_last_error = ERROR_INVALID_HANDLE;
    return false;
  }
  Device& d = it->second;
  d.read_requests.push_back(count);
  if (control != nullptr) d.read_controls.push_back(*control);
  if (!d.console_read_errors.empty()) {
    Dword error = d.console_read_errors.front();
    d.console_read_errors.pop_front();
    if (error != 0) {
      t_last_error = error;
      *read = 0;
      return true;
    }
  }
  if (!d.read_script.empty() && d.read_script.front().what == DeviceStep::What::Fail) {
    t_last_error = d.read_script.front().code;
    d.read_script.pop_front();
    return false;
  }
  // Nothing typed ahead: the read waits for the user's next line.
  if (d.console_lines.empty() && !d.typed_during_read.empty()) {
    d.console_lines.push_back(std::move(d.typed_during_read.front()));
    d.typed_during_read.pop_front();
  }
  if (d.console_lines.empty()) {
    *read = 0;
    return true;
  }
  std::u16string& line = d.console_lines.front();
  std::size_t take = std::min<std::size_t>(count, line.size());
  std::copy(line.begin(), line.begin() + static_cast<std::ptrdiff_t>(take), units);
  line.erase(0, take);
  if (line.empty()) d.console_lines.pop_front();
  *read = static_cast<Dword>(take);
  return true;
}

// As documented: every input record in the buffer is discarded; the handle
// must be a console input buffer's (anything else fails with
// ERROR_INVALID_HANDLE) and must carry GENERIC_WRITE. Lines not yet typed
// are not in the buffer and stay.
bool FakeSystem::FlushConsoleInputBuffer(Handle console) {
  Log("FlushConsoleInputBuffer");
  auto it = devices.find(console);
  if (it == devices.end() || !it->second.console || it->second.screen_buffer) {
    t_last_error = ERROR_INVALID_HANDLE;
    return false;
  }
  Device& d = it->second;
  if (!d.input_write_access) {
    t_last_error = ERROR_ACCESS_DENIED;
    return false;
  }
  for (std::u16string& line : d.console_lines) d.flushed_lines.push_back(std::move(line));
  d.console_lines.clear();
  return true;
}

bool FakeSystem::SetConsoleTitleW(const char16_t* title) {
  Log("SetConsoleTitleW");
  // Keep the terminating zero, so a test can see it was passed.
  titles.emplace_back(title, Length(title) + 1);
  bool has_console = false;
  for (auto& [h, d] : devices) has_console = has_console || d.console;
  if (!has_console) {
    t_last_error = ERROR_INVALID_HANDLE;
    return false;
  }
  return true;
}

Handle FakeSystem::CreateFileW(const char16_t* name, Dword access, Dword share, Dword disposition,
                               Dword flags) {
  Log("CreateFileW");
  created_files.emplace_back(name, Length(name) + 1);
  create_file_params = {access, share, disposition, flags};
  if (std::u16string_view(name) == u"CONOUT$" && conout != nullptr) {
    open_.insert(conout);
    return conout;
  }
  t_last_error = conout_error;
  return InvalidHandleValue();
}

bool FakeSystem::CloseHandle(Handle handle) {
  Log("CloseHandle");
  std::lock_guard<std::recursive_mutex> lock(mutex_);
  if (failing_closes.count(handle) != 0 || open_.erase(handle) == 0) {
    t_last_error = ERROR_INVALID_HANDLE;
    return false;
  }
  inheritable_.erase(handle);
  return true;
}

int FakeSystem::MultiByteToWideChar(Dword codePage, Dword flags, const char* bytes, int count, char16_t* units,
                                    int room) {
  Log("MultiByteToWideChar");
  if (codePage != CP_UTF8 || count < 0) {
    t_last_error = ERROR_INVALID_PARAMETER;
    return 0;
  }
  const auto* b = reinterpret_cast<const std::uint8_t*>(bytes);
  if ((flags & MB_ERR_INVALID_CHARS) && ValidUtf8PrefixLength(b, static_cast<std::size_t>(count)) !=
                                            static_cast<std::size_t>(count)) {
    t_last_error = 1113;  // ERROR_NO_UNICODE_TRANSLATION
    return 0;
  }
  std::u16string wide = Widen(std::string_view(bytes, static_cast<std::size_t>(count)));
  if (room == 0) return static_cast<int>(wide.size());
  if (wide.size() > static_cast<std::size_t>(room)) {
    t_last_error = ERROR_INSUFFICIENT_BUFFER;
    return 0;
  }
  std::copy(wide.begin(), wide.end(), units);
  return static_cast<int>(wide.size());
}

int FakeSystem::WideCharToMultiByte(Dword codePage, Dword flags, const char16_t* units, int count, char* bytes,
                                    int room) {
  Log("WideCharToMultiByte");
  if (codePage != CP_UTF8 || count < 0) {
    t_last_error = ERROR_INVALID_PARAMETER;
    return 0;
  }
  Text out(*this);
  if (!AppendUtf8(out, std::u16string_view(units, static_cast<std::size_t>(count)))) {
    if (flags & WC_ERR_INVALID_CHARS) {
      t_last_error = 1113;
      return 0;
    }
  }
  if (room == 0) return static_cast<int>(out.size());
  if (out.size() > static_cast<std::size_t>(room)) {
    t_last_error = ERROR_INSUFFICIENT_BUFFER;
    return 0;
  }
  std::memcpy(bytes, out.data(), out.size());
  return static_cast<int>(out.size());
}

namespace {

// The scripted steps that answer a byte call before any data moves: a bare
// status, a call that never completes, or an invalid handle. Empty when the
// call goes on to move data.
std::optional<NtStatus> AnswerWithoutData(Device& d, const DeviceStep& step, IoStatusBlock* block) {
  switch (step.what) {
    case DeviceStep::What::Status:
      if (step.status >= 0) {
        block->Status = step.status;
        block->Information = 0;
      }
      return step.status;
    case DeviceStep::What::StayPending:
      d.pending_block = block;
      d.pending_forever = true;
      return STATUS_PENDING;
    case DeviceStep::What::Fail:
      return STATUS_INVALID_HANDLE;
    case DeviceStep::What::Pending:
    case DeviceStep::What::Take:
      break;
  }
  return std::nullopt;
}

// Leaves the call pending; the next wait on the device completes it with
// `amount` bytes (or, for kPendingEnd, with the end of the input).
NtStatus CompleteOnWait(Device& d, IoStatusBlock* block, std::size_t amount) {
  d.pending_block = block;
  d.pending_amount = amount;
  d.pending_forever = false;
  return STATUS_PENDING;
}

constexpr std::size_t kPendingEnd = static_cast<std::size_t>(-1);

}  // namespace

NtStatus FakeSystem::NtWriteFile(Handle file, IoStatusBlock* block, const void* data, Dword length) {
  Log("NtWriteFile");
  auto it = devices.find(file);
  if (it == devices.end()) return STATUS_INVALID_HANDLE;
  Device& d = it->second;
  std::size_t take = length;
  bool pending = false;
  if (!d.write_script.empty()) {
    DeviceStep step = d.write_script.front();
    d.write_script.pop_front();
    if (auto answer = AnswerWithoutData(d, step, block)) return *answer;
    pending = step.what == DeviceStep::What::Pending;
    take = std::min<std::size_t>(take, step.limit);
  }
  d.bytes.append(static_cast<const char*>(data), take);
  d.byte_writes.emplace_back(static_cast<const char*>(data), take);
  if (pending) return CompleteOnWait(d, block, take);
  block->Status = STATUS_SUCCESS;
  block->Information = take;
  return STATUS_SUCCESS;
}

NtStatus FakeSystem::NtReadFile(Handle file, IoStatusBlock* block, void* data, Dword length) {
  Log("NtReadFile");
  auto it = devices.find(file);
  if (it == devices.end()) return STATUS_INVALID_HANDLE;
  Device& d = it->second;
  d.read_requests.push_back(length);
  std::size_t limit = length;
  bool pending = false;
  if (!d.read_script.empty()) {
    DeviceStep step = d.read_script.front();
    d.read_script.pop_front();
    if (auto answer = AnswerWithoutData(d, step, block)) return *answer;
    pending = step.what == DeviceStep::What::Pending;
    limit = std::min<std::size_t>(limit, step.limit);
  }
  const std::size_t left = d.input.size() - d.input_at;
  if (left == 0) {
    if (pending) {
      block->Status = STATUS_PENDING;
      return CompleteOnWait(d, block, kPendingEnd);
    }
    return d.pipe ? STATUS_PIPE_BROKEN : STATUS_END_OF_FILE;
  }
  const std::size_t take = std::min(limit, left);
  std::memcpy(data, d.input.data() + d.input_at, take);
  d.input_at += take;
  if (pending) return CompleteOnWait(d, block, take);
  block->Status = STATUS_SUCCESS;
  block->Information = take;
  return STATUS_SUCCESS;
}

Dword FakeSystem::WaitForSingleObject(Handle object, Dword milliseconds) {
  Log("WaitForSingleObject");
  auto dev = devices.find(object);
  if (dev != devices.end()) {
    Device& d = dev->second;
    if (d.pending_block != nullptr && !d.pending_forever) {
      if (d.pending_amount == kPendingEnd) {
        d.pending_block->Status = d.pipe ? STATUS_PIPE_BROKEN : STATUS_END_OF_FILE;
        d.pending_block->Information = 0;
      } else {
        d.pending_block->Status = STATUS_SUCCESS;
        d.pending_block->Information = d.pending_amount;
      }
    }
    d.pending_block = nullptr;
    return WAIT_OBJECT_0;
  }
  if (process_exit.count(object) != 0) {
    process_wait_timeouts.push_back(milliseconds);
    if (wait_result) {
      if (*wait_result == WAIT_FAILED) t_last_error = ERROR_INVALID_HANDLE;
      return *wait_result;
    }
    return WAIT_OBJECT_0;
  }
  t_last_error = ERROR_INVALID_HANDLE;
  return WAIT_FAILED;
}

Dword FakeSystem::GetEnvironmentVariableW(const char16_t* name, char16_t* buffer, Dword size) {
  Log("GetEnvironmentVariableW");
  const std::u16string key = Upper(name);
  for (const auto& [n, v] : environment) {
    if (Upper(n) == key) {
      Dword r = CopyOut(v, buffer, size);
      return r;
    }
  }
  t_last_error = ERROR_ENVVAR_NOT_FOUND;
  return 0;
}

char16_t* FakeSystem::GetEnvironmentStringsW() {
  Log("GetEnvironmentStringsW");
  std::u16string block;
  for (const auto& [n, v] : environment) {
    block += n;
    block += u'=';
    block += v;
    block += char16_t(0);
  }
  block += char16_t(0);
  auto* out = new char16_t[block.size()];
  std::copy(block.begin(), block.end(), out);
  ++environment_blocks_out;
  return out;
}

bool FakeSystem::FreeEnvironmentStringsW(char16_t* block) {
  Log("FreeEnvironmentStringsW");
  delete[] block;
  --environment_blocks_out;
  return true;
}

Dword FakeSystem::GetModuleFileNameW(char16_t* buffer, Dword size) {
  Log("GetModuleFileNameW");
  if (fail_module_file_name) {
    t_last_error = ERROR_NOT_ENOUGH_MEMORY;
    return 0;
  }
  // Truncates and reports the buffer size when it does not fit.
  if (module_file_name.size() + 1 > size) {
    std::copy(module_file_name.begin(), module_file_name.begin() + size - 1, buffer);
    buffer[size - 1] = 0;
    t_last_error = ERROR_INSUFFICIENT_BUFFER;
    return size;
  }
  return CopyOut(module_file_name, buffer, size);
}

Dword FakeSystem::GetSystemDirectoryW(char16_t* buffer, Dword size) {
  Log("GetSystemDirectoryW");
  if (fail_system_directory) {
    t_last_error = ERROR_NOT_ENOUGH_MEMORY;
    return 0;
  }
  return CopyOut(system_directory, buffer, size);
}

Dword FakeSystem::GetWindowsDirectoryW(char16_t* buffer, Dword size) {
  Log("GetWindowsDirectoryW");
  if (fail_windows_directory) {
    t_last_error = ERROR_NOT_ENOUGH_MEMORY;
    return 0;
  }
  return CopyOut(windows_directory, buffer, size);
}

Dword FakeSystem::GetFileAttributesW(const char16_t* path) {
  Log("GetFileAttributesW");
  const std::u16string key = Upper(path);
  for (const auto& [p, attributes] : files) {
    if (Upper(p) == key) return attributes;
  }
  t_last_error = ERROR_FILE_NOT_FOUND;
  return INVALID_FILE_ATTRIBUTES;
}

Dword FakeSystem::GetFullPathNameW(const char16_t* path, Dword size, char16_t* buffer) {
  Log("GetFullPathNameW");
  std::u16string in(path);
  auto failure = full_path_failures.find(in);
  if (failure != full_path_failures.end()) {
    t_last_error = failure->second;
    return 0;
  }
  // A small model: absolute paths come back as they are, with '/' turned
  // into '\'; anything else is joined to the current directory, and "."
  // components are dropped.
  for (auto& c : in) {
    if (c == u'/') c = u'\\';
  }
  std::u16string full;
  const bool absolute = (in.size() >= 3 && in[1] == u':' && in[2] == u'\\') || in.rfind(u"\\\\", 0) == 0;
  if (absolute) {
    full = in;
  } else {
    full = current_directory;
    std::u16string rest = in;
    while (rest.rfind(u".\\", 0) == 0) rest.erase(0, 2);
    if (rest != u".") {
      if (full.empty() || full.back() != u'\\') full += u'\\';
      full += rest;
    }
  }
  return CopyOut(full, buffer, size);
}

int FakeSystem::CompareStringOrdinal(const char16_t* a, int aLength, const char16_t* b, int bLength,
                                     bool ignoreCase) {
  Log("CompareStringOrdinal");
  std::u16string x(a, aLength < 0 ? Length(a) : static_cast<std::size_t>(aLength));
  std::u16string y(b, bLength < 0 ? Length(b) : static_cast<std::size_t>(bLength));
  if (ignoreCase) {
    x = Upper(x);
    y = Upper(y);
  }
  int c = x.compare(y);
  return c < 0 ? CSTR_LESS_THAN : c == 0 ? CSTR_EQUAL : CSTR_GREATER_THAN;
}

Handle FakeSystem::GetCurrentProcess() {
  Log("GetCurrentProcess");
  return pseudo_process();
}

bool FakeSystem::DuplicateHandle(Handle, Handle source, Handle, Handle* target, Dword, bool inherit, Dword) {
  Log("DuplicateHandle");
  ++duplicate_calls_;
  if (duplicate_error_on_call && *duplicate_error_on_call == duplicate_calls_) {
    t_last_error = duplicate_error;
    return false;
  }
  if (!is_open(source) && devices.count(source) == 0) {
    t_last_error = ERROR_INVALID_HANDLE;
    return false;
  }
  Handle copy = NewHandle();
  if (devices.count(source) != 0) devices[copy] = devices[source];
  if (inherit) inheritable_.insert(copy);
  *target = copy;
  return true;
}

bool FakeSystem::CreateProcessW(const char16_t* application, char16_t* commandLine, bool inheritHandles,
                                Dword creationFlags, void* environment_block, const char16_t* directory,
                                const StartupInfo* startup, ProcessInformation* information) {
  Log("CreateProcessW");
  ProcessLaunch launch;
  if (application != nullptr) launch.application = application;
  if (commandLine != nullptr) launch.command_line = commandLine;
  launch.inherit_handles = inheritHandles;
  launch.flags = creationFlags;
  if (environment_block != nullptr) {
    launch.has_environment = true;
    const auto* env = static_cast<const char16_t*>(environment_block);
    std::size_t n = 0;
    while (!(env[n] == 0 && env[n + 1] == 0)) ++n;
    launch.environment.assign(env, n + 2);
  }
  if (directory != nullptr) {
    launch.has_directory = true;
    launch.directory = directory;
  }
  if (startup != nullptr) launch.startup = *startup;
  launch.inheritable_open.assign(inheritable_.begin(), inheritable_.end());
  launches.push_back(launch);
  if (create_process_error) {
    t_last_error = *create_process_error;
    return false;
  }
  information->hProcess = NewHandle();
  information->hThread = NewHandle();
  information->dwProcessId = 1000 + static_cast<Dword>(launches.size());
  information->dwThreadId = 2000 + static_cast<Dword>(launches.size());
  Dword code = 0;
  if (!exit_codes.empty()) {
    code = exit_codes.front();
    exit_codes.pop_front();
  }
  process_exit[information->hProcess] = code;
  return true;
}

bool FakeSystem::GetExitCodeProcess(Handle process, Dword* code) {
  Log("GetExitCodeProcess");
  auto it = process_exit.find(process);
  if (fail_exit_code || it == process_exit.end() || !is_open(process)) {
    t_last_error = ERROR_INVALID_HANDLE;
    return false;
  }
  *code = it->second;
  return true;
}

bool FakeSystem::InitializeProcThreadAttributeList(void* list, Dword count, std::size_t* size) {
  Log("InitializeProcThreadAttributeList");
  const std::size_t needed = 48 + 24 * static_cast<std::size_t>(count);
  if (list == nullptr) {
    *size = needed;
    t_last_error = ERROR_INSUFFICIENT_BUFFER;
    return false;
  }
  if (*size < needed) {
    t_last_error = ERROR_INSUFFICIENT_BUFFER;
    return false;
  }
  ++attribute_lists_live;
  return true;
}

bool FakeSystem::UpdateProcThreadAttribute(void*, std::uintptr_t attribute, const void*, std::size_t) {
  Log("UpdateProcThreadAttribute");
  if (failing_attribute && *failing_attribute == attribute) {
    t_last_error = ERROR_INVALID_PARAMETER;
    return false;
  }
  updated_attributes.push_back(attribute);
  return true;
}

void FakeSystem::DeleteProcThreadAttributeList(void*) {
  Log("DeleteProcThreadAttributeList");
  --attribute_lists_live;
}

// The C++ library's atomic wait misses wake-ups now and then in the MinGW
// build, so the fake parks waiters on a condition variable instead and
// re-checks the word at least every millisecond. WaitOnAddress may return
// spuriously anyway; callers loop.
namespace {
std::mutex g_address_mutex;
std::condition_variable g_address_wake;
}  // namespace

bool FakeSystem::WaitOnAddress(volatile void* address, const void* compare, std::size_t size, Dword) {
  Log("WaitOnAddress");
  if (size != 1) FatalStop();
  auto* word = reinterpret_cast<std::atomic<std::uint8_t>*>(const_cast<void*>(address));
  std::unique_lock<std::mutex> lock(g_address_mutex);
  if (word->load() == *static_cast<const std::uint8_t*>(compare)) {
    g_address_wake.wait_for(lock, std::chrono::milliseconds(1));
  }
  return true;
}

void FakeSystem::WakeByAddressSingle(void*) {
  Log("WakeByAddressSingle");
  std::lock_guard<std::mutex> lock(g_address_mutex);
  g_address_wake.notify_all();
}

void FakeSystem::WakeByAddressAll(void*) {
  Log("WakeByAddressAll");
  std::lock_guard<std::mutex> lock(g_address_mutex);
  g_address_wake.notify_all();
}

Dword FakeSystem::GetCurrentThreadId() {
  if (t_thread_id == 0) t_thread_id = g_next_thread_id.fetch_add(1);
  return t_thread_id;
}

void FakeSystem::FatalStop() {
  Log("FatalStop");
  throw FatalStopped{};
}

void FakeSystem::FailFast() {
  Log("FailFast");
  throw FailedFast{};
}

}  // namespace wr::testing
