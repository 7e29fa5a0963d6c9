#include "launch/child_process.h"

#include <utility>

#include "launch/attribute_list.h"
#include "launch/command_line.h"
#include "launch/environment_block.h"
#include "launch/resolve.h"
#include "launch/system_text.h"
#include "runtime/utf.h"

namespace wr {
namespace {

constinit ByteMutex g_launch_lock;

constexpr Dword kStdIds[3] = {STD_INPUT_HANDLE, STD_OUTPUT_HANDLE, STD_ERROR_HANDLE};

// An inheritable copy of the program's standard handle, or an empty slot
// when the program has none.
Status InheritableStdHandle(System& os, Dword which, UniqueHandle* slot) {
  const Handle handle = os.GetStdHandle(which);
  if (handle == nullptr || handle == InvalidHandleValue()) return Success();
  Handle copy = nullptr;
  if (!os.DuplicateHandle(os.GetCurrentProcess(), handle, os.GetCurrentProcess(), &copy, 0, true,
                          DUPLICATE_SAME_ACCESS)) {
    return LastOsError(os);
  }
  *slot = UniqueHandle(os, copy);
  return Success();
}

}  // namespace

ByteMutex& LaunchLock() { return g_launch_lock; }

Result<ChildProcess> StartTool(System& os, const ToolCommand& command) {
  const bool own_environment = CarriesOwnEnvironment(command);
  EnvironmentEntries child_environment(os);
  if (own_environment) {
    Result<EnvironmentEntries> captured = CaptureEnvironment(os, command);
    if (!captured) return std::move(captured.error());
    child_environment = std::move(captured.value());
  }

  Result<WideText> resolved = ResolveProgram(os, command, own_environment ? &child_environment : nullptr);
  if (!resolved) return std::move(resolved.error());
  WideText application = std::move(resolved.value());
  WideText command_line(os);
  if (IsBatchScript(View(application))) {
    Result<WideText> interpreter = CommandInterpreterPath(os);
    if (!interpreter) return std::move(interpreter.error());
    Result<WideText> line = BuildScriptCommandLine(os, View(application), command);
    if (!line) return std::move(line.error());
    application = std::move(interpreter.value());
    command_line = std::move(line.value());
  } else {
    Result<WideText> line = BuildCommandLine(os, command);
    if (!line) return std::move(line.error());
    command_line = std::move(line.value());
  }

  Dword flags = command.detached ? CREATE_UNICODE_ENVIRONMENT | CREATE_NEW_PROCESS_GROUP | DETACHED_PROCESS
                                 : CREATE_UNICODE_ENVIRONMENT;
  flags |= command.creation_flags;

  WideText environment(os);
  if (own_environment) {
    Result<WideText> block = BuildEnvironmentBlock(os, child_environment);
    if (!block) return std::move(block.error());
    environment = std::move(block.value());
  }

  WideText directory(os);
  if (command.has_directory) {
    if (View(command.directory).find('\0') != std::string_view::npos) return IoError::Fixed(fixed::kNulInData);
    Status converted = AppendSystemText(directory, View(command.directory));
    if (!converted) return std::move(converted.error());
    directory.Push(0);
  }

  for (StdioChoice choice : command.stdio) {
    if (choice != StdioChoice::Inherit) return IoError::FromKind(ErrorKind::Unsupported);
  }

  // Declared in the order of acquisition, so that every way out deletes the
  // attribute list, closes the copies and only then releases the lock.
  LockHolder<ByteMutex> launching(os, LaunchLock());
  UniqueHandle std_copies[3];
  for (int i = 0; i < 3; ++i) {
    Status prepared = InheritableStdHandle(os, kStdIds[i], &std_copies[i]);
    if (!prepared) return std::move(prepared.error());
  }

  StartupInfo startup;
  if (std_copies[0] || std_copies[1] || std_copies[2]) {
    startup.dwFlags |= STARTF_USESTDHANDLES;
    startup.hStdInput = std_copies[0].get();
    startup.hStdOutput = std_copies[1].get();
    startup.hStdError = std_copies[2].get();
  }
  if (command.has_show_window) {
    startup.dwFlags |= STARTF_USESHOWWINDOW;
    startup.wShowWindow = command.show_window;
  }

  AttributeList attribute_list(os);
  if (!command.attributes.empty()) {
    Status built = attribute_list.Build(command.attributes);
    if (!built) return std::move(built.error());
    startup.lpAttributeList = attribute_list.get();
    flags |= EXTENDED_STARTUPINFO_PRESENT;
  }

  ProcessInformation information;
  if (!os.CreateProcessW(View(application).data(), command_line.data(), true, flags,
                         own_environment ? environment.data() : nullptr,
                         command.has_directory ? directory.data() : nullptr, &startup, &information)) {
    // Read before the clean-up below makes calls of its own.
    IoError error = LastOsError(os);
    return error;
  }
  attribute_list.Delete();
  for (UniqueHandle& copy : std_copies) copy.Close();

  ChildProcess child;
  child.process = UniqueHandle(os, information.hProcess);
  child.thread = UniqueHandle(os, information.hThread);
  return child;
}

Result<Dword> WaitForExit(System& os, ChildProcess& child) {
  // A child reading a pipe from us would otherwise never see its end.
  child.input.Close();
  if (os.WaitForSingleObject(child.process.get(), INFINITE) != WAIT_OBJECT_0) return LastOsError(os);
  Dword code = 0;
  if (!os.GetExitCodeProcess(child.process.get(), &code)) return LastOsError(os);
  return code;
}

void ReleaseChild(System&, ChildProcess& child) {
  child.process.Close();
  child.thread.Close();
  child.input.Close();
  child.output.Close();
  child.error.Close();
}

}  // namespace wr
