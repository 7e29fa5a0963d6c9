// Command lines against a model of how the child and the command
// interpreter read them back.
//
// The ordinary route: the line, split by the documented argument rules of
// the C runtime and CommandLineToArgvW (the program name up to the next
// quote when it starts with one, else up to white space; in the arguments
// 2n backslashes and a quote give n backslashes and toggle quoting, 2n+1
// give n and a literal quote, "" inside quotes is a literal quote), gives
// back exactly the program name and the arguments; a program name or an
// argument that is not valid UTF-8, and an argument holding a zero, are
// refused.
//
// The script route: either the refusal the inputs call for (a script path
// with a quote, a trailing backslash or a percent sign; an argument with a
// line break, a zero or invalid UTF-8), or a line in
// which, after the interpreter strips the outer quotes of /c and expands
// percent signs, no argument text can expand a variable, no operator or
// argument separator of the interpreter stands outside quotes, and each
// argument token, read by the same child rules, gives the argument back.
#include <cstdint>
#include <string>
#include <vector>

#include "launch/command_line.h"
#include "launch/tool_command.h"
#include "runtime/io_error.h"
#include "tests/fuzz/fuzz_input.h"
#include "tests/fuzz/properties.h"
#include "tests/unit/fake/fake_system.h"
#include "tests/unit/fake/text_models.h"

namespace wr::fuzz {
namespace {

using testing::IsBlank;
using testing::SplitArguments;
using testing::SplitLikeChild;

// Pieces laid out in rows by hand: clang-format would re-column them.
// clang-format off
const char* const kArgumentPieces[] = {
    "a",  "Z",  "0",    " ",    "\t",   "\\",   "\\\\\\", "\"",   "\"\"", "\xC3\xA9", "\xD0\xB4", "\xF0\x9F\x98\x80",
    "%",  "^",  "&",    "|",    "<",    ">",    "(",      ")",    "!",    ",",        ";",        "=",
    "\n", "\r", "/",    ":",    ".",    "-",    "\xC2\xA0", "\xC2\x85", "\xE3\x80\x80", "%PATH%", "%cd:~,%", "\x80",
    "\xFF", "\xE2\x82", "\xF4\x90\x80\x80", "*", "?", "#", "@", "_", "'", "`", "~", "\x0B",
};
// clang-format on

const char* const kNamePieces[] = {"a", "B", " ", "\\", "/", ".", ":", "\xD0\xB4",
                                   "-", "_", "&", "^",  "(", ")", "'", "%"};

std::string MakeText(FuzzInput& in, const char* const* pieces, std::size_t count, std::size_t most) {
  std::string text;
  const std::size_t length = in.Below(most + 1);
  for (std::size_t i = 0; i < length; ++i) text += pieces[in.Below(count)];
  return text;
}

bool IsValidUtf8Model(const std::string& bytes) {
  for (std::size_t at = 0; at < bytes.size();) {
    char32_t c = 0;
    const std::size_t width = WholeSequenceAt(bytes, at, &c);
    if (width == 0) return false;
    at += width;
  }
  return true;
}

bool Refused(const Result<WideText>& line, const FixedRecord& record) {
  return !line.ok() && line.error().variant() == IoError::Variant::FixedMessage && &line.error().fixed() == &record;
}

std::string CheckOrdinary(const std::string& program, const std::vector<std::string>& arguments, bool force) {
  testing::FakeSystem os;
  ToolCommand command = NewCommand(os, program);
  SetForceQuotes(command, force);
  for (const std::string& a : arguments) AddArgument(command, a);
  Result<WideText> line = BuildCommandLine(os, command);
  // Refused: a program name that is not valid UTF-8, then the first
  // argument with a zero or with bytes that are not valid UTF-8.
  const FixedRecord* refusal = IsValidUtf8Model(program) ? nullptr : &fixed::kInvalidUtf8ForWinApi;
  for (const std::string& a : arguments) {
    if (refusal != nullptr) break;
    if (a.find('\0') != std::string::npos) refusal = &fixed::kNulInData;
    else if (!IsValidUtf8Model(a)) refusal = &fixed::kInvalidUtf8ForWinApi;
  }
  if (refusal != nullptr) {
    if (line.ok()) return "a line was built where it must be refused: " + Show(View(line.value()));
    return Refused(line, *refusal) ? "" : "wrong refusal";
  }
  if (!line.ok()) return "refused a line without reason";
  std::u16string_view text(line.value().data(), line.value().size());
  if (text.empty() || text.back() != 0) return "line not terminated";
  text.remove_suffix(1);
  if (text.find(u'\0') != std::u16string_view::npos) return "zero inside the line";
  std::vector<std::u16string> expected = {LossyUtf16Model(program)};
  for (const std::string& a : arguments) expected.push_back(LossyUtf16Model(a));
  const std::vector<std::u16string> got = SplitLikeChild(text);
  if (got != expected) {
    std::string message = "line " + Show(text) + " splits into " + std::to_string(got.size()) + " parts:";
    for (const auto& g : got) message += " [" + Show(g) + "]";
    return message;
  }
  return "";
}

constexpr std::u16string_view kInterpreterStart = u"cmd.exe /e:ON /v:OFF /d /c ";

bool IsOperator(char16_t c) { return std::u16string_view(u"&|<>()^").find(c) != std::u16string_view::npos; }
bool IsSeparator(char16_t c) { return std::u16string_view(u" \t,;=").find(c) != std::u16string_view::npos; }

std::string CheckScript(const std::u16string& script, const std::vector<std::string>& arguments, bool force) {
  testing::FakeSystem os;
  ToolCommand command = NewCommand(os, "run");
  SetForceQuotes(command, force);
  for (const std::string& a : arguments) AddArgument(command, a);
  std::u16string terminated = script;
  terminated.push_back(0);
  Result<WideText> line = BuildScriptCommandLine(os, terminated, command);

  const FixedRecord* refusal = nullptr;
  if (script.find(u'"') != std::u16string::npos || (!script.empty() && script.back() == u'\\')) {
    refusal = &fixed::kBadBatchFileName;
  } else if (script.find(u'%') != std::u16string::npos) {
    // Expanded even inside quotes: the interpreter could run another file.
    refusal = &fixed::kBadBatchFilePercent;
  } else {
    for (const std::string& a : arguments) {
      if (a.find_first_of("\r\n") != std::string::npos) refusal = &fixed::kBadBatchArguments;
      else if (a.find('\0') != std::string::npos) refusal = &fixed::kNulInData;
      else if (!IsValidUtf8Model(a)) refusal = &fixed::kInvalidUtf8ForWinApi;
      if (refusal != nullptr) break;
    }
  }
  if (refusal != nullptr) {
    if (line.ok()) return "script line built where it must be refused: " + Show(View(line.value()));
    return Refused(line, *refusal) ? "" : "wrong refusal for the script";
  }
  if (!line.ok()) return "script line refused without reason";
  std::u16string_view text(line.value().data(), line.value().size());
  if (text.empty() || text.back() != 0) return "script line not terminated";
  text.remove_suffix(1);
  if (!text.starts_with(kInterpreterStart)) return "script line does not start the interpreter: " + Show(text);
  std::u16string_view rest = text.substr(kInterpreterStart.size());
  // /c with several quotes: the interpreter drops the first and the last.
  if (rest.size() < 2 || rest.front() != u'"' || rest.back() != u'"') return "/c text not in quotes: " + Show(rest);
  rest = rest.substr(1, rest.size() - 2);

  // Percent expansion, before anything else: "%cd:~,%" gives nothing, "%%"
  // leaves one sign and starts again at the second, and any other %name%
  // might be a variable.
  std::u16string expanded;
  for (std::size_t i = 0; i < rest.size();) {
    if (rest[i] != u'%') {
      expanded += rest[i++];
      continue;
    }
    const std::size_t close = rest.find(u'%', i + 1);
    if (close == std::u16string_view::npos) {
      expanded.append(rest.substr(i));
      break;
    }
    const std::u16string_view name = rest.substr(i + 1, close - i - 1);
    if (name == u"cd:~,") {
      i = close + 1;
    } else if (name.empty()) {
      expanded += u'%';
      i = close;
    } else {
      return "the interpreter may expand %" + Show(name) + "% in " + Show(text);
    }
  }

  // Tokens as the script's parameters: separators outside quotes split,
  // quotes toggle and stay in the token.
  std::vector<std::u16string> tokens;
  std::u16string token;
  bool quoted = false;
  bool in_token = false;
  for (char16_t c : expanded) {
    if (c == u'"') quoted = !quoted;
    if (!quoted && c != u'"') {
      if (IsOperator(c)) return "operator outside quotes in " + Show(text);
      if (IsSeparator(c)) {
        if (in_token) tokens.push_back(token);
        token.clear();
        in_token = false;
        continue;
      }
    }
    token += c;
    in_token = true;
  }
  if (in_token) tokens.push_back(token);
  if (quoted) return "quotes left open in " + Show(text);
  if (tokens.empty() || tokens[0] != u"\"" + script + u"\"") return "script token wrong in " + Show(text);
  if (tokens.size() != arguments.size() + 1) {
    return std::to_string(tokens.size() - 1) + " parameters for " + std::to_string(arguments.size()) +
           " arguments in " + Show(text);
  }
  for (std::size_t k = 0; k < arguments.size(); ++k) {
    std::vector<std::u16string> read;
    SplitArguments(tokens[k + 1], 0, read);
    if (read.size() != 1 || read[0] != LossyUtf16Model(arguments[k])) {
      return "parameter " + Show(tokens[k + 1]) + " does not give back argument " + std::to_string(k);
    }
  }
  return "";
}

}  // namespace

std::string CheckCommandLine(const std::uint8_t* data, std::size_t size) {
  FuzzInput in(data, size);
  const bool script_route = in.Chance(2);
  const bool force = in.Chance(3);
  std::vector<std::string> arguments(in.Below(6));
  for (std::string& a : arguments) {
    a = MakeText(in, kArgumentPieces, std::size(kArgumentPieces), 8);
    if (in.Chance(40)) a.insert(in.Below(a.size() + 1), 1, '\0');
  }
  if (!script_route) {
    // Windows file names hold no quotes and no zeros; the program name is
    // written between quotes as it is.
    std::string program = MakeText(in, kNamePieces, std::size(kNamePieces), 10);
    if (in.Chance(16)) program.insert(in.Below(program.size() + 1), 1, '\xFF');
    return CheckOrdinary(program, arguments, force);
  }
  std::string name = MakeText(in, kNamePieces, std::size(kNamePieces), 6);
  if (in.Chance(8)) name.insert(in.Below(name.size() + 1), "\"");
  std::u16string script = u"C:\\x\\" + LossyUtf16Model(name) + (in.Chance(2) ? u".bat" : u".CMD");
  if (in.Chance(8)) script += u'\\';
  return CheckScript(script, arguments, force);
}

}  // namespace wr::fuzz
