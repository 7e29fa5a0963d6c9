#include "tests/unit/fake/fake_system.h"

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

constexpr Dword kWaitTimeout = 258;
constexpr Dword kStillActive = 259;

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

// The system's upper-case table, unit by unit (names, paths and
// CompareStringOrdinal ignoring case all use it), for the scripts the
// program's names come in: ASCII, Latin-1 and Cyrillic. No unit becomes two
// ("ß" stays "ß").
std::u16string Upper(std::u16string_view text) {
  std::u16string out(text);
  for (auto& c : out) {
    if (c >= u'a' && c <= u'z') c = static_cast<char16_t>(c - 0x20);
    else if (c >= 0x00E0 && c <= 0x00FE && c != 0x00F7) c = static_cast<char16_t>(c - 0x20);  // à-þ
    else if (c == 0x00FF) c = 0x0178;                                                         // ÿ
    else if (c >= 0x0430 && c <= 0x044F) c = static_cast<char16_t>(c - 0x20);                 // а-я
    else if (c >= 0x0450 && c <= 0x045F) c = static_cast<char16_t>(c - 0x50);                 // ѐ-џ, ё among them
  }
  return out;
}

namespace {

bool IsDriveLetter(char16_t c) { return (c >= u'A' && c <= u'Z') || (c >= u'a' && c <= u'z'); }

// An absolute path with '\' separators: "C:..." or "\\server\share...".
std::u16string NormaliseAbsolute(const std::u16string& in) {
  std::u16string root;
  std::size_t at = 0;
  if (in.rfind(u"\\\\", 0) == 0) {
    const std::size_t server_end = in.find(u'\\', 2);
    const std::size_t share_end = server_end == std::u16string::npos ? server_end : in.find(u'\\', server_end + 1);
    at = share_end == std::u16string::npos ? in.size() : share_end;
  } else {
    at = 2;
  }
  root = in.substr(0, at);
  const bool trailing_separator = in.size() > at && in.back() == u'\\';
  std::vector<std::u16string> parts;
  std::size_t i = at;
  while (i < in.size()) {
    std::size_t end = in.find(u'\\', i);
    if (end == std::u16string::npos) end = in.size();
    std::u16string part = in.substr(i, end - i);
    i = end + 1;
    if (part.empty() || part == u".") continue;
    if (part == u"..") {
      if (!parts.empty()) parts.pop_back();  // never above the root or the share
      continue;
    }
    parts.push_back(part);
  }
  // A segment ending in a single period loses it; the last segment, unless
  // the path ends in a separator, loses all its trailing periods and spaces.
  for (std::size_t k = 0; k < parts.size(); ++k) {
    std::u16string& part = parts[k];
    const bool last = k + 1 == parts.size();
    if (last && !trailing_separator) {
      while (!part.empty() && (part.back() == u'.' || part.back() == u' ')) part.pop_back();
    } else if (part.size() >= 2 && part.back() == u'.' && part[part.size() - 2] != u'.') {
      part.pop_back();
    }
  }
  while (!parts.empty() && parts.back().empty()) parts.pop_back();
  std::u16string out = root;
  for (const auto& part : parts) out += u'\\' + part;
  if (parts.empty() || trailing_separator) out += u'\\';
  return out;
}

}  // namespace

// The documented Win32 path normalisation ("File path formats on Windows
// systems", and GetFullPathNameW): '/' is a separator, "." and ".." are
// evaluated, trailing periods and spaces go; a drive-relative name is
// relative to the current directory on that drive (its root on another
// drive), a rooted name to the current drive. "\\?\" names are taken as
// they are.
std::u16string FullPath(std::u16string_view path, std::u16string_view current) {
  if (path.rfind(u"\\\\?\\", 0) == 0) return std::u16string(path);
  std::u16string in(path);
  for (auto& c : in) {
    if (c == u'/') c = u'\\';
  }
  const std::u16string cwd(current);
  if (in.rfind(u"\\\\", 0) == 0) return NormaliseAbsolute(in);
  if (in.size() >= 2 && in[1] == u':' && IsDriveLetter(in[0])) {
    if (in.size() >= 3 && in[2] == u'\\') return NormaliseAbsolute(in);
    const std::u16string rest = in.substr(2);
    if (Upper(cwd.substr(0, 2)) == Upper(in.substr(0, 2))) return NormaliseAbsolute(cwd + u'\\' + rest);
    return NormaliseAbsolute(in.substr(0, 2) + u'\\' + rest);
  }
  if (!in.empty() && in[0] == u'\\') return NormaliseAbsolute(cwd.substr(0, 2) + in);
  return NormaliseAbsolute(cwd + u'\\' + in);
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

PipePair FakeSystem::AddPipePair(std::size_t capacity, bool overlapped_writer) {
  auto channel = std::make_shared<PipeChannel>();
  channel->capacity = capacity;
  channel->readers = 1;
  channel->writers = 1;
  PipePair pair{NewHandle(), NewHandle()};
  Device& reader = devices[pair.read];
  reader.pipe = true;
  reader.channel = channel;
  Device& writer = devices[pair.write];
  writer.pipe = true;
  writer.channel = channel;
  writer.channel_writer = true;
  writer.overlapped = overlapped_writer;
  return pair;
}

void FakeSystem::EndProcess(Handle process, Dword code) {
  std::lock_guard<std::recursive_mutex> lock(mutex_);
  running_processes.erase(process);
  process_exit[process] = code;
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
  // With both sources named, the module's table is searched first and then
  // the system's (FormatMessage, FORMAT_MESSAGE_FROM_SYSTEM).
  const bool from_module = (flags & FORMAT_MESSAGE_FROM_HMODULE) != 0 && source == ntdll_module();
  auto it = ntdll_messages.end();
  if (from_module) it = ntdll_messages.find(id);
  if (it == ntdll_messages.end() && (!from_module || (flags & FORMAT_MESSAGE_FROM_SYSTEM) != 0)) {
    it = system_messages.find(id);
    if (it == system_messages.end()) it = ntdll_messages.end();
  }
  if (it == ntdll_messages.end()) {
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

// A handle that is not a console (a file, a pipe) makes every console call
// fail with ERROR_INVALID_HANDLE; the contract suite checks this against the
// real system.
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

// A console that predates virtual-terminal processing refuses the whole
// mode word with ERROR_INVALID_PARAMETER ("Console Virtual Terminal
// Sequences": SetConsoleMode fails when ENABLE_VIRTUAL_TERMINAL_PROCESSING
// is not supported); `accepts_vt = false` is that console. Wine's console
// takes the flag, so no real console here can show the refusal.
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

// WriteConsoleW reports in lpNumberOfCharsWritten the characters actually
// written, which may be fewer than asked (WriteConsole: "the number of
// characters actually written"): a scripted Take(n) is such a partial take,
// a scripted Fail a failing call with its last error. A real console writes
// everything it is given in practice, so these answers exist only here.
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

// A console line comes back as typed, CR LF included, at most `count` units
// a call, the rest on the next call. With a CONSOLE_READCONSOLE_CONTROL
// whose dwCtrlWakeupMask has the bit of a control character, typing that
// character ends the read at once and leaves it in the buffer
// (CONSOLE_READCONSOLE_CONTROL, dwCtrlWakeupMask): a scripted line ending in
// U+001A is Ctrl+Z ending a read that way. A read interrupted by Ctrl+C or
// Ctrl+Break returns TRUE with no characters and ERROR_OPERATION_ABORTED as
// the last error, which console_read_errors scripts.
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
      d.console_reads.emplace_back();
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
    d.console_reads.emplace_back();
    *read = 0;
    return true;
  }
  std::u16string& line = d.console_lines.front();
  std::size_t take = std::min<std::size_t>(count, line.size());
  std::copy(line.begin(), line.begin() + static_cast<std::ptrdiff_t>(take), units);
  d.console_reads.push_back(line.substr(0, take));
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

Handle FakeSystem::CreateFileW(const char16_t* name, Dword access, Dword share, Dword disposition, Dword flags) {
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
  auto dev = devices.find(handle);
  if (dev != devices.end() && dev->second.channel) {
    PipeChannel& channel = *dev->second.channel;
    --(dev->second.channel_writer ? channel.writers : channel.readers);
    devices.erase(dev);
  }
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
  if ((flags & MB_ERR_INVALID_CHARS) &&
      ValidUtf8PrefixLength(b, static_cast<std::size_t>(count)) != static_cast<std::size_t>(count)) {
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
  // Without WC_ERR_INVALID_CHARS a lone surrogate becomes U+FFFD, as every
  // system since Windows Vista does (WideCharToMultiByte, "Remarks").
  std::string out;
  for (int i = 0; i < count; ++i) {
    char32_t c = units[i];
    if (IsHighSurrogate(units[i]) && i + 1 < count && IsLowSurrogate(units[i + 1])) {
      c = 0x10000 + ((c - 0xD800) << 10) + (units[i + 1] - 0xDC00);
      ++i;
    } else if (IsHighSurrogate(units[i]) || IsLowSurrogate(units[i])) {
      if (flags & WC_ERR_INVALID_CHARS) {
        t_last_error = 1113;  // ERROR_NO_UNICODE_TRANSLATION
        return 0;
      }
      c = 0xFFFD;
    }
    char encoded[4];
    out.append(encoded, static_cast<std::size_t>(EncodeUtf8(c, encoded)));
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
    case DeviceStep::What::Fail: return STATUS_INVALID_HANDLE;
    case DeviceStep::What::Pending:
    case DeviceStep::What::Take: break;
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

constexpr NtStatus kStatusPipeClosing = static_cast<NtStatus>(0xC00000B1u);

// Writing to a pipe nobody can read any more is ERROR_NO_DATA ("the pipe is
// being closed"). A write the pipe cannot hold completes on an overlapped
// handle when the reader has taken enough; a synchronous one would block,
// which the fake cannot, so it is taken whole.
NtStatus WriteToChannel(Device& d, IoStatusBlock* block, const void* data, Dword length) {
  PipeChannel& channel = *d.channel;
  if (channel.readers == 0) return kStatusPipeClosing;
  channel.unread.append(static_cast<const char*>(data), length);
  d.bytes.append(static_cast<const char*>(data), length);
  d.byte_writes.emplace_back(static_cast<const char*>(data), length);
  if (d.overlapped && channel.capacity != 0 && channel.unread.size() > channel.capacity) {
    d.pending_until_drained = true;
    return CompleteOnWait(d, block, length);
  }
  block->Status = STATUS_SUCCESS;
  block->Information = length;
  return STATUS_SUCCESS;
}

// A read takes what is there; with nothing there and no writer left the
// pipe is broken. With a writer left a real read would block until it
// writes: the fake cannot, and a case that does so is wrong.
NtStatus ReadFromChannel(Device& d, IoStatusBlock* block, void* data, Dword length) {
  PipeChannel& channel = *d.channel;
  if (channel.unread.empty()) {
    if (channel.writers == 0) return STATUS_PIPE_BROKEN;
    return STATUS_INVALID_HANDLE;  // stands for the read that would never return
  }
  const std::size_t take = std::min<std::size_t>(length, channel.unread.size());
  std::memcpy(data, channel.unread.data(), take);
  channel.unread.erase(0, take);
  block->Status = STATUS_SUCCESS;
  block->Information = take;
  return STATUS_SUCCESS;
}

}  // namespace

NtStatus FakeSystem::NtWriteFile(Handle file, IoStatusBlock* block, const void* data, Dword length) {
  Log("NtWriteFile");
  auto it = devices.find(file);
  if (it == devices.end()) return STATUS_INVALID_HANDLE;
  Device& d = it->second;
  if (d.channel && d.channel_writer) return WriteToChannel(d, block, data, length);
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
  if (d.channel && !d.channel_writer) return ReadFromChannel(d, block, data, length);
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
    if (d.pending_until_drained && d.pending_block != nullptr) {
      // Signalled only once the reader has taken what the pipe could not hold.
      if (d.channel->unread.size() > d.channel->capacity) {
        if (milliseconds == INFINITE) FatalStop();  // would never return
        return kWaitTimeout;
      }
      d.pending_until_drained = false;
    }
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
    if (running_processes.count(object) != 0) {
      if (milliseconds == INFINITE) FatalStop();  // nothing will end it: the wait would never return
      return kWaitTimeout;
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

std::u16string FakeSystem::FileKey(std::u16string_view path) const {
  std::u16string full = Upper(FullPath(path, current_directory));
  if (full.size() > 3 && full.back() == u'\\') full.pop_back();
  return full;
}

Dword FakeSystem::GetFileAttributesW(const char16_t* path) {
  Log("GetFileAttributesW");
  const std::u16string key = FileKey(path);
  for (const auto& [p, attributes] : files) {
    if (FileKey(p) == key) return attributes;
  }
  // A missing name in a directory that exists is "file not found"; under a
  // directory that does not, "path not found". A directory exists when it
  // is listed, holds something listed, or is a root.
  const std::u16string parent = key.substr(0, key.rfind(u'\\'));
  bool parent_exists = parent.size() <= 2 || key.rfind(u"\\\\", 0) == 0;
  for (const auto& [p, attributes] : files) {
    const std::u16string listed = FileKey(p);
    parent_exists = parent_exists || listed == parent || listed.rfind(parent + u'\\', 0) == 0;
  }
  t_last_error = parent_exists ? ERROR_FILE_NOT_FOUND : 3;  // ERROR_PATH_NOT_FOUND
  return INVALID_FILE_ATTRIBUTES;
}

Dword FakeSystem::GetFullPathNameW(const char16_t* path, Dword size, char16_t* buffer) {
  Log("GetFullPathNameW");
  const std::u16string in(path);
  auto failure = full_path_failures.find(in);
  if (failure != full_path_failures.end()) {
    t_last_error = failure->second;
    return 0;
  }
  const std::u16string full = FullPath(in, current_directory);
  return CopyOut(full, buffer, size);
}

int FakeSystem::CompareStringOrdinal(const char16_t* a, int aLength, const char16_t* b, int bLength, bool ignoreCase) {
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
  if (devices.count(source) != 0) {
    devices[copy] = devices[source];
    if (auto& channel = devices[copy].channel) ++(devices[copy].channel_writer ? channel->writers : channel->readers);
  }
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
  // Inheritance needs bInheritHandles; a handle list then limits it to the
  // handles listed (PROC_THREAD_ATTRIBUTE_HANDLE_LIST).
  if (inheritHandles) {
    const auto list = startup != nullptr && (creationFlags & EXTENDED_STARTUPINFO_PRESENT) != 0
                          ? handle_lists.find(startup->lpAttributeList)
                          : handle_lists.end();
    for (Handle h : launch.inheritable_open) {
      if (list == handle_lists.end() || std::find(list->second.begin(), list->second.end(), h) != list->second.end())
        launch.inherited.push_back(h);
    }
  }
  launches.push_back(launch);
  if (create_process_error) {
    t_last_error = *create_process_error;
    return false;
  }
  if (application != nullptr) {
    // What the application names must be a program: a missing file is
    // error 2 (3 under a missing directory), a directory access denied, any
    // other file "not a valid Win32 application".
    const Dword attributes = GetFileAttributesW(application);
    if (attributes == INVALID_FILE_ATTRIBUTES) return false;
    if ((attributes & 0x10) != 0) {
      t_last_error = ERROR_ACCESS_DENIED;
      return false;
    }
    if (non_programs.count(FileKey(application)) != 0) {
      t_last_error = ERROR_BAD_EXE_FORMAT;
      return false;
    }
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
  *code = running_processes.count(process) != 0 ? kStillActive : it->second;
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

bool FakeSystem::UpdateProcThreadAttribute(void* list, std::uintptr_t attribute, const void* value, std::size_t size) {
  Log("UpdateProcThreadAttribute");
  if (failing_attribute && *failing_attribute == attribute) {
    t_last_error = ERROR_INVALID_PARAMETER;
    return false;
  }
  updated_attributes.push_back(attribute);
  constexpr std::uintptr_t kHandleList = 0x20002;  // PROC_THREAD_ATTRIBUTE_HANDLE_LIST
  if (attribute == kHandleList && value != nullptr) {
    const auto* handles = static_cast<const Handle*>(value);
    handle_lists[list].assign(handles, handles + size / sizeof(Handle));
  }
  return true;
}

void FakeSystem::DeleteProcThreadAttributeList(void* list) {
  Log("DeleteProcThreadAttributeList");
  handle_lists.erase(list);
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
