// What the driver needs from the launcher: a tool to start, a started tool.
// The details live in tool_command.h, resolve.h, command_line.h and
// child_process.h.
#pragma once

#include "launch/child_process.h"
#include "launch/tool_command.h"
