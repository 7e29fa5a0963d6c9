#include <new>

#include "console/console_writer.h"

namespace wr {
namespace {

// Static storage and a constant-initialised gate: no constructor runs
// before main, no function-local static with its hidden guard, and the
// writer object itself never touches the heap. It is never destroyed, so
// nothing is flushed at exit.
constinit OnceGate g_output_gate;
alignas(ConsoleWriter) unsigned char g_output_storage[sizeof(ConsoleWriter)];

}  // namespace

ConsoleWriter& StandardOutput(System& os) {
  g_output_gate.Run(os, [&os] { new (g_output_storage) ConsoleWriter(os); });
  return *std::launder(reinterpret_cast<ConsoleWriter*>(g_output_storage));
}

}  // namespace wr
