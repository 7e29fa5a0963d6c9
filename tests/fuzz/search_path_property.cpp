// Program resolution against random PATH texts, directory answers and
// file-system answers.
//
// The model, from the documented rules: a bare name is tried, in order, in
// the directories of the child's own PATH (only when the command carries an
// environment), the directory of the program's executable, the system
// directory, the Windows directory and the directories of the program's
// PATH; a failing or empty answer skips its step. A PATH value splits at
// ';' outside quotes, quotes are dropped, empty entries skipped. The
// candidate is the directory joined to the name (a '\' between unless the
// directory ends in a separator or is a bare drive; a name starting with a
// drive designator replaces the directory), with ".exe" when the name has no
// dot, converted for the system by the path rules. The probes the file
// system sees must be exactly these candidates, in this order, up to the
// first that exists; the result is that one, else "program not found". A
// candidate the system cannot make absolute is skipped.
// Nothing else is probed: in particular the current directory is never
// searched unless a directory in the list leads there. A name with a
// separator is not searched: ".exe" names are taken as given, others are
// tried with ".exe" appended once.
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "launch/resolve.h"
#include "launch/tool_command.h"
#include "runtime/io_error.h"
#include "tests/fuzz/fuzz_input.h"
#include "tests/fuzz/properties.h"
#include "tests/unit/fake/fake_system.h"

namespace wr::fuzz {
namespace {

const char16_t* const kDirectoryPieces[] = {
    u"C:",      u"\\",    u"/",      u"a",  u"B",           u" ",       u".",
    u"..",      u";",     u"\"",     u"D:", u"\\\\srv\\sh", u"\\\\?\\", u"\\??\\",
    u"\\\\.\\", u"UNC\\", u"\u0434", u"%",  u"x",           u"C:\\dir", u"\\\\?\\UNC\\s\\h\\",
};
const char* const kNamePieces[] = {"tool", "DISM", ".", "exe", ".EXE", "C:", "\xD0\xB4", " ", "x", ":"};
const char* const kPathNamePieces[] = {"tool", "\\", "/", ".", ".exe", "C:", "sub", "\\\\?\\", "..", "x"};

std::u16string MakeDirectoryText(FuzzInput& in, std::size_t most) {
  std::u16string text;
  const std::size_t length = in.Below(most + 1);
  for (std::size_t i = 0; i < length; ++i) {
    if (in.Chance(24)) {
      text.append(in.Below(300), u'L');  // long enough for the length limits
      continue;
    }
    text += kDirectoryPieces[in.Below(std::size(kDirectoryPieces))];
  }
  return text;
}

std::string MakeName(FuzzInput& in, const char* const* pieces, std::size_t count, std::size_t most) {
  std::string text;
  const std::size_t length = 1 + in.Below(most);
  for (std::size_t i = 0; i < length; ++i) text += pieces[in.Below(count)];
  return text;
}

bool IsSeparator(char16_t c) { return c == u'\\' || c == u'/'; }
bool HasDrive(std::u16string_view t) { return t.size() >= 2 && !IsSeparator(t[0]) && t[1] == u':'; }
bool IsLetter(char16_t c) { return (c >= u'a' && c <= u'z') || (c >= u'A' && c <= u'Z'); }
bool HasDriveRoot(std::u16string_view t) { return t.size() >= 3 && IsLetter(t[0]) && t[1] == u':' && t[2] == u'\\'; }

// Whether GetFullPathNameW fails for this path: a fixed pick among paths,
// so the model can ask the same question.
bool FullPathFails(std::u16string_view path, std::size_t one_in) {
  if (one_in == 0) return false;
  std::size_t hash = 7;
  for (char16_t c : path) hash = hash * 31 + c;
  return hash % one_in == 0;
}

// Records every probe of the file system and answers from a script.
class ProbedSystem : public testing::FakeSystem {
 public:
  Dword GetFullPathNameW(const char16_t* path, Dword size, char16_t* buffer) override {
    if (FullPathFails(path, full_path_fails_one_in)) {
      Log("GetFullPathNameW");
      SetLastError(ERROR_ACCESS_DENIED);
      return 0;
    }
    return FakeSystem::GetFullPathNameW(path, size, buffer);
  }
  std::size_t full_path_fails_one_in = 0;  // 0: never
  Dword GetFileAttributesW(const char16_t* path) override {
    Log("GetFileAttributesW");
    probes.emplace_back(path);
    const bool exists = next_answer < answers.size() && answers[next_answer];
    ++next_answer;
    if (exists) return 0x80;
    SetLastError(ERROR_FILE_NOT_FOUND);
    return INVALID_FILE_ATTRIBUTES;
  }
  std::vector<std::u16string> probes;
  std::vector<bool> answers;
  std::size_t next_answer = 0;
};

class Model {
 public:
  Model(const std::u16string& current, std::size_t fails_one_in) : fails_one_in_(fails_one_in) {
    system_.current_directory = current;
  }

  std::optional<std::u16string> FullPath(const std::u16string& path) {
    if (FullPathFails(path, fails_one_in_)) return std::nullopt;
    std::u16string buffer(path.size() + system_.current_directory.size() + 8, u'\0');
    const Dword n = system_.GetFullPathNameW(path.c_str(), static_cast<Dword>(buffer.size()), buffer.data());
    if (n == 0 || n >= buffer.size()) return std::nullopt;
    return buffer.substr(0, n);
  }

  // The path rules for handing a path to the file functions.
  std::optional<std::u16string> ForSystem(const std::u16string& path) {
    if (path.find(u'\0') != std::u16string::npos) return std::nullopt;
    if (path.size() + 1 > 260) return path;
    const std::u16string_view p = path;
    auto exact_or_unchanged = [&](const std::u16string& plain) -> std::optional<std::u16string> {
      std::optional<std::u16string> full = FullPath(plain);
      if (!full) return std::nullopt;
      return *full == plain ? plain : path;
    };
    if (p.starts_with(u"\\\\?\\") && HasDriveRoot(p.substr(4))) return exact_or_unchanged(path.substr(4));
    if (p.starts_with(u"\\\\?\\UNC\\")) return exact_or_unchanged(u"\\\\" + path.substr(8));
    if (p.starts_with(u"\\\\?\\") || p.starts_with(u"\\??\\") || p.empty()) return path;
    if (path.size() + 1 < 248) {
      const bool drive = HasDrive(p) && (p.size() == 2 || IsSeparator(p[2]));
      const bool two = p.size() >= 2 && IsSeparator(p[0]) && IsSeparator(p[1]);
      if (drive || two) return path;
    }
    std::optional<std::u16string> full = FullPath(path);
    if (!full) return std::nullopt;
    const std::u16string_view f = *full;
    if (f.size() + 1 < 248) return *full;
    if (HasDriveRoot(f)) return u"\\\\?\\" + *full;
    if (f.starts_with(u"\\\\.\\")) return u"\\\\?\\" + full->substr(4);
    if (f.starts_with(u"\\\\?\\") || f.starts_with(u"\\??\\")) return *full;
    if (f.starts_with(u"\\\\")) return u"\\\\?\\UNC\\" + full->substr(2);
    return *full;
  }

 private:
  testing::FakeSystem system_;
  std::size_t fails_one_in_;
};

std::vector<std::u16string> SplitModel(const std::u16string& value) {
  std::vector<std::u16string> out;
  std::u16string entry;
  bool quoted = false;
  for (char16_t c : value) {
    if (c == u'"') {
      quoted = !quoted;
    } else if (c == u';' && !quoted) {
      if (!entry.empty()) out.push_back(entry);
      entry.clear();
    } else {
      entry += c;
    }
  }
  if (!entry.empty()) out.push_back(entry);
  return out;
}

}  // namespace

std::string CheckSearchPath(const std::uint8_t* data, std::size_t size) {
  FuzzInput in(data, size);
  ProbedSystem os;
  const bool path_name = in.Chance(5);
  const std::string name = path_name ? MakeName(in, kPathNamePieces, std::size(kPathNamePieces), 6)
                                     : MakeName(in, kNamePieces, std::size(kNamePieces), 3);
  os.current_directory = in.Chance(2) ? u"C:\\work" : u"C:\\" + std::u16string(in.Below(300), u'w');
  const bool module_fails = in.Chance(8);
  os.fail_module_file_name = module_fails;
  os.module_file_name = MakeDirectoryText(in, 5) + u"\\winrepair.exe";
  if (in.Chance(4)) os.module_file_name = MakeDirectoryText(in, 4);
  const bool system_fails = in.Chance(8), windows_fails = in.Chance(8);
  os.fail_system_directory = system_fails;
  os.fail_windows_directory = windows_fails;
  os.system_directory = in.Chance(2) ? u"C:\\windows\\system32" : MakeDirectoryText(in, 4);
  os.windows_directory = in.Chance(2) ? u"C:\\windows" : MakeDirectoryText(in, 4);
  std::optional<std::u16string> program_path;
  if (!in.Chance(5)) program_path = MakeDirectoryText(in, 12);
  if (program_path) os.SetEnv(u"PATH", *program_path);
  // Command environments: none, its own PATH, another variable (so the
  // inherited PATH goes first), or a cleared environment.
  const std::size_t environment = in.Below(4);
  std::u16string child_path_text;
  for (std::size_t i = 0; i < 64; ++i) os.answers.push_back(in.Chance(6));
  os.full_path_fails_one_in = in.Chance(3) ? 1 + in.Below(4) : 0;

  ToolCommand command = NewCommand(os, name);
  std::optional<std::u16string> child_path;
  if (environment == 1) {
    child_path_text = MakeDirectoryText(in, 8);
    std::string utf8;
    for (char16_t c : child_path_text) {
      if (c < 0x80) utf8 += static_cast<char>(c);
      else EncodeUtf8Model(c, utf8);
    }
    SetEnvironmentValue(command, "PATH", utf8);
    child_path = child_path_text;
  } else if (environment == 2) {
    SetEnvironmentValue(command, "OTHER", "1");
    child_path = program_path;
  } else if (environment == 3) {
    ClearEnvironment(command);
  }

  Result<WideText> resolved = ResolveProgram(os, command);

  // The model.
  Model model(os.current_directory, os.full_path_fails_one_in);
  std::vector<std::u16string> expected_probes;
  std::optional<std::u16string> expected;  // the result without its zero
  const FixedRecord* expected_error = nullptr;
  bool conversion_failed = false;  // the result is that conversion's error
  const std::u16string wide = LossyUtf16Model(name);
  const bool verbatim = wide.starts_with(u"\\\\?\\");
  auto separator = [&](char16_t c) { return c == u'\\' || (!verbatim && c == u'/'); };
  bool has_separator = false;
  for (char16_t c : wide) has_separator = has_separator || separator(c);
  auto answer_of = [&](std::size_t probe) { return probe < os.answers.size() && os.answers[probe]; };
  std::size_t ends_exe = wide.size() >= 4;
  if (ends_exe) {
    const std::u16string tail = wide.substr(wide.size() - 4);
    std::u16string lower;
    for (char16_t c : tail) lower += (c >= u'A' && c <= u'Z') ? static_cast<char16_t>(c + 32) : c;
    ends_exe = lower == u".exe";
  }

  if (wide.empty() || separator(wide.back())) {
    expected_error = &fixed::kNoFileName;
  } else if (has_separator) {
    if (ends_exe) {
      expected = model.ForSystem(wide);
    } else {
      std::optional<std::u16string> with_exe = model.ForSystem(wide + u".exe");
      if (with_exe) {
        expected_probes.push_back(*with_exe);
        if (answer_of(0)) expected = with_exe;
      }
      if (!expected) expected = model.ForSystem(wide);
    }
    conversion_failed = !expected;
  } else {
    std::vector<std::u16string> directories;
    if (child_path) {
      for (const auto& d : SplitModel(*child_path)) directories.push_back(d);
    }
    if (!module_fails) {
      const std::u16string& module = os.module_file_name;
      const bool module_verbatim = std::u16string_view(module).starts_with(u"\\\\?\\");
      std::size_t end = module.size();
      while (end > 0 && !(module[end - 1] == u'\\' || (!module_verbatim && module[end - 1] == u'/'))) --end;
      directories.push_back(module.substr(0, end));
    }
    if (!system_fails) directories.push_back(os.system_directory);
    if (!windows_fails) directories.push_back(os.windows_directory);
    if (program_path) {
      for (const auto& d : SplitModel(*program_path)) directories.push_back(d);
    }
    const bool append_exe = name.find('.') == std::string::npos;
    for (const std::u16string& directory : directories) {
      if (directory.empty()) continue;
      std::u16string candidate;
      if (!HasDrive(wide)) {
        candidate = directory;
        const bool drive_only = directory.size() == 2 && HasDrive(directory);
        if (!IsSeparator(directory.back()) && !drive_only) candidate += u'\\';
      }
      candidate += wide;
      if (append_exe) candidate += u".exe";
      std::optional<std::u16string> probe = model.ForSystem(candidate);
      if (!probe) continue;
      const std::size_t index = expected_probes.size();
      expected_probes.push_back(*probe);
      if (answer_of(index)) {
        expected = probe;
        break;
      }
    }
    if (!expected) expected_error = &fixed::kProgramNotFound;
  }

  if (os.probes != expected_probes) {
    std::string message = "probed";
    for (const auto& p : os.probes) message += " [" + Show(p) + "]";
    message += ", expected";
    for (const auto& p : expected_probes) message += " [" + Show(p) + "]";
    return message;
  }
  if (expected_error != nullptr) {
    if (resolved.ok()) return "resolved to " + Show(View(resolved.value())) + " where it must fail";
    if (!(resolved.error().variant() == IoError::Variant::FixedMessage &&
          &resolved.error().fixed() == expected_error)) {
      return "wrong error";
    }
    return "";
  }
  if (conversion_failed) {
    if (resolved.ok()) return "resolved although the conversion fails";
    return OsCodeOf(resolved.error()) == std::int32_t{ERROR_ACCESS_DENIED} ? "" : "not the conversion's error";
  }
  if (!resolved.ok()) return "failed where " + Show(*expected) + " was expected";
  const std::u16string got(resolved.value().data(), resolved.value().size());
  if (got != *expected + u'\0') return "resolved to " + Show(got) + ", expected " + Show(*expected);
  return "";
}

}  // namespace wr::fuzz
