#include "tests/contract/world.h"

#include <cstdio>
#include <string>

namespace wr::contract {
namespace {

std::u16string Hex(std::uintptr_t value) {
  static const char16_t digits[] = u"0123456789ABCDEF";
  std::u16string out;
  do {
    out.insert(out.begin(), digits[value & 0xF]);
    value >>= 4;
  } while (value != 0);
  return u"0x" + out;
}

}  // namespace

std::u16string World::child_command(ChildAct act, Dword code, Handle a, Handle b) const {
  std::u16string line(1, u'"');
  line += child_program();
  line += u'"';
  switch (act) {
    case ChildAct::Exit:
      return line + u" exit " + Hex(code);
    case ChildAct::Sleep:
      return line + u" sleep";
    case ChildAct::CountInherited:
      return line + u" count " + Hex(reinterpret_cast<std::uintptr_t>(a)) + u" " +
             Hex(reinterpret_cast<std::uintptr_t>(b));
  }
  return line;
}

bool KnownWineDifference(World& world, const char* what, const char* documented) {
  if (!world.wine()) return false;
  const ::testing::TestInfo* test = ::testing::UnitTest::GetInstance()->current_test_info();
  std::printf("known Wine difference: %s.%s: %s (documented: %s)\n", test->test_suite_name(), test->name(), what,
              documented);
  std::fflush(stdout);
  ::testing::Test::RecordProperty("known_wine_difference", what);
  return true;
}

}  // namespace wr::contract
