// Console objects for a test's own run of the repair sequence.
#pragma once

#include <optional>

#include "console/console_reader.h"
#include "console/console_writer.h"
#include "console/terminal.h"
#include "driver/repair.h"

namespace wr::testing {

// Fresh console objects per test, bound to the test's fake.
class TestConsole final : public RepairConsole {
 public:
  explicit TestConsole(System& os) : os_(os), out_(os) {}
  ConsoleWriter& Output() override { return out_; }
  TerminalState& Terminal() override { return terminal_; }
  ConsoleReader& Input() override {
    if (!in_) in_.emplace(os_);
    return *in_;
  }
  bool input_used() const { return in_.has_value(); }

 private:
  System& os_;
  ConsoleWriter out_;
  TerminalState terminal_;
  std::optional<ConsoleReader> in_;
};

}  // namespace wr::testing
