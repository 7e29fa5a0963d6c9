// The program's whole purpose: title, banner, the two stages, the verdict
// and the final pause.
#pragma once

#include <string_view>

#include "platform/system.h"

namespace wr {

class ConsoleWriter;
class ConsoleReader;
class TerminalState;

// The console objects the sequence uses. The program hands in the
// process-wide ones, created on first use; tests hand in their own.
class RepairConsole {
 public:
  virtual ConsoleWriter& Output() = 0;
  virtual TerminalState& Terminal() = 0;
  virtual ConsoleReader& Input() = 0;

 protected:
  ~RepairConsole() = default;
};

// One stage of the repair: what is shown, and what is started.
struct RepairStage {
  std::string_view header;
  std::string_view command_text;
  std::string_view program;
  std::string_view arguments[3];
  int argument_count;
};

extern const RepairStage kRepairStages[2];

void RunRepair(System& os, RepairConsole& console);

// The console objects of the running process.
RepairConsole& ProcessConsole(System& os);

}  // namespace wr
