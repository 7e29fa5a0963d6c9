// Prints what the program shows in each way a run can end: the window title,
// then each run's whole output, the runs apart by a line "--- DISM <code>,
// sfc <code>" (a code, or "none" for a tool that cannot be found). The
// guides' check (check_screen_quotes.py) holds their quotes of the screen to
// these lines.
#include <cstdio>
#include <optional>
#include <string>

#include "tests/unit/driver/verdict_runs.h"

namespace {

std::string CodeText(std::optional<wr::Dword> code) { return code ? std::to_string(*code) : "none"; }

}  // namespace

int main() {
  bool title_printed = false;
  for (const auto& [dism, sfc] : wr::testing::EveryVerdictRun()) {
    const wr::testing::Outcome run = wr::testing::RunWithTools(dism, sfc);
    if (!title_printed) {
      std::printf("--- title\n%s\n", wr::testing::Narrow(run.title).c_str());
      title_printed = true;
    }
    std::printf("--- DISM %s, sfc %s\n", CodeText(dism).c_str(), CodeText(sfc).c_str());
    std::fwrite(run.written.data(), 1, run.written.size(), stdout);
  }
  return std::fflush(stdout) == 0 ? 0 : 1;
}
