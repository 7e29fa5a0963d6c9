#include "launch/command_line.h"

#include "launch/system_text.h"
#include "runtime/utf.h"
#include "runtime/views.h"
#include "runtime/wide_buffer.h"

namespace wr {
namespace {

void AppendBackslashes(WideText& out, std::size_t count) {
  for (std::size_t i = 0; i < count; ++i) out.Push(u'\\');
}

bool HoldsByte(std::string_view text, char byte) { return text.find(byte) != std::string_view::npos; }

// Characters the interpreter leaves alone outside quotes. Everything from
// U+00A0 up passes too; surrogate halves are judged one unit at a time.
bool PassesUnquotedInScript(char16_t unit) {
  if ((unit >= u'a' && unit <= u'z') || (unit >= u'A' && unit <= u'Z') || (unit >= u'0' && unit <= u'9')) {
    return true;
  }
  if (unit >= 0xA0) return true;
  return std::u16string_view(u"#$*+-./:?@\\_").find(unit) != std::u16string_view::npos;
}

Status QuoteScriptArgument(WideText& line, std::string_view argument, bool force_quotes) {
  if (HoldsByte(argument, '\r') || HoldsByte(argument, '\n')) return IoError::Fixed(fixed::kBadBatchArguments);
  if (HoldsByte(argument, '\0')) return IoError::Fixed(fixed::kNulInData);
  WideText units(line.os());
  Status converted = AppendSystemText(units, argument);
  if (!converted) return converted;
  bool quote = force_quotes || units.empty() || units.back() == u'\\';
  for (char16_t unit : units) quote = quote || !PassesUnquotedInScript(unit);

  if (quote) line.Push(u'"');
  std::size_t backslashes = 0;
  for (char16_t unit : units) {
    if (unit == u'\\') {
      ++backslashes;
    } else {
      if (unit == u'"') {
        // The interpreter reads "" as a literal quote inside quotes; the
        // backslashes before it are doubled for the program behind it.
        AppendBackslashes(line, backslashes);
        line.Push(u'"');
      } else if (unit == u'%') {
        // %cd:~,% expands to nothing, which breaks up any %NAME% the
        // interpreter would otherwise expand.
        AppendView(line, u"%%cd:~,");
      }
      backslashes = 0;
    }
    line.Push(unit);
  }
  if (quote) {
    AppendBackslashes(line, backslashes);
    line.Push(u'"');
  }
  return Success();
}

}  // namespace

Status QuoteArgument(WideText& line, std::string_view argument, bool force_quotes) {
  if (HoldsByte(argument, '\0')) return IoError::Fixed(fixed::kNulInData);
  const bool quote = force_quotes || argument.empty() || HoldsByte(argument, ' ') || HoldsByte(argument, '\t');
  WideText units(line.os());
  Status converted = AppendSystemText(units, argument);
  if (!converted) return converted;

  if (quote) line.Push(u'"');
  std::size_t backslashes = 0;
  for (char16_t unit : units) {
    if (unit == u'\\') {
      ++backslashes;
    } else {
      if (unit == u'"') AppendBackslashes(line, backslashes + 1);
      backslashes = 0;
    }
    line.Push(unit);
  }
  if (quote) {
    // The closing quote must not be escaped by a trailing run.
    AppendBackslashes(line, backslashes);
    line.Push(u'"');
  }
  return Success();
}

Result<WideText> BuildCommandLine(System& os, const ToolCommand& command) {
  WideText line(os);
  line.Push(u'"');
  Status program = AppendSystemText(line, View(command.program));
  if (!program) return std::move(program.error());
  line.Push(u'"');
  for (const Text& argument : command.arguments) {
    line.Push(u' ');
    Status quoted = QuoteArgument(line, View(argument), command.force_quotes);
    if (!quoted) return std::move(quoted.error());
  }
  line.Push(0);
  return line;
}

bool IsBatchScript(std::u16string_view terminated_path) {
  std::u16string_view path = terminated_path;
  if (path.empty() || path.back() != 0) return false;
  path.remove_suffix(1);
  // The system drops trailing dots and spaces from the last component, so
  // "run.bat." and "run.bat " start the same script as "run.bat".
  while (!path.empty() && (path.back() == u'.' || path.back() == u' ')) path.remove_suffix(1);
  if (path.size() < 4) return false;
  const std::u16string_view tail = Tail(path, path.size() - 4);
  auto lower = [](char16_t unit) -> char16_t { return unit >= u'A' && unit <= u'Z' ? unit - u'A' + u'a' : unit; };
  if (tail[0] != u'.') return false;
  const char16_t a = lower(tail[1]);
  const char16_t b = lower(tail[2]);
  const char16_t c = lower(tail[3]);
  return (a == u'b' && b == u'a' && c == u't') || (a == u'c' && b == u'm' && c == u'd');
}

Result<WideText> CommandInterpreterPath(System& os) {
  Result<WideText> directory =
      FillWideBuffer(os, [&](char16_t* buffer, Dword size) { return os.GetSystemDirectoryW(buffer, size); });
  if (!directory) return std::move(directory.error());
  WideText path = std::move(directory.value());
  AppendView(path, u"\\cmd.exe");
  path.Push(0);
  return path;
}

Result<WideText> BuildScriptCommandLine(System& os, std::u16string_view script_path, const ToolCommand& command) {
  std::u16string_view script = script_path;
  if (!script.empty() && script.back() == 0) script.remove_suffix(1);
  if (script.find(u'"') != std::u16string_view::npos || (!script.empty() && script.back() == u'\\')) {
    return IoError::Fixed(fixed::kBadBatchFileName);
  }
  // The interpreter expands %NAME% even inside quotes, and no escape keeps
  // it from doing so in the name of the script it is told to run.
  if (script.find(u'%') != std::u16string_view::npos) return IoError::Fixed(fixed::kBadBatchFilePercent);
  WideText line(os);
  // /d skips the AutoRun commands; /v:OFF keeps '!' literal; /e:ON gives the
  // extensions the %cd:~,% escape relies on. The quote after /c stays open
  // until the end, so that /c takes the whole rest as one command.
  AppendView(line, u"cmd.exe /e:ON /v:OFF /d /c \"\"");
  AppendView(line, script);
  line.Push(u'"');
  for (const Text& argument : command.arguments) {
    line.Push(u' ');
    Status quoted = QuoteScriptArgument(line, View(argument), command.force_quotes);
    if (!quoted) return std::move(quoted.error());
  }
  line.Push(u'"');
  line.Push(0);
  return line;
}

}  // namespace wr
