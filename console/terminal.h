// The once-only terminal probe and the window title.
#pragma once

#include <string_view>

#include "platform/system.h"
#include "runtime/sync.h"

namespace wr {

class ConsoleWriter;

// The probe's process-wide state: the gate and the flag it fixes.
class TerminalState {
 public:
  // Runs the probe on first use; later calls read the stored flag.
  bool QueryAnsiSupport(System& os);

 private:
  OnceGate gate_;
  std::atomic<bool> ansi_support_{false};
};

// Sets the title through `out` (escape form) or SetConsoleTitleW; every
// failure is swallowed.
void SetWindowTitle(System& os, TerminalState& terminal, ConsoleWriter& out, std::string_view title);

// The process-wide probe state.
TerminalState& ProcessTerminal();

// The process-wide forms.
bool QueryAnsiSupport(System& os);
void SetWindowTitle(System& os, std::string_view title);

}  // namespace wr
