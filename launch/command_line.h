// The command line handed to CreateProcessW next to the application path.
#pragma once

#include <string_view>

#include "launch/tool_command.h"
#include "platform/system.h"
#include "runtime/grow_buffer.h"
#include "runtime/result.h"

namespace wr {

// The program name as given, in quotes, then each argument quoted so that
// the child's argument splitting gives it back unchanged. Terminated.
Result<WideText> BuildCommandLine(System& os, const ToolCommand& command);

// Appends one argument to `line`.
Status QuoteArgument(WideText& line, std::string_view argument, bool force_quotes);

// Whether a terminated application path names a batch script (.bat or
// .cmd, any case, trailing dots and spaces ignored as the system ignores
// them).
bool IsBatchScript(std::u16string_view terminated_path);

// The command interpreter in the system directory, terminated.
Result<WideText> CommandInterpreterPath(System& os);

// The interpreter's command line that runs `script_path` (terminated) with
// the command's arguments. Terminated. A script path with `"`, a trailing
// `\` or a `%` is refused: the interpreter would run another file.
Result<WideText> BuildScriptCommandLine(System& os, std::u16string_view script_path, const ToolCommand& command);

}  // namespace wr
