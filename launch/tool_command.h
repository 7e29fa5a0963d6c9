// A tool to start: its program name, arguments and launch settings.
//
// Everything is copied in; nothing is borrowed from the caller. Creating a
// command and changing its settings never touch the system (apart from the
// case-insensitive name comparison of environment changes); all the work
// happens when the tool is started.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

#include "platform/system.h"
#include "runtime/grow_buffer.h"
#include "runtime/io_error.h"

namespace wr {

enum class StdStream : std::uint8_t { Input = 0, Output = 1, Error = 2 };

// Only Inherit can be started; the other choices are refused by StartTool.
enum class StdioChoice : std::uint8_t { Inherit, Null, Piped };

// One change against the inherited environment. Names keep the case they
// were given; lookups ignore case the way the system does.
struct EnvironmentChange {
  WideText name;
  WideText value;
  bool remove;
  // Why the system could not be given this change (an empty name, a name
  // with '=', text that is not valid UTF-8); the start is refused with it.
  const FixedRecord* refused = nullptr;
};

struct ProcThreadAttribute {
  std::uintptr_t number;
  GrowBuffer<unsigned char> value;
};

class ToolCommand {
 public:
  ToolCommand(System& os, std::string_view program_name);
  ToolCommand(ToolCommand&&) noexcept = default;
  ToolCommand& operator=(ToolCommand&&) noexcept = default;
  ToolCommand(const ToolCommand&) = delete;
  ToolCommand& operator=(const ToolCommand&) = delete;
  ~ToolCommand() = default;

  System* os;
  Text program;  // UTF-8, exactly as given
  GrowBuffer<Text> arguments;
  bool force_quotes = false;

  GrowBuffer<EnvironmentChange> environment_changes;
  bool environment_cleared = false;

  bool has_directory = false;
  Text directory;

  StdioChoice stdio[3] = {StdioChoice::Inherit, StdioChoice::Inherit, StdioChoice::Inherit};
  Dword creation_flags = 0;
  bool detached = false;
  bool has_show_window = false;
  std::uint16_t show_window = 0;
  GrowBuffer<ProcThreadAttribute> attributes;  // one per attribute number
};

ToolCommand NewCommand(System& os, std::string_view program_name);
void AddArgument(ToolCommand& command, std::string_view argument);
// Frees everything the command owns; it is left with an empty program name.
void ReleaseCommand(ToolCommand& command);

void SetForceQuotes(ToolCommand& command, bool on);

// The command's own environment. Any of these makes the child receive a
// block of its own instead of inheriting the program's environment.
void SetEnvironmentValue(ToolCommand& command, std::string_view name, std::string_view value);
void RemoveEnvironmentValue(ToolCommand& command, std::string_view name);
// Starts from nothing: earlier changes are dropped, later ones apply to an
// empty environment.
void ClearEnvironment(ToolCommand& command);
bool CarriesOwnEnvironment(const ToolCommand& command);

void SetWorkingDirectory(ToolCommand& command, std::string_view directory);
void SetStdio(ToolCommand& command, StdStream stream, StdioChoice choice);
void SetCreationFlags(ToolCommand& command, Dword flags);
void SetDetached(ToolCommand& command, bool on);
void SetShowWindow(ToolCommand& command, std::uint16_t show);
// A process/thread attribute; a second value for the same number replaces
// the first.
void SetAttribute(ToolCommand& command, std::uintptr_t number, const void* value, std::size_t size);

// Whether two environment names are the same variable (ordinal, case
// ignored, as the system compares them).
bool SameVariableName(System& os, std::u16string_view a, std::u16string_view b);

}  // namespace wr
