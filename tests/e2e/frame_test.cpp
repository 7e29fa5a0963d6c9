// The process frame's two early ends on the real system: the silent fatal
// stop and the fail-fast after the one fatal runtime message. Both must end
// the process at once, with no debugger or error dialog in the way.
#include <windows.h>

#include <gtest/gtest.h>

#include <cstdint>
#include <filesystem>
#include <string>

#include "tests/e2e/sandbox.h"

namespace wr::e2e {
namespace {

struct Ended {
  std::uint32_t exitCode = 0;
  std::string out;
  std::string err;
};

Ended RunProbe(const std::filesystem::path& dir, const std::wstring& argument) {
  const std::filesystem::path outFile = dir / L"out.txt";
  const std::filesystem::path errFile = dir / L"err.txt";
  SECURITY_ATTRIBUTES inherit{sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
  HANDLE out = CreateFileW(outFile.c_str(), GENERIC_WRITE, FILE_SHARE_READ, &inherit, CREATE_ALWAYS, 0, nullptr);
  HANDLE err = CreateFileW(errFile.c_str(), GENERIC_WRITE, FILE_SHARE_READ, &inherit, CREATE_ALWAYS, 0, nullptr);
  HANDLE in =
      CreateFileW(L"NUL", GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, &inherit, OPEN_EXISTING, 0, nullptr);
  EXPECT_NE(out, INVALID_HANDLE_VALUE);
  EXPECT_NE(err, INVALID_HANDLE_VALUE);
  EXPECT_NE(in, INVALID_HANDLE_VALUE);

  STARTUPINFOW startup{};
  startup.cb = sizeof startup;
  startup.dwFlags = STARTF_USESTDHANDLES;
  startup.hStdInput = in;
  startup.hStdOutput = out;
  startup.hStdError = err;
  const std::wstring program = OwnDir() + L"\\fatal_probe.exe";
  std::wstring commandLine = L"\"" + program + L"\" " + argument;
  PROCESS_INFORMATION info{};
  const BOOL started = CreateProcessW(program.c_str(), commandLine.data(), nullptr, nullptr, TRUE, DETACHED_PROCESS,
                                      nullptr, nullptr, &startup, &info);
  CloseHandle(out);
  CloseHandle(err);
  CloseHandle(in);
  Ended ended;
  if (!started) {
    ADD_FAILURE() << "could not start " << ToUtf8(program) << ": " << GetLastError();
    return ended;
  }
  // A debugger or an error dialog would hold the process far longer.
  EXPECT_EQ(WaitForSingleObject(info.hProcess, 30000), WAIT_OBJECT_0) << "the process did not end at once";
  DWORD code = 0;
  GetExitCodeProcess(info.hProcess, &code);
  CloseHandle(info.hProcess);
  CloseHandle(info.hThread);
  ended.exitCode = code;
  ended.out = ReadBytes(outFile);
  ended.err = ReadBytes(errFile);
  return ended;
}

// One run of the probe: the fatal path it takes and how the process must end.
struct EndCase {
  const char* name;
  const wchar_t* argument;
  std::uint32_t exitCode;
  const char* err;
};

void PrintTo(const EndCase& c, std::ostream* os) { *os << c.name; }

class FrameTest : public Sandbox, public ::testing::WithParamInterface<EndCase> {};

// Nothing reaches standard output on any of these paths.
TEST_P(FrameTest, EndsWithItsStatusAndMessage) {
  const EndCase& c = GetParam();
  const Ended ended = RunProbe(Root(), c.argument);
  EXPECT_EQ(ended.exitCode, c.exitCode);
  EXPECT_EQ(ended.err, c.err);
  EXPECT_EQ(ended.out, "");
}

INSTANTIATE_TEST_SUITE_P(
    Probe, FrameTest,
    ::testing::Values(EndCase{"PendingIoWritesTheOneMessageThenFailsFast", L"pending-io", 0xC0000409u,
                              "fatal runtime error: I/O error: operation failed to complete synchronously\n"},
                      EndCase{"FatalStopEndsSilently", L"fatal-stop", 0xC000001Du, ""},
                      // Should TerminateProcess ever come back, the fatal stop must not:
                      // nothing after it may run.
                      EndCase{"AFatalStopWhoseTerminateReturnsStillEndsTheProcess", L"terminate-returns", 0xC0000409u,
                              ""},
                      // Guards the rows above: their statuses come from the fatal paths,
                      // not from the probe failing to start or run.
                      EndCase{"ProbeWithoutAFatalPathExitsNormally", L"nothing", 3u, "fell through\n"}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace wr::e2e
