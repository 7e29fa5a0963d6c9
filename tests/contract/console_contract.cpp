// Console calls that need no console: on files and pipes, and in a process
// that has none.
#include "tests/contract/contract_support.h"
#include "tests/contract/world.h"

namespace wr::contract {
namespace {

using NoConsole = Contract;

TEST_F(NoConsole, ConsoleCallsOnAFileOrAPipeAreInvalidHandles) {
  world().MakeFile(u"plain.txt", "text");
  const Handle file = world().OpenForReading(u"plain.txt");
  const PipeEnds pipe = world().MakePipe();
  for (Handle h : {file, pipe.read, pipe.write}) {
    Dword mode = 0x1234;
    os().SetLastError(0);
    EXPECT_FALSE(os().GetConsoleMode(h, &mode));
    EXPECT_EQ(os().GetLastError(), ERROR_INVALID_HANDLE);
    os().SetLastError(0);
    EXPECT_FALSE(os().SetConsoleMode(h, ENABLE_VIRTUAL_TERMINAL_PROCESSING));
    EXPECT_EQ(os().GetLastError(), ERROR_INVALID_HANDLE);
  }
  Dword written = 99;
  os().SetLastError(0);
  EXPECT_FALSE(os().WriteConsoleW(pipe.write, u"x", 1, &written));
  EXPECT_EQ(os().GetLastError(), ERROR_INVALID_HANDLE);
  for (Handle h : {file, pipe.read, pipe.write}) EXPECT_TRUE(os().CloseHandle(h));
}

// Started detached with no standard handles: every standard handle is null,
// the console's screen buffer cannot be opened by name and there is no
// title to set.
TEST_F(NoConsole, AProcessWithoutAConsole) {
  const Dword seen = world().RunWithoutConsole();
  EXPECT_EQ(seen & kConoutOpened, 0u) << "CONOUT$ opened";
  EXPECT_EQ(seen & 0xFFFFu, ERROR_INVALID_HANDLE) << "the error left by the failed open";
  EXPECT_NE(seen & kStdInputNull, 0u);
  EXPECT_NE(seen & kStdOutputNull, 0u);
  EXPECT_NE(seen & kStdErrorNull, 0u);
  EXPECT_EQ(seen & kTitleSet, 0u) << "a title without a console";
  EXPECT_NE(seen & kTitleErrorInvalidHandle, 0u);
}

}  // namespace

}  // namespace wr::contract
