// Turning a command's program name into the application path handed to
// CreateProcessW.
#pragma once

#include <string_view>

#include "launch/environment_block.h"
#include "launch/tool_command.h"
#include "platform/system.h"
#include "runtime/grow_buffer.h"
#include "runtime/result.h"

namespace wr {

// The terminated UTF-16 application path. Reads the environment and the
// directories afresh on every call.
Result<WideText> ResolveProgram(System& os, const ToolCommand& command);
// The same, with the child's environment already captured (null when the
// command carries none).
Result<WideText> ResolveProgram(System& os, const ToolCommand& command, const EnvironmentEntries* child_environment);

// The directories of a PATH value, in order. Quotes group (a ';' inside
// them is part of the directory) and are dropped; empty entries are left
// out.
GrowBuffer<WideText> SplitSearchPath(System& os, std::u16string_view value);

// A directory and a bare file name joined the way the search joins them,
// with ".exe" appended when asked. No terminating zero.
WideText JoinSearchCandidate(System& os, std::u16string_view directory, std::u16string_view name, bool append_exe);

// True, with the converted path in `found`, when something exists at
// `candidate`.
bool ProgramExists(System& os, std::u16string_view candidate, WideText* found);

}  // namespace wr
