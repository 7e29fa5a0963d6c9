#include "launch/resolve.h"

#include <utility>

#include "launch/os_path.h"
#include "launch/path_text.h"
#include "launch/system_text.h"
#include "runtime/utf.h"
#include "runtime/views.h"
#include "runtime/wide_buffer.h"

namespace wr {
namespace {

constexpr std::u16string_view kExe = u".exe";

bool EndsWithExe(std::string_view name) {
  if (name.size() < 4) return false;
  const std::string_view tail = Tail(name, name.size() - 4);
  for (std::size_t i = 0; i < 4; ++i) {
    char c = tail[i];
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    if (c != ".exe"[i]) return false;
  }
  return true;
}

// The search for a bare file name, one directory at a time.
class Search {
 public:
  Search(System& os, std::u16string_view name, bool append_exe) : os_(os), name_(name), append_exe_(append_exe) {}

  bool InDirectory(std::u16string_view directory, WideText* found) {
    if (directory.empty()) return false;
    WideText candidate = JoinSearchCandidate(os_, directory, name_, append_exe_);
    return ProgramExists(os_, View(candidate), found);
  }

  bool InSearchPath(std::u16string_view value, WideText* found) {
    GrowBuffer<WideText> directories = SplitSearchPath(os_, value);
    for (const WideText& directory : directories) {
      if (InDirectory(View(directory), found)) return true;
    }
    return false;
  }

  // The directory part of the running executable's path, its trailing
  // separator kept so that a root stays a root.
  bool InOwnDirectory(WideText* found) {
    Result<WideText> module =
        FillWideBuffer(os_, [&](char16_t* buffer, Dword size) { return os_.GetModuleFileNameW(buffer, size); });
    if (!module) return false;
    const std::u16string_view path = View(module.value());
    const bool verbatim = path.starts_with(u"\\\\?\\");
    std::size_t end = path.size();
    while (end > 0 && !(path[end - 1] == u'\\' || (!verbatim && path[end - 1] == u'/'))) --end;
    return InDirectory(Head(path, end), found);
  }

  template <class Query>
  bool InQueriedDirectory(Query&& query, WideText* found) {
    Result<WideText> directory = FillWideBuffer(os_, query);
    return directory && InDirectory(View(directory.value()), found);
  }

 private:
  System& os_;
  std::u16string_view name_;
  bool append_exe_;
};

Result<WideText> SearchBareName(System& os, std::string_view name, const EnvironmentEntries* child_environment) {
  for (char c : name) {
    if (c == 0) return IoError::Fixed(fixed::kNulInData);
  }
  WideText wide_name(os);
  Status converted = AppendSystemText(wide_name, name);
  if (!converted) return std::move(converted.error());
  Search search(os, View(wide_name), name.find('.') == std::string_view::npos);
  WideText found(os);

  if (child_environment != nullptr) {
    const EnvironmentEntry* path = FindEnvironmentEntry(os, *child_environment, u"PATH");
    if (path != nullptr && search.InSearchPath(View(path->value), &found)) return found;
  }
  if (search.InOwnDirectory(&found)) return found;
  if (search.InQueriedDirectory([&](char16_t* buffer, Dword size) { return os.GetSystemDirectoryW(buffer, size); },
                                &found)) {
    return found;
  }
  if (search.InQueriedDirectory([&](char16_t* buffer, Dword size) { return os.GetWindowsDirectoryW(buffer, size); },
                                &found)) {
    return found;
  }
  Result<WideText> program_path = FillWideBuffer(
      os, [&](char16_t* buffer, Dword size) { return os.GetEnvironmentVariableW(u"PATH", buffer, size); });
  if (program_path && search.InSearchPath(View(program_path.value()), &found)) return found;
  return IoError::Fixed(fixed::kProgramNotFound);
}

}  // namespace

GrowBuffer<WideText> SplitSearchPath(System& os, std::u16string_view value) {
  GrowBuffer<WideText> directories(os);
  WideText current(os);
  bool quoted = false;
  auto finish = [&] {
    if (!current.empty()) directories.Push(std::move(current));
    current = WideText(os);
  };
  for (char16_t unit : value) {
    if (unit == u'"') {
      quoted = !quoted;
    } else if (unit == u';' && !quoted) {
      finish();
    } else {
      current.Push(unit);
    }
  }
  finish();
  return directories;
}

WideText JoinSearchCandidate(System& os, std::u16string_view directory, std::u16string_view name, bool append_exe) {
  WideText joined(os);
  if (!StartsWithDriveDesignator(name)) {
    AppendView(joined, directory);
    const bool drive_only = directory.size() == 2 && StartsWithDriveDesignator(directory);
    if (!directory.empty() && !IsPathSeparator(directory.back()) && !drive_only) joined.Push(u'\\');
  }
  AppendView(joined, name);
  if (append_exe) AppendView(joined, kExe);
  return joined;
}

bool ProgramExists(System& os, std::u16string_view candidate, WideText* found) {
  Result<WideText> converted = ToOsPath(os, candidate);
  if (!converted) return false;
  if (os.GetFileAttributesW(converted.value().data()) == INVALID_FILE_ATTRIBUTES) return false;
  *found = std::move(converted.value());
  return true;
}

Result<WideText> ResolveProgram(System& os, const ToolCommand& command) {
  if (!CarriesOwnEnvironment(command)) return ResolveProgram(os, command, nullptr);
  Result<EnvironmentEntries> environment = CaptureEnvironment(os, command);
  if (!environment) return std::move(environment.error());
  return ResolveProgram(os, command, &environment.value());
}

Result<WideText> ResolveProgram(System& os, const ToolCommand& command, const EnvironmentEntries* child_environment) {
  const std::string_view name = View(command.program);
  // Under \\?\ the system takes '/' as an ordinary character.
  const bool verbatim = name.starts_with("\\\\?\\");
  auto is_separator = [&](char c) { return c == '\\' || (!verbatim && c == '/'); };

  if (name.empty() || is_separator(name.back())) return IoError::Fixed(fixed::kNoFileName);
  const bool ends_with_exe = EndsWithExe(name);
  bool has_separator = false;
  for (char c : name) has_separator = has_separator || is_separator(c);

  if (!has_separator) return SearchBareName(os, name, child_environment);

  // A path is taken as given: a missing ".exe" file is for CreateProcessW
  // to report.
  if (ends_with_exe) return ToOsPath(os, name);
  WideText with_exe(os);
  Status converted = AppendSystemText(with_exe, name);
  if (!converted) return std::move(converted.error());
  AppendView(with_exe, kExe);
  WideText found(os);
  if (ProgramExists(os, View(with_exe), &found)) return found;
  return ToOsPath(os, name);
}

}  // namespace wr
