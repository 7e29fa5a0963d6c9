// Whole repair runs on the fake, one for each way a run can end. The unit
// tests hold every line of them to the console's width; the guide's check
// (tests/screens/quotes/check_screen_quotes.py, through tests/screens/quotes/print_screens.cpp)
// holds the guides' quotes of the screen to them.
#pragma once

#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "driver/advice.h"
#include "driver/repair.h"
#include "tests/unit/driver/test_console.h"
#include "tests/unit/fake/fake_system.h"

namespace wr::testing {

// One run with the tools that can be found exiting with the given codes.
struct Outcome {
  std::string written;
  std::u16string title;  // as handed to SetConsoleTitleW, without its terminating zero
  std::size_t launches;
  bool paused;
};

inline Outcome RunWithTools(std::optional<Dword> dism, std::optional<Dword> sfc) {
  FakeSystem os;
  Handle out = os.AddFile();
  os.SetStd(STD_OUTPUT_HANDLE, out);
  if (dism) os.AddExisting(u"C:\\windows\\system32\\DISM.exe");
  if (sfc) os.AddExisting(u"C:\\windows\\system32\\sfc.exe");
  if (dism) os.exit_codes.push_back(*dism);
  if (sfc) os.exit_codes.push_back(*sfc);
  TestConsole console(os);
  RunRepair(os, console);
  std::u16string title = os.titles.empty() ? std::u16string() : os.titles[0];
  if (!title.empty() && title.back() == u'\0') title.pop_back();
  return {os.device(out).bytes, title, os.launches.size(), console.input_used()};
}

// The tools' codes (nullopt: not found) of a run for each verdict: success,
// sfc's reinstall-only and tool-failed, DISM's tool-failed, each launch
// failure, and every DISM code with advice.
inline std::vector<std::pair<std::optional<Dword>, std::optional<Dword>>> EveryVerdictRun() {
  std::vector<std::pair<std::optional<Dword>, std::optional<Dword>>> runs = {
      {0u, 0u}, {0u, 1u}, {0u, 3u}, {1u, 0u}, {std::nullopt, 0u}, {0u, std::nullopt},
  };
  for (const DismAdvice& row : kDismAdvice) runs.push_back({row.exit_code, 0u});
  return runs;
}

}  // namespace wr::testing
