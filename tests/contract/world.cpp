#include "tests/contract/world.h"

#include <cstdio>
#include <string>
#include <vector>

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

// Every known difference the run met, listed again at its end.
std::vector<std::string>& Differences() {
  static std::vector<std::string> seen;
  return seen;
}

class DifferenceList : public ::testing::Environment {
 public:
  void TearDown() override {
    if (Differences().empty()) return;
    std::printf("%zu known Wine differences in this run, each checked against Wine's own answer:\n",
                Differences().size());
    for (const std::string& line : Differences()) std::printf("  %s\n", line.c_str());
    std::fflush(stdout);
  }
};

[[maybe_unused]] ::testing::Environment* const kDifferenceList =
    ::testing::AddGlobalTestEnvironment(new DifferenceList);

}  // namespace

std::u16string World::child_command(ChildAct act, Dword code, Handle a, Handle b) const {
  std::u16string line(1, u'"');
  line += child_program();
  line += u'"';
  switch (act) {
    case ChildAct::Exit: return line + u" exit " + Hex(code);
    case ChildAct::Sleep: return line + u" sleep";
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
  Differences().push_back(std::string(test->test_suite_name()) + "." + test->name() + ": " + what);
  return true;
}

}  // namespace wr::contract
