// Starting programs, their exit codes, waits, inheritance and handles.
#include <string>
#include <vector>

#include "tests/contract/contract_support.h"
#include "tests/contract/world.h"

namespace wr::contract {
namespace {

using Processes = Contract;

constexpr Dword STILL_ACTIVE = 259;
constexpr std::uintptr_t PROC_THREAD_ATTRIBUTE_HANDLE_LIST = 0x20002;
// sizeof(STARTUPINFOW) and sizeof(STARTUPINFOEXW) on x64.
constexpr Dword kStartupInfoSize = 104;
constexpr Dword kStartupInfoExSize = 112;

struct Started {
  bool ok = false;
  Dword error = 0;
  ProcessInformation info;
};

Started Start(System& os, const std::u16string& application, std::u16string command_line, bool inherit = false,
              Dword flags = 0, void* attributes = nullptr) {
  StartupInfo startup;
  startup.lpAttributeList = attributes;
  Started s;
  os.SetLastError(0);
  s.ok = os.CreateProcessW(application.c_str(), command_line.data(), inherit,
                           flags | (attributes != nullptr ? EXTENDED_STARTUPINFO_PRESENT : 0), nullptr, nullptr,
                           &startup, &s.info);
  s.error = os.GetLastError();
  return s;
}

Dword WaitAndExitCode(System& os, const Started& s) {
  EXPECT_EQ(os.WaitForSingleObject(s.info.hProcess, 10000), WAIT_OBJECT_0);
  Dword code = 0xDEADu;
  EXPECT_TRUE(os.GetExitCodeProcess(s.info.hProcess, &code));
  EXPECT_TRUE(os.CloseHandle(s.info.hThread));
  EXPECT_TRUE(os.CloseHandle(s.info.hProcess));
  return code;
}

struct RefusedCase {
  const char* label;
  std::u16string_view name;
  Dword error;
};

// What cannot start: a missing file (2), a file that is not a program (193)
// and a directory (5, access denied).
const RefusedCase kRefused[] = {
    {"missing", u"missing.exe", ERROR_FILE_NOT_FOUND},
    {"not a program", u"text.exe", ERROR_BAD_EXE_FORMAT},
    {"directory", u"folder.exe", ERROR_ACCESS_DENIED},
};

TEST_F(Processes, ProgramsThatCannotStart) {
  world().MakeFile(u"text.exe", "just some text, not a program\r\n");
  world().MakeDirectory(u"folder.exe");
  for (const RefusedCase& c : kRefused) {
    SCOPED_TRACE(c.label);
    const std::u16string path = world().scratch() + u"\\" + std::u16string(c.name);
    const Started s = Start(os(), path, u"\"" + path + u"\"");
    EXPECT_FALSE(s.ok);
    if (c.error == ERROR_ACCESS_DENIED &&
        KnownWineDifference(world(), "starting a directory fails with ERROR_INVALID_HANDLE (6)",
                            "opening a directory as the program's file is STATUS_FILE_IS_A_DIRECTORY, which "
                            "the system maps to ERROR_ACCESS_DENIED (Microsoft support article 113996, "
                            "\"Mapping NT status error codes to Win32 error codes\")")) {
      EXPECT_EQ(s.error, ERROR_INVALID_HANDLE);
      continue;
    }
    EXPECT_EQ(s.error, c.error);
  }
}

TEST_F(Processes, ExitCodesKeepAll32Bits) {
  for (Dword code : {Dword{3}, Dword{0x80000000u}, Dword{0xC0000409u}}) {
    SCOPED_TRACE(code);
    const Started s = Start(os(), world().child_program(), world().child_command(ChildAct::Exit, code));
    ASSERT_TRUE(s.ok) << "error " << s.error;
    EXPECT_EQ(WaitAndExitCode(os(), s), code);
  }
}

TEST_F(Processes, AWaitEndsAtItsTimeLimitWhileTheChildRuns) {
  const Started s = Start(os(), world().child_program(), world().child_command(ChildAct::Sleep));
  ASSERT_TRUE(s.ok) << "error " << s.error;
  EXPECT_EQ(os().WaitForSingleObject(s.info.hProcess, 30), WAIT_TIMEOUT);
  Dword code = 0;
  EXPECT_TRUE(os().GetExitCodeProcess(s.info.hProcess, &code));
  EXPECT_EQ(code, STILL_ACTIVE);
  world().EndChild(s.info.hProcess);
  EXPECT_EQ(os().WaitForSingleObject(s.info.hProcess, 10000), WAIT_OBJECT_0);
  EXPECT_TRUE(os().CloseHandle(s.info.hThread));
  EXPECT_TRUE(os().CloseHandle(s.info.hProcess));
}

// Two inheritable handles; the attribute list names one, and only that one
// reaches the child. Windows takes the list from a STARTUPINFOEXW, whose cb
// says so; with the plain size it may refuse the start or let every
// inheritable handle through, and either fails here. Wine reads the list
// whenever the flag is given, so there the size System handed over is
// checked where the call leaves the program.
TEST_F(Processes, TheAttributeListLimitsWhatIsInherited) {
  const bool size_unread = KnownWineDifference(
      world(),
      "CreateProcessW reads the attribute list whenever EXTENDED_STARTUPINFO_PRESENT is set, whatever "
      "cb says; the cb handed to it is checked instead",
      "STARTUPINFOEXW: \"Be sure to set the cb member of the STARTUPINFO structure to sizeof(STARTUPINFOEX)\"; "
      "Process Creation Flags, EXTENDED_STARTUPINFO_PRESENT: \"the lpStartupInfo parameter specifies a "
      "STARTUPINFOEX structure\"; UpdateProcThreadAttribute, PROC_THREAD_ATTRIBUTE_HANDLE_LIST: \"a list of "
      "handles to be inherited by the child process\"");
  if (size_unread) world().WatchStartupSizes();

  const PipeEnds first = world().MakePipe();
  const PipeEnds second = world().MakePipe();
  Handle a = nullptr;
  Handle b = nullptr;
  const Handle self = os().GetCurrentProcess();
  ASSERT_TRUE(os().DuplicateHandle(self, first.write, self, &a, 0, true, DUPLICATE_SAME_ACCESS));
  ASSERT_TRUE(os().DuplicateHandle(self, second.write, self, &b, 0, true, DUPLICATE_SAME_ACCESS));

  std::size_t size = 0;
  EXPECT_FALSE(os().InitializeProcThreadAttributeList(nullptr, 1, &size));
  EXPECT_EQ(os().GetLastError(), ERROR_INSUFFICIENT_BUFFER);
  ASSERT_GT(size, 0u);
  std::vector<std::uint64_t> storage((size + 7) / 8);
  ASSERT_TRUE(os().InitializeProcThreadAttributeList(storage.data(), 1, &size));
  Handle listed[1] = {a};
  ASSERT_TRUE(os().UpdateProcThreadAttribute(storage.data(), PROC_THREAD_ATTRIBUTE_HANDLE_LIST, listed, sizeof listed));

  const Started s = Start(os(), world().child_program(), world().child_command(ChildAct::CountInherited, 0, a, b), true,
                          0, storage.data());
  os().DeleteProcThreadAttributeList(storage.data());
  ASSERT_TRUE(s.ok) << "error " << s.error;
  EXPECT_EQ(WaitAndExitCode(os(), s), 1u) << "only the listed handle";

  // Without the list every inheritable handle goes.
  const Started all =
      Start(os(), world().child_program(), world().child_command(ChildAct::CountInherited, 0, a, b), true);
  ASSERT_TRUE(all.ok) << "error " << all.error;
  EXPECT_EQ(WaitAndExitCode(os(), all), 2u);
  if (size_unread) {
    EXPECT_EQ(world().StartupSizesSeen(), (std::vector<Dword>{kStartupInfoExSize, kStartupInfoSize}))
        << "cb: STARTUPINFOEXW's size with the list, STARTUPINFOW's without";
  }

  for (Handle h : {a, b, first.read, first.write, second.read, second.write}) EXPECT_TRUE(os().CloseHandle(h));
}

// A duplicate keeps the object alive after the original is closed; a
// handle closed twice fails the second time with ERROR_INVALID_HANDLE.
TEST_F(Processes, DuplicatesAndClosingTwice) {
  const PipeEnds pipe = world().MakePipe();
  Handle copy = nullptr;
  const Handle self = os().GetCurrentProcess();
  ASSERT_TRUE(os().DuplicateHandle(self, pipe.write, self, &copy, 0, false, DUPLICATE_SAME_ACCESS));
  EXPECT_NE(copy, pipe.write);
  EXPECT_TRUE(os().CloseHandle(pipe.write));
  IoStatusBlock block{-1, 0};
  EXPECT_EQ(os().NtWriteFile(copy, &block, "via copy", 8), STATUS_SUCCESS);
  EXPECT_EQ(world().Drain(pipe.read, 8), "via copy");

  EXPECT_TRUE(os().CloseHandle(copy));
  os().SetLastError(0);
  EXPECT_FALSE(os().CloseHandle(copy));
  EXPECT_EQ(os().GetLastError(), ERROR_INVALID_HANDLE);
  // Nor can a closed handle be duplicated or waited on.
  Handle again = nullptr;
  os().SetLastError(0);
  EXPECT_FALSE(os().DuplicateHandle(self, copy, self, &again, 0, false, DUPLICATE_SAME_ACCESS));
  EXPECT_EQ(os().GetLastError(), ERROR_INVALID_HANDLE);
  os().SetLastError(0);
  EXPECT_EQ(os().WaitForSingleObject(copy, 0), WAIT_FAILED);
  EXPECT_EQ(os().GetLastError(), ERROR_INVALID_HANDLE);
  EXPECT_TRUE(os().CloseHandle(pipe.read));
}

}  // namespace
}  // namespace wr::contract
