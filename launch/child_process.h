// Starting a tool as a child process that shares the program's console
// and standard handles, waiting for it, and letting it go.
#pragma once

#include "launch/tool_command.h"
#include "platform/system.h"
#include "runtime/result.h"
#include "runtime/sync.h"
#include "runtime/unique_handle.h"

namespace wr {

// A started tool. The pipe ends exist only for piped standard streams.
struct ChildProcess {
  UniqueHandle process;
  UniqueHandle thread;
  UniqueHandle input;
  UniqueHandle output;
  UniqueHandle error;
};

// Held while inheritable copies of the standard handles exist, so that no
// other start hands them to its child by accident.
ByteMutex& LaunchLock();

// Reads the command; it can be started again.
Result<ChildProcess> StartTool(System& os, const ToolCommand& command);
// Blocks until the child ends; the exit code exactly as the system reports
// it. The handles stay open, so a second wait gives the same code.
Result<Dword> WaitForExit(System& os, ChildProcess& child);
// Closes every handle the child holds. The process itself is not touched.
void ReleaseChild(System& os, ChildProcess& child);

}  // namespace wr
