// The environment a child receives when its command carries environment
// changes: the program's variables (unless cleared) with the changes
// applied, sorted by name the way the system sorts environment blocks.
#pragma once

#include <string_view>

#include "launch/tool_command.h"
#include "platform/system.h"
#include "runtime/grow_buffer.h"
#include "runtime/result.h"

namespace wr {

struct EnvironmentEntry {
  WideText name;
  WideText value;
};

// Sorted by name, ordinal with case ignored; no two entries share a name.
using EnvironmentEntries = GrowBuffer<EnvironmentEntry>;

// Reads the program's environment (unless the command clears it) and
// applies the command's changes.
Result<EnvironmentEntries> CaptureEnvironment(System& os, const ToolCommand& command);

// The entry with this name, or null.
const EnvironmentEntry* FindEnvironmentEntry(System& os, const EnvironmentEntries& entries, std::u16string_view name);

// The block for CreateProcessW with CREATE_UNICODE_ENVIRONMENT:
// name=value entries, each ended by a zero, then one more zero.
Result<WideText> BuildEnvironmentBlock(System& os, const EnvironmentEntries& entries);

}  // namespace wr
