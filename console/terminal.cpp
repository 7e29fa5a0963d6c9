#include "console/terminal.h"

#include "console/console_writer.h"
#include "runtime/grow_buffer.h"
#include "runtime/unique_handle.h"
#include "runtime/utf.h"
#include "runtime/wide_buffer.h"

namespace wr {
namespace {

// Nothing here acts on why a console call failed; the code is read right
// after the failing call and dropped.
void DiscardLastError(System& os) { static_cast<void>(os.GetLastError()); }

// Opens the active screen buffer by name rather than using standard output:
// output may be redirected to a file while the process still owns a console
// whose mode decides how the title escape is shown.
bool EnableVirtualTerminal(System& os) {
  const Handle opened =
      os.CreateFileW(u"CONOUT$", GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, OPEN_EXISTING, 0);
  if (opened == InvalidHandleValue()) {
    DiscardLastError(os);
    return false;
  }
  UniqueHandle console(os, opened);
  Dword mode = 0;
  const bool enabled = os.GetConsoleMode(console.get(), &mode) &&
                       ((mode & ENABLE_VIRTUAL_TERMINAL_PROCESSING) != 0 ||
                        os.SetConsoleMode(console.get(), mode | ENABLE_VIRTUAL_TERMINAL_PROCESSING));
  // A failed call leaves its error behind; consoles older than the VT mode
  // reject the whole mode word.
  if (!enabled) DiscardLastError(os);
  if (!console.Close()) os.FatalStop();
  return enabled;
}

// Unset or unreadable gives no escapes; so does a value that is not valid
// Unicode, which could not be compared as UTF-8 text.
bool TermAllowsEscapes(System& os) {
  Result<WideText> value = FillWideBuffer(
      os, [&](char16_t* buffer, Dword size) { return os.GetEnvironmentVariableW(u"TERM", buffer, size); });
  if (!value) return false;
  Text utf8(os);
  if (!AppendUtf8(utf8, View(value.value()))) return false;
  return View(utf8) != "dumb";
}

bool ProbeTerminal(System& os) { return EnableVirtualTerminal(os) || TermAllowsEscapes(os); }

// Zero-initialised, so it needs no constructor run and no guard; it is
// never destroyed.
constinit TerminalState g_terminal;

}  // namespace

bool TerminalState::QueryAnsiSupport(System& os) {
  // The flag is stored before the gate is marked done, both sequentially
  // consistent, so anyone who sees the gate done sees the answer.
  gate_.Run(os, [&] { ansi_support_.store(ProbeTerminal(os)); });
  return ansi_support_.load();
}

void SetWindowTitle(System& os, TerminalState& terminal, ConsoleWriter& out, std::string_view title) {
  if (terminal.QueryAnsiSupport(os)) {
    // Three separate locked writes; a failure leaves the rest unwritten and
    // whatever reached the buffer for the next flush.
    if (!out.WriteAll("\x1b]0;").ok()) return;
    if (!out.WriteAll(title).ok()) return;
    if (!out.WriteAll("\x07").ok()) return;
    static_cast<void>(out.Flush());
    return;
  }
  // Whatever is still buffered belongs on screen before the title changes.
  if (!out.Flush().ok()) return;
  // A zero byte would silently cut the title short on the way into the
  // system; such a title is refused like any other failure here.
  if (title.find('\0') != std::string_view::npos) return;
  WideText wide(os);
  AppendUtf16(wide, title);
  wide.Push(0);
  if (!os.SetConsoleTitleW(wide.data())) {
    DiscardLastError(os);
    return;
  }
  static_cast<void>(out.Flush());
}

TerminalState& ProcessTerminal() { return g_terminal; }

bool QueryAnsiSupport(System& os) { return ProcessTerminal().QueryAnsiSupport(os); }

void SetWindowTitle(System& os, std::string_view title) {
  SetWindowTitle(os, ProcessTerminal(), StandardOutput(os), title);
}

}  // namespace wr
