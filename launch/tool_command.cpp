#include "launch/tool_command.h"

#include <utility>

#include "runtime/utf.h"

namespace wr {

ToolCommand::ToolCommand(System& system, std::string_view program_name)
    : os(&system),
      program(system),
      arguments(system),
      environment_changes(system),
      directory(system),
      attributes(system) {
  program.Append(program_name.data(), program_name.size());
}

ToolCommand NewCommand(System& os, std::string_view program_name) { return ToolCommand(os, program_name); }

void AddArgument(ToolCommand& command, std::string_view argument) {
  Text copy(*command.os);
  copy.Append(argument.data(), argument.size());
  command.arguments.Push(std::move(copy));
}

void ReleaseCommand(ToolCommand& command) { command = ToolCommand(*command.os, {}); }

void SetForceQuotes(ToolCommand& command, bool on) { command.force_quotes = on; }

bool SameVariableName(System& os, std::u16string_view a, std::u16string_view b) {
  return os.CompareStringOrdinal(a.data(), static_cast<int>(a.size()), b.data(), static_cast<int>(b.size()), true) ==
         CSTR_EQUAL;
}

namespace {

// Why a change cannot be handed to the system, if it cannot. Names with
// '=' would be split differently by the child; the drive-directory entries
// ("=C:") are the system's own.
const FixedRecord* RefusalOf(std::string_view name, std::string_view value) {
  if (name.empty() || name.find('=') != std::string_view::npos) return &fixed::kBadEnvironmentName;
  if (!IsValidUtf8(name) || !IsValidUtf8(value)) return &fixed::kInvalidUtf8ForWinApi;
  return nullptr;
}

void RecordChange(ToolCommand& command, std::string_view name, std::string_view value, bool remove) {
  System& os = *command.os;
  WideText wide_name(os);
  AppendUtf16(wide_name, name);
  WideText wide_value(os);
  AppendUtf16(wide_value, value);
  const FixedRecord* refused = RefusalOf(name, value);
  // A refused change is kept apart: nothing set later may replace it and
  // make the start go ahead without it.
  if (refused == nullptr) {
    for (EnvironmentChange& change : command.environment_changes) {
      if (change.refused == nullptr && SameVariableName(os, View(change.name), View(wide_name))) {
        change.name = std::move(wide_name);
        change.value = std::move(wide_value);
        change.remove = remove;
        return;
      }
    }
  }
  command.environment_changes.Push(EnvironmentChange{std::move(wide_name), std::move(wide_value), remove, refused});
}

}  // namespace

void SetEnvironmentValue(ToolCommand& command, std::string_view name, std::string_view value) {
  RecordChange(command, name, value, false);
}

void RemoveEnvironmentValue(ToolCommand& command, std::string_view name) { RecordChange(command, name, {}, true); }

void ClearEnvironment(ToolCommand& command) {
  command.environment_changes.Clear();
  command.environment_cleared = true;
}

bool CarriesOwnEnvironment(const ToolCommand& command) {
  return command.environment_cleared || !command.environment_changes.empty();
}

void SetWorkingDirectory(ToolCommand& command, std::string_view directory) {
  command.directory.Clear();
  command.directory.Append(directory.data(), directory.size());
  command.has_directory = true;
}

void SetStdio(ToolCommand& command, StdStream stream, StdioChoice choice) {
  command.stdio[static_cast<int>(stream)] = choice;
}

void SetCreationFlags(ToolCommand& command, Dword flags) { command.creation_flags = flags; }

void SetDetached(ToolCommand& command, bool on) { command.detached = on; }

void SetShowWindow(ToolCommand& command, std::uint16_t show) {
  command.has_show_window = true;
  command.show_window = show;
}

void SetAttribute(ToolCommand& command, std::uintptr_t number, const void* value, std::size_t size) {
  GrowBuffer<unsigned char> bytes(*command.os);
  bytes.Append(static_cast<const unsigned char*>(value), size);
  for (ProcThreadAttribute& attribute : command.attributes) {
    if (attribute.number == number) {
      attribute.value = std::move(bytes);
      return;
    }
  }
  command.attributes.Push(ProcThreadAttribute{number, std::move(bytes)});
}

}  // namespace wr
