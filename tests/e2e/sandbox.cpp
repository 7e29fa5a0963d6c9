#include "tests/e2e/sandbox.h"

#include <algorithm>
#include <cstdio>
#include <sstream>

namespace wr::e2e {
namespace fs = std::filesystem;

namespace {

constexpr DWORD kRunTimeoutMs = 60000;

// The slow reader of Output::SlowOverlappedPipe: the pipe buffers this much,
// and the reader takes this much at a time with a pause in between.
constexpr DWORD kSlowPipeBuffer = 64;
constexpr DWORD kSlowReadBytes = 16;
constexpr DWORD kSlowReadPauseMs = 5;

std::wstring Query(UINT (*query)(LPWSTR, UINT)) {
  wchar_t buffer[MAX_PATH + 1];
  UINT n = query(buffer, MAX_PATH + 1);
  return std::wstring(buffer, n);
}

// Owns one handle for the length of a run.
struct OwnedHandle {
  HANDLE h = nullptr;
  OwnedHandle() = default;
  OwnedHandle(const OwnedHandle&) = delete;
  OwnedHandle& operator=(const OwnedHandle&) = delete;
  ~OwnedHandle() { Reset(); }
  void Reset() {
    if (h) CloseHandle(h);
    h = nullptr;
  }
};

SECURITY_ATTRIBUTES Inheritable() {
  SECURITY_ATTRIBUTES sa{};
  sa.nLength = sizeof sa;
  sa.bInheritHandle = TRUE;
  return sa;
}

// Null when the file cannot be opened.
HANDLE OpenInheritable(const fs::path& file, DWORD access, DWORD disposition) {
  SECURITY_ATTRIBUTES sa = Inheritable();
  HANDLE h = CreateFileW(file.c_str(), access, FILE_SHARE_READ | FILE_SHARE_WRITE, &sa, disposition,
                         FILE_ATTRIBUTE_NORMAL, nullptr);
  return h == INVALID_HANDLE_VALUE ? nullptr : h;
}

// One end of a pipe, inheritable, with the other end already closed.
HANDLE HalfPipe(bool keepReader) {
  SECURITY_ATTRIBUTES sa = Inheritable();
  HANDLE reader = nullptr, writer = nullptr;
  if (!CreatePipe(&reader, &writer, &sa, 0)) return nullptr;
  CloseHandle(keepReader ? writer : reader);
  return keepReader ? reader : writer;
}

// A byte-mode pipe: the server end, kept by the test for reading, and the
// client end for the program, both opened for overlapped I/O.
bool OverlappedPipe(HANDLE* server, HANDLE* client) {
  static LONG serial = 0;
  const std::wstring name = L"\\\\.\\pipe\\winrepair-e2e-" + std::to_wstring(GetCurrentProcessId()) + L"-" +
                            std::to_wstring(InterlockedIncrement(&serial));
  *server = CreateNamedPipeW(name.c_str(), PIPE_ACCESS_INBOUND | FILE_FLAG_OVERLAPPED | FILE_FLAG_FIRST_PIPE_INSTANCE,
                             PIPE_TYPE_BYTE | PIPE_READMODE_BYTE | PIPE_WAIT | PIPE_REJECT_REMOTE_CLIENTS, 1,
                             kSlowPipeBuffer, kSlowPipeBuffer, 0, nullptr);
  if (*server == INVALID_HANDLE_VALUE) {
    *server = nullptr;
    return false;
  }
  SECURITY_ATTRIBUTES sa = Inheritable();
  *client = CreateFileW(name.c_str(), GENERIC_WRITE, 0, &sa, OPEN_EXISTING, FILE_FLAG_OVERLAPPED, nullptr);
  if (*client == INVALID_HANDLE_VALUE) {
    *client = nullptr;
    return false;
  }
  return true;
}

// Reads the pipe a few bytes at a time until every writer has closed it.
bool ReadSlowly(HANDLE server, std::string& bytes) {
  OVERLAPPED overlapped{};
  overlapped.hEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  if (!overlapped.hEvent) return false;
  const ULONGLONG deadline = GetTickCount64() + kRunTimeoutMs;
  bool ended = false;
  for (;;) {
    char chunk[kSlowReadBytes];
    DWORD got = 0;
    if (!ReadFile(server, chunk, sizeof chunk, nullptr, &overlapped) && GetLastError() != ERROR_IO_PENDING) {
      ended = GetLastError() == ERROR_BROKEN_PIPE;
      break;
    }
    const ULONGLONG now = GetTickCount64();
    if (now >= deadline ||
        WaitForSingleObject(overlapped.hEvent, static_cast<DWORD>(deadline - now)) != WAIT_OBJECT_0) {
      CancelIo(server);
      GetOverlappedResult(server, &overlapped, &got, TRUE);
      break;
    }
    if (!GetOverlappedResult(server, &overlapped, &got, FALSE)) {
      ended = GetLastError() == ERROR_BROKEN_PIPE;
      break;
    }
    bytes.append(chunk, got);
    Sleep(kSlowReadPauseMs);
  }
  CloseHandle(overlapped.hEvent);
  return ended;
}

// A Unicode environment block holding only what the test chose, sorted the
// way the system keeps its own blocks.
std::wstring EnvironmentBlock(const RunOptions& options) {
  std::vector<std::wstring> entries;
  const std::wstring windows = WindowsDirectory();
  entries.push_back(L"SystemRoot=" + windows);
  entries.push_back(L"windir=" + windows);
  entries.push_back(L"SystemDrive=" + windows.substr(0, 2));
  entries.push_back(L"PATH=" + options.path.value_or(SystemDirectory() + L";" + windows));
  if (options.term) entries.push_back(L"TERM=" + *options.term);
  std::sort(entries.begin(), entries.end(), [](const std::wstring& a, const std::wstring& b) {
    return CompareStringOrdinal(a.c_str(), -1, b.c_str(), -1, TRUE) == CSTR_LESS_THAN;
  });
  std::wstring block;
  for (const auto& e : entries) {
    block += e;
    block.push_back(L'\0');
  }
  block.push_back(L'\0');
  return block;
}

std::wstring QuoteForCommandLine(const std::wstring& argument) {
  // Only arguments without quotes and trailing backslashes are used here.
  if (!argument.empty() && argument.find_first_of(L" \t") == std::wstring::npos) return argument;
  return L"\"" + argument + L"\"";
}

}  // namespace

std::wstring SystemDirectory() { return Query(GetSystemDirectoryW); }
std::wstring WindowsDirectory() { return Query(GetWindowsDirectoryW); }

void Sandbox::SetUp() {
  const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
  std::wstring name = Widen(std::string(info->test_suite_name()) + "." + info->name());
  std::replace(name.begin(), name.end(), L'/', L'_');
  root_ = FreshScratchDir(name);
  program_ = root_ / L"winrepair.exe";
  // WR_E2E_PROGRAM runs the same tests on another build of the program,
  // such as the signed release.
  const wchar_t* other = _wgetenv(L"WR_E2E_PROGRAM");
  const fs::path source = other && *other ? fs::path(other) : fs::path(OwnDir()) / L"winrepair.exe";
  ASSERT_TRUE(fs::is_regular_file(source)) << "no program at " << source.string();
  fs::copy_file(source, program_);
}

void Sandbox::RelocateProgram(const fs::path& dir) {
  fs::create_directories(dir);
  const fs::path moved = dir / L"winrepair.exe";
  ASSERT_TRUE(MoveFileW(program_.c_str(), moved.c_str())) << "move to " << moved.string();
  program_ = moved;
}

void Sandbox::TearDown() {
  // Left in place after a failure, for a look at what the program saw.
  if (HasFailure()) {
    std::printf("left for inspection: %s\n", ToUtf8(root_.wstring()).c_str());
    return;
  }
  // The system may keep the program's image open for a moment after the
  // process has been seen to end, so the copy can refuse deletion at first.
  RemoveScratchDir(root_);
}

fs::path Sandbox::Dir(const std::wstring& name) {
  fs::path dir = root_ / name;
  fs::create_directories(dir);
  return dir;
}

void Sandbox::DelayTool(const std::wstring& name, std::uint32_t milliseconds) {
  WriteBytes(root_ / (name + L".delay"), std::to_string(milliseconds) + "\n");
}

void Sandbox::PlaceToolIn(const fs::path& dir, const std::wstring& name, std::optional<std::uint32_t> exitCode) {
  fs::create_directories(dir);
  CopyStandIn(dir / (name + L".exe"));
  if (exitCode) {
    char text[16];
    snprintf(text, sizeof text, "0x%08X\n", static_cast<unsigned>(*exitCode));
    WriteBytes(dir / (name + L".exitcode"), text);
  }
}

std::vector<Sandbox::ToolRun> Sandbox::ToolRuns(const fs::path& dir, const std::wstring& name) const {
  std::vector<ToolRun> runs;
  std::istringstream log(ReadBytes(dir / (name + L".log")));
  std::string commandLine, handles;
  while (std::getline(log, commandLine) && std::getline(log, handles)) {
    runs.push_back({commandLine, handles == "stdhandles=1"});
  }
  return runs;
}

RunResult Sandbox::Run(const RunOptions& options) {
  RunResult result;
  // On Windows the tests run as administrator, and the system's own DISM and
  // sfc would really service the machine: a run there needs a stand-in for
  // each one the system has, beside the program, which searches its own
  // folder first. Wine's own tools are harmless stubs, and some tests mean
  // to reach them.
  if (!UnderWine()) {
    for (const wchar_t* tool : {L"DISM.exe", L"sfc.exe"}) {
      const bool systemHasIt =
          fs::exists(fs::path(SystemDirectory()) / tool) || fs::exists(fs::path(WindowsDirectory()) / tool);
      if (systemHasIt && !fs::exists(program_.parent_path() / tool)) {
        ADD_FAILURE() << "not run: no " << ToUtf8(tool) << " beside the program, so the system's own would start";
        result.exitCode = 0xFFFFFFFFu;
        return result;
      }
    }
  }

  const fs::path outFile = root_ / L"stdout.bin";
  const fs::path errFile = root_ / L"stderr.bin";
  const fs::path inFile = root_ / L"stdin.bin";

  OwnedHandle in, out, err, pipeServer;
  if (!options.noStdHandles) {
    switch (options.input) {
      case Input::EmptyFile:
      case Input::FileBytes:
        WriteBytes(inFile, options.input == Input::FileBytes ? options.inputBytes : std::string());
        in.h = OpenInheritable(inFile, GENERIC_READ, OPEN_EXISTING);
        break;
      case Input::Nul: in.h = OpenInheritable(L"NUL", GENERIC_READ, OPEN_EXISTING); break;
      case Input::PipeWriterGone: in.h = HalfPipe(/*keepReader=*/true); break;
      case Input::WriteOnlyFile: in.h = OpenInheritable(inFile, GENERIC_WRITE, CREATE_ALWAYS); break;
      case Input::Absent: break;
    }
    switch (options.output) {
      case Output::File: out.h = OpenInheritable(outFile, GENERIC_WRITE, CREATE_ALWAYS); break;
      case Output::PipeReaderGone: out.h = HalfPipe(/*keepReader=*/false); break;
      case Output::SlowOverlappedPipe: OverlappedPipe(&pipeServer.h, &out.h); break;
      case Output::Absent: break;
    }
    err.h = OpenInheritable(errFile, GENERIC_WRITE, CREATE_ALWAYS);
    if ((options.input != Input::Absent && !in.h) || (options.output != Output::Absent && !out.h) || !err.h) {
      ADD_FAILURE() << "could not prepare the standard handles: " << GetLastError();
      return result;
    }
  }

  STARTUPINFOW startup{};
  startup.cb = sizeof startup;
  if (!options.noStdHandles) {
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = in.h;
    startup.hStdOutput = out.h;
    startup.hStdError = err.h;
  }

  std::wstring commandLine = L"\"" + Program().wstring() + L"\"";
  for (const auto& a : options.arguments) commandLine += L" " + QuoteForCommandLine(a);
  std::wstring environment = EnvironmentBlock(options);
  const fs::path cwd = options.currentDirectory.value_or(root_);
  DWORD flags = CREATE_UNICODE_ENVIRONMENT | (options.detached ? DETACHED_PROCESS : 0);

  PROCESS_INFORMATION process{};
  if (!CreateProcessW(Program().c_str(), commandLine.data(), nullptr, nullptr,
                      /*bInheritHandles=*/!options.noStdHandles, flags, environment.data(), cwd.c_str(), &startup,
                      &process)) {
    ADD_FAILURE() << "could not start the program: " << GetLastError();
    return result;
  }
  // Only the child may hold the write ends now, so a closed pipe end is seen.
  in.Reset();
  out.Reset();
  err.Reset();
  CloseHandle(process.hThread);
  if (pipeServer.h && !ReadSlowly(pipeServer.h, result.out)) {
    ADD_FAILURE() << "standard output did not reach its end within " << kRunTimeoutMs << " ms";
  }
  if (WaitForSingleObject(process.hProcess, kRunTimeoutMs) != WAIT_OBJECT_0) {
    TerminateProcess(process.hProcess, 0xDEAD);
    WaitForSingleObject(process.hProcess, 5000);
    ADD_FAILURE() << "the program did not end within " << kRunTimeoutMs << " ms";
  }
  DWORD code = 0;
  GetExitCodeProcess(process.hProcess, &code);
  CloseHandle(process.hProcess);
  result.exitCode = code;
  if (!options.noStdHandles) {
    if (options.output == Output::File) result.out = ReadBytes(outFile);
    result.err = ReadBytes(errFile);
  }
  return result;
}

}  // namespace wr::e2e
