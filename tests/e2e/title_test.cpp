// The window title without a console: only "TERM" decides whether the title
// goes out as an escape sequence in front of the banner.
#include <optional>
#include <string>

#include "tests/e2e/expected_texts.h"
#include "tests/e2e/same_text.h"
#include "tests/e2e/sandbox.h"

namespace wr::e2e {
namespace {

struct TermCase {
  const char* name;
  std::optional<std::wstring> term;
  bool escape;
};

void PrintTo(const TermCase& c, std::ostream* os) { *os << c.name; }

class TitleByTerm : public Sandbox, public ::testing::WithParamInterface<TermCase> {};

TEST_P(TitleByTerm, EscapeSequenceOnlyWhenTermAllowsIt) {
  PlaceTool(L"DISM", 0);
  PlaceTool(L"sfc", 0);
  RunOptions options;
  options.detached = true;
  options.term = GetParam().term;
  RunResult run = Run(options);
  EXPECT_EQ(run.exitCode, 0u);
  const std::string rest =
      Banner() + Stage1() + StandInSaid("DISM") + Stage2() + StandInSaid("sfc") + std::string(kSuccessText);
  EXPECT_SAME_TEXT(run.out, (GetParam().escape ? TitleEscape() : std::string()) + rest);
  if (GetParam().escape) {
    ASSERT_GE(run.out.size(), 78u);
    EXPECT_EQ(run.out.substr(0, 4), "\x1b]0;");
    EXPECT_EQ(run.out[77], '\x07');
    EXPECT_EQ(run.out.substr(78, 6), "\n    .");
  } else {
    EXPECT_EQ(run.out.substr(0, 6), "\n    .");
  }
}

INSTANTIATE_TEST_SUITE_P(NoConsole, TitleByTerm,
                         ::testing::Values(TermCase{"Unset", std::nullopt, false}, TermCase{"Dumb", L"dumb", false},
                                           TermCase{"Xterm", L"xterm", true}, TermCase{"SetButEmpty", L"", true},
                                           TermCase{"DumbInCapitals", L"DUMB", true},
                                           TermCase{"DumbWithTrailingSpace", L"dumb ", true},
                                           TermCase{"NonAscii", L"тер", true},
                                           TermCase{"LoneSurrogate", std::wstring(1, wchar_t(0xD800)), false}),
                         [](const auto& info) { return std::string(info.param.name); });

using TitleWithConsole = Sandbox;

TEST_F(TitleWithConsole, TermOtherThanDumbGivesTheEscapeWhateverTheConsoleAccepts) {
  // A console that takes virtual-terminal mode and one that refuses it both
  // end in the escape form here: the first by the probe, the second by TERM.
  PlaceTool(L"DISM", 0);
  PlaceTool(L"sfc", 0);
  RunOptions options;
  options.detached = false;
  options.term = L"xterm-256color";
  RunResult run = Run(options);
  EXPECT_EQ(run.exitCode, 0u);
  EXPECT_SAME_TEXT(run.out, TitleEscape() + Banner() + Stage1() + StandInSaid("DISM") + Stage2() + StandInSaid("sfc") +
                                std::string(kSuccessText));
}

}  // namespace
}  // namespace wr::e2e
