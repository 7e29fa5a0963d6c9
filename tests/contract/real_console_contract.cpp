// Console calls that need a real console: run against the fake everywhere,
// and on the real system only inside a console (under Wine, a tmux pane; see
// run_real_console.py).
#include <string>

#include "tests/contract/contract_support.h"
#include "tests/contract/world.h"

namespace wr::contract {
namespace {

// Run without a console (a redirected test run), there is nothing to ask:
// the cases say so and skip rather than fail.
class RealConsole : public Contract {
 protected:
  void SetUp() override {
    Contract::SetUp();
    if (!world().HasConsole()) GTEST_SKIP() << "no console attached: the console cases need one";
  }
};

constexpr char16_t kCtrlZ = 0x1A;
constexpr Dword ENABLE_PROCESSED_INPUT = 0x1;
constexpr Dword ENABLE_LINE_INPUT = 0x2;
constexpr Dword ENABLE_ECHO_INPUT = 0x4;

TEST_F(RealConsole, AWriteTakesEveryUnitAndSaysSo) {
  const Handle out = world().OpenConsoleOutput();
  Dword mode = 0;
  ASSERT_TRUE(os().GetConsoleMode(out, &mode)) << "error " << os().GetLastError();
  const std::u16string text = u"\u043A\u043E\u043D\u0442\u0440\u0430\u043A\u0442 contract\r\n";
  Dword written = 0;
  ASSERT_TRUE(os().WriteConsoleW(out, text.data(), static_cast<Dword>(text.size()), &written));
  EXPECT_EQ(written, text.size());
  EXPECT_TRUE(os().CloseHandle(out));
}

// In line mode a read waits for Enter; with Ctrl+Z in the wake-up mask,
// Ctrl+Z ends the read at once and stays in the buffer. What was typed
// after it comes with the next read, Enter read as CR LF.
TEST_F(RealConsole, CtrlZInTheWakeUpMaskEndsTheRead) {
  const Handle in = world().OpenConsoleInput();
  ASSERT_TRUE(os().SetConsoleMode(in, ENABLE_PROCESSED_INPUT | ENABLE_LINE_INPUT | ENABLE_ECHO_INPUT))
      << "error " << os().GetLastError();
  world().Type(in, u"ab\u001Acd\r");
  const ConsoleReadControl control{sizeof(ConsoleReadControl), 0, 1u << kCtrlZ, 0};
  char16_t units[64] = {};
  Dword read = 0;
  ASSERT_TRUE(os().ReadConsoleW(in, units, 64, &read, &control)) << "error " << os().GetLastError();
  EXPECT_EQ(std::u16string(units, read), u"ab\x1A");
  ASSERT_TRUE(os().ReadConsoleW(in, units, 64, &read, &control)) << "error " << os().GetLastError();
  EXPECT_EQ(std::u16string(units, read), u"cd\r\n");
  EXPECT_TRUE(os().CloseHandle(in));
}

// A read with less room than the line gets what fits; the rest comes with
// the next read.
TEST_F(RealConsole, ALineLongerThanTheRoomComesInParts) {
  const Handle in = world().OpenConsoleInput();
  ASSERT_TRUE(os().SetConsoleMode(in, ENABLE_PROCESSED_INPUT | ENABLE_LINE_INPUT | ENABLE_ECHO_INPUT));
  world().Type(in, u"abcdef\r");
  char16_t units[4] = {};
  Dword read = 0;
  ASSERT_TRUE(os().ReadConsoleW(in, units, 4, &read, nullptr));
  EXPECT_EQ(std::u16string(units, read), u"abcd");
  ASSERT_TRUE(os().ReadConsoleW(in, units, 4, &read, nullptr));
  EXPECT_EQ(std::u16string(units, read), u"ef\r\n");
  EXPECT_TRUE(os().CloseHandle(in));
}

// The title handed to SetConsoleTitleW is the one the console reports,
// Cyrillic and all. The window gets its old title back afterwards.
TEST_F(RealConsole, TheTitleSetIsTheTitleShown) {
  const std::u16string before = world().ConsoleTitle();
  const std::u16string title =
      u"\u0423\u0442\u0438\u043B\u0438\u0442\u0430 \u0432\u043E\u0441\u0441\u0442\u0430"
      u"\u043D\u043E\u0432\u043B\u0435\u043D\u0438\u044F windows contract";
  ASSERT_TRUE(os().SetConsoleTitleW(title.c_str())) << "error " << os().GetLastError();
  EXPECT_EQ(Narrow(world().ConsoleTitle()), Narrow(title));
  EXPECT_TRUE(os().SetConsoleTitleW(before.c_str()));
}

// FlushConsoleInputBuffer drops every key typed before it, whole lines and
// the start of one alike; a line typed after it is read whole.
TEST_F(RealConsole, AFlushDropsOnlyWhatWasTypedBeforeIt) {
  const Handle in = world().OpenConsoleInput();
  ASSERT_TRUE(os().SetConsoleMode(in, ENABLE_PROCESSED_INPUT | ENABLE_LINE_INPUT | ENABLE_ECHO_INPUT))
      << "error " << os().GetLastError();
  world().Type(in, u"early\r\rpart");
  ASSERT_TRUE(os().FlushConsoleInputBuffer(in)) << "error " << os().GetLastError();
  const std::u16string after = u"\u0434\u0430 later\r";
  world().Type(in, after);
  char16_t units[64] = {};
  Dword read = 0;
  ASSERT_TRUE(os().ReadConsoleW(in, units, 64, &read, nullptr)) << "error " << os().GetLastError();
  EXPECT_EQ(Narrow(std::u16string(units, read)), Narrow(after + u"\n"));
  EXPECT_TRUE(os().CloseHandle(in));
}

}  // namespace
}  // namespace wr::contract
