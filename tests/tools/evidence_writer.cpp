// The helper of the test kit's sfc-evidence.cmd: it asks the tester's
// questions and writes sfc-evidence.txt.
//
// Writing: the file is UTF-8 with a byte-order mark and CR LF line ends
// whatever the console's code page, so the script hands every line to this
// program rather than echoing it (cmd.exe writes a redirected echo in the
// console's code page).
//
//   evidence_writer line FILE TEXT       appends TEXT as one line
//   evidence_writer output FILE CAPTURE  appends what sfc wrote to CAPTURE:
//       its size and encoding, then its last lines, each as the console
//       showed it last (a progress line rewritten after carriage returns
//       keeps only its final state)
//   evidence_writer code FILE STATUS     appends an exit code given as cmd's
//       %ERRORLEVEL% (signed decimal) in unsigned decimal and in hex
//
// Text written to a missing or empty FILE starts with the byte-order mark.
// "output" and "code" also show what they append on standard output.
// Exit status 0, or 1 with a one-line reason on standard error.
//
// Asking: a batch file cannot do it well. Russian text in a .cmd file shows
// in whatever code page the console has, and "set /p" reads the keys typed
// while sfc ran (half an hour of nothing on screen), so a "y" and Enter typed
// then would answer the next question unseen. This prints in both languages
// with WriteConsoleW and discards what waits in the console's input before it
// reads.
//
//   evidence_writer ask verifyonly|scannow   asks before that run of sfc;
//       exit status 0 only when the answer is yes, 1 otherwise
//   evidence_writer close SCRIPT             waits for Enter when cmd.exe
//       was started for SCRIPT alone, as Explorer starts a batch file (its
//       window closes when the script ends); exit status 0. The script
//       hands cmd.exe's command line over in the variable STARTED_AS.
//
// Yes is "1", which the question names, or "y", "yes", "д", "да" in either
// case. Never "н": on the Russian layout the Y key types it, and "нет"
// starts with it. Without a console on standard input (a pipe, a file) the
// answer is the next line read from there, and nothing is discarded: that
// input was prepared to be read.
#include <windows.h>

#include "owned_file.h"

namespace {

// sfc prints a handful of lines; a capture larger than this is read from its
// end, which holds the lines that matter.
constexpr DWORD kCaptureBytes = 1 << 20;
constexpr int kTailLines = 12;

// Text being put together as UTF-8; what does not fit is left out.
template <DWORD kSize>
struct Utf8Text {
  char bytes[kSize];
  DWORD used = 0;

  void Ascii(const char* text) {
    while (*text && used < kSize) bytes[used++] = *text++;
  }
  void Wide(const wchar_t* text, int length) {
    if (length <= 0) return;
    const int room = static_cast<int>(kSize - used);
    used += WideCharToMultiByte(CP_UTF8, 0, text, length, bytes + used, room, nullptr, nullptr);
  }
  void Unsigned(unsigned long long value) {
    char digits[24];
    int n = 0;
    do digits[n++] = static_cast<char>('0' + value % 10);
    while ((value /= 10) != 0);
    while (n > 0 && used < kSize) bytes[used++] = digits[--n];
  }
  void Hex(DWORD value) {
    Ascii("0x");
    for (int shift = 28; shift >= 0 && used < kSize; shift -= 4)
      bytes[used++] = "0123456789ABCDEF"[(value >> shift) & 0xF];
  }
};

// What this run appends.
Utf8Text<kCaptureBytes * 2> out;

int Fail(const char* what, DWORD error) {
  Utf8Text<256> text;
  text.Ascii("evidence_writer: ");
  text.Ascii(what);
  if (error != 0) {
    text.Ascii(", error ");
    text.Unsigned(error);
  }
  text.Ascii("\r\n");
  DWORD written = 0;
  WriteFile(GetStdHandle(STD_ERROR_HANDLE), text.bytes, text.used, &written, nullptr);
  return 1;
}

// Spaces pad a progress line, and control characters only garble the file:
// neither counts as text at a line's end.
bool IsBlank(wchar_t c) { return c == L' ' || c == L'\t' || c < 0x20; }

// Decoded capture, and the last lines found in it as [start, end) ranges.
wchar_t text[kCaptureBytes];
struct Range {
  DWORD start, end;
};
Range tail[kTailLines];

// Splits at line feeds. Within a line, each carriage return starts the text
// over, as on the console; the line is its last segment that is not blank.
// Blank lines are left out.
int FindLastLines(DWORD length, int& total) {
  int kept = 0;
  total = 0;
  Range last = {0, 0};
  DWORD segment = 0;
  for (DWORD i = 0; i <= length; ++i) {
    const wchar_t c = i < length ? text[i] : L'\n';
    if (c != L'\r' && c != L'\n') continue;
    DWORD end = i;
    while (end > segment && IsBlank(text[end - 1])) --end;
    if (end > segment) last = {segment, end};
    segment = i + 1;
    if (c == L'\n' && last.end > last.start) {
      if (kept == kTailLines) {
        for (int k = 1; k < kTailLines; ++k) tail[k - 1] = tail[k];
        --kept;
      }
      tail[kept++] = last;
      ++total;
      last = {0, 0};
    }
  }
  return kept;
}

// The capture's bytes: UTF-16LE when it starts with the byte-order mark or
// holds a zero byte (text in an 8-bit code page has none; UTF-16 text of any
// language has them in its spaces, digits and line ends), otherwise the
// console's code page. Appends the name of the encoding found.
bool Decode(const char* bytes, DWORD count, DWORD& length) {
  const unsigned char* b = reinterpret_cast<const unsigned char*>(bytes);
  bool bom = count >= 2 && b[0] == 0xFF && b[1] == 0xFE;
  bool zero = false;
  for (DWORD i = 0; i < count && !zero; ++i) zero = b[i] == 0;
  if (bom || zero) {
    const DWORD from = bom ? 2 : 0;
    length = (count - from) / 2;
    CopyMemory(text, bytes + from, length * sizeof(wchar_t));
    out.Ascii(bom ? "UTF-16LE with byte-order mark" : "UTF-16LE");
    return true;
  }
  UINT page = GetConsoleOutputCP();
  if (page == 0) page = GetOEMCP();
  length = static_cast<DWORD>(
      MultiByteToWideChar(page, 0, bytes, static_cast<int>(count), text, static_cast<int>(kCaptureBytes)));
  if (length == 0) return false;
  out.Ascii("no zero byte, so read in code page ");
  out.Unsigned(page);
  return true;
}

char capture[kCaptureBytes];

int AppendOutput(const wchar_t* path) {
  OwnedFile file(CreateFileW(path, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                             FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!file) return Fail("cannot open sfc's output", GetLastError());
  LARGE_INTEGER size = {};
  if (!GetFileSizeEx(file.get(), &size)) return Fail("cannot size sfc's output", GetLastError());
  DWORD count = size.QuadPart > kCaptureBytes ? kCaptureBytes : static_cast<DWORD>(size.QuadPart);
  if (size.QuadPart > kCaptureBytes) {
    // An even offset keeps UTF-16 units whole.
    LARGE_INTEGER from;
    from.QuadPart = (size.QuadPart - kCaptureBytes) & ~1LL;
    SetFilePointerEx(file.get(), from, nullptr, FILE_BEGIN);
  }
  DWORD got = 0;
  if (count != 0 && (!ReadFile(file.get(), capture, count, &got, nullptr) || got != count))
    return Fail("cannot read sfc's output", GetLastError());

  out.Ascii("  output: ");
  out.Unsigned(static_cast<unsigned long long>(size.QuadPart));
  if (count == 0) {
    out.Ascii(" bytes\r\n");
    return 0;
  }
  out.Ascii(" bytes, ");
  DWORD length = 0;
  if (!Decode(capture, count, length)) return Fail("cannot decode sfc's output", GetLastError());
  int total = 0;
  const int kept = FindLastLines(length, total);
  if (total == 0) {
    out.Ascii("; no text\r\n");
    return 0;
  }
  out.Ascii("; its last ");
  out.Unsigned(kept);
  out.Ascii(" of ");
  out.Unsigned(total);
  out.Ascii(" lines:\r\n");
  static wchar_t line[kCaptureBytes];
  for (int k = 0; k < kept; ++k) {
    // Control characters (a NUL, a backspace) would only garble the file.
    int n = 0;
    for (DWORD i = tail[k].start; i < tail[k].end; ++i)
      if (text[i] >= 0x20 || text[i] == L'\t') line[n++] = text[i];
    out.Ascii("    ");
    out.Wide(line, n);
    out.Ascii("\r\n");
  }
  return 0;
}

int AppendCode(const wchar_t* status) {
  const wchar_t* p = status;
  const bool negative = *p == L'-';
  if (negative) ++p;
  if (*p == 0) return Fail("the exit code is not a number", 0);
  unsigned long long value = 0;
  for (; *p; ++p) {
    if (*p < L'0' || *p > L'9' || value > 0xFFFFFFFFULL) return Fail("the exit code is not a number", 0);
    value = value * 10 + (*p - L'0');
  }
  // %ERRORLEVEL% shows the 32-bit code as a signed number.
  const DWORD code = static_cast<DWORD>(negative ? 0 - value : value);
  out.Ascii("  exit code: ");
  out.Unsigned(code);
  out.Ascii(" (");
  out.Hex(code);
  out.Ascii("; %ERRORLEVEL% ");
  out.Wide(status, lstrlenW(status));
  out.Ascii(")\r\n");
  return 0;
}

int Append(const wchar_t* path, bool show) {
  OwnedFile file(
      CreateFileW(path, FILE_APPEND_DATA, FILE_SHARE_READ, nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!file) return Fail("cannot open the evidence file", GetLastError());
  LARGE_INTEGER size = {};
  if (!GetFileSizeEx(file.get(), &size)) return Fail("cannot size the evidence file", GetLastError());
  DWORD written = 0;
  if (size.QuadPart == 0 && !WriteFile(file.get(), "\xEF\xBB\xBF", 3, &written, nullptr))
    return Fail("cannot write the evidence file", GetLastError());
  if (!WriteFile(file.get(), out.bytes, out.used, &written, nullptr) || written != out.used)
    return Fail("cannot write the evidence file", GetLastError());
  if (!show) return 0;
  // On a console as text in any code page; elsewhere as the file's bytes.
  HANDLE screen = GetStdHandle(STD_OUTPUT_HANDLE);
  DWORD mode = 0;
  if (GetConsoleMode(screen, &mode)) {
    const int n =
        MultiByteToWideChar(CP_UTF8, 0, out.bytes, static_cast<int>(out.used), text, static_cast<int>(kCaptureBytes));
    WriteConsoleW(screen, text, static_cast<DWORD>(n), &written, nullptr);
  } else {
    WriteFile(screen, out.bytes, out.used, &written, nullptr);
  }
  return 0;
}

// The questions, each in English and then in Russian; lines short enough
// for an 80-column window.
constexpr wchar_t kAskVerify[] =
    L"\r\n"
    L"This runs the system's own sfc and adds what it printed last and its exit\r\n"
    L"code to sfc-evidence.txt in this folder. Each run may take half an hour or\r\n"
    L"more, and shows nothing here until it ends.\r\n"
    L"First \"sfc /verifyonly\": it checks the system files and repairs nothing.\r\n"
    L"\r\n"
    L"Сейчас будет запущена программа Windows sfc: что она напишет в конце и с\r\n"
    L"каким кодом завершится, добавится в файл sfc-evidence.txt в этой папке.\r\n"
    L"Каждый запуск может длиться полчаса и дольше, и пока он не закончится, здесь\r\n"
    L"ничего не появится.\r\n"
    L"Сначала \"sfc /verifyonly\": она проверяет системные файлы и ничего не\r\n"
    L"исправляет.\r\n"
    L"\r\n"
    L"Run sfc /verifyonly now? Type 1 and press Enter to run it; just Enter stops.\r\n"
    L"Запустить sfc /verifyonly? Чтобы запустить, введите 1 и нажмите Enter.\r\n"
    L"Чтобы отказаться, просто нажмите Enter.\r\n"
    L"> ";
constexpr wchar_t kAskScan[] =
    L"\r\n"
    L"Then \"sfc /scannow\": the run winrepair makes. It repairs what it can, and\r\n"
    L"only this run can show which exit code sfc gives when it repaired files.\r\n"
    L"\r\n"
    L"Теперь \"sfc /scannow\": именно так её запускает winrepair. Она исправит\r\n"
    L"то, что сможет, и только этот запуск покажет, с каким кодом sfc\r\n"
    L"завершается, когда исправила файлы.\r\n"
    L"\r\n"
    L"Run sfc /scannow now? Type 1 and press Enter to run it; just Enter stops.\r\n"
    L"Запустить sfc /scannow? Чтобы запустить, введите 1 и нажмите Enter.\r\n"
    L"Чтобы отказаться, просто нажмите Enter.\r\n"
    L"> ";
constexpr wchar_t kClose[] =
    L"\r\n"
    L"Press Enter to close this window.\r\n"
    L"Нажмите Enter, чтобы закрыть это окно.\r\n";

constexpr const wchar_t* kYes[] = {L"1", L"y", L"yes", L"д", L"да"};

// The answer's line, without its line end; longer answers are cut, and no
// answer that long is yes.
constexpr int kAnswerRoom = 64;
wchar_t answer[kAnswerRoom + 1];

void SetAnswer(const wchar_t* line, int length) {
  if (length > kAnswerRoom) length = kAnswerRoom;
  CopyMemory(answer, line, length * sizeof(wchar_t));
  answer[length] = 0;
}

bool IsYes() {
  const wchar_t* start = answer;
  while (*start == L' ' || *start == L'\t') ++start;
  int length = lstrlenW(start);
  while (length > 0 && (start[length - 1] == L' ' || start[length - 1] == L'\t')) --length;
  for (const wchar_t* yes : kYes) {
    if (CompareStringOrdinal(start, length, yes, -1, TRUE) == CSTR_EQUAL) return true;
  }
  return false;
}

// The console: the text through WriteConsoleW, whatever the code page; then
// the keys typed before now are discarded and one line is read. The input is
// opened as CONIN$, for reading and writing: FlushConsoleInputBuffer needs
// GENERIC_WRITE, which the standard input handle need not have. No line is
// read when the discarding fails: a key typed unseen must never answer.
bool AskConsole(const wchar_t* question) {
  OwnedFile screen(CreateFileW(L"CONOUT$", GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                               OPEN_EXISTING, 0, nullptr));
  OwnedFile keys(CreateFileW(L"CONIN$", GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                             OPEN_EXISTING, 0, nullptr));
  if (!screen || !keys) {
    Fail("cannot open the console", GetLastError());
    return false;
  }
  DWORD written = 0;
  WriteConsoleW(screen.get(), question, static_cast<DWORD>(lstrlenW(question)), &written, nullptr);
  DWORD mode = 0;
  if (!GetConsoleMode(keys.get(), &mode)) {
    Fail("cannot read the console's mode", GetLastError());
    return false;
  }
  // A line as the console edits and echoes it, whatever mode the last
  // program left.
  SetConsoleMode(keys.get(), mode | ENABLE_LINE_INPUT | ENABLE_ECHO_INPUT | ENABLE_PROCESSED_INPUT);
  bool read = false;
  if (!FlushConsoleInputBuffer(keys.get())) {
    Fail("cannot discard the keys typed earlier", GetLastError());
  } else {
    // Up to the line end, however long the line: what is left of it would
    // otherwise wait for the next question.
    static wchar_t chunk[256];
    bool first = true;
    for (;;) {
      DWORD got = 0;
      if (!ReadConsoleW(keys.get(), chunk, 256, &got, nullptr) || got == 0) break;
      int end = 0;
      while (end < static_cast<int>(got) && chunk[end] != L'\r' && chunk[end] != L'\n') ++end;
      if (first) SetAnswer(chunk, end);
      first = false;
      if (end < static_cast<int>(got)) {
        read = true;
        break;
      }
    }
  }
  SetConsoleMode(keys.get(), mode);
  return read;
}

// No console: the next line of standard input, read a byte at a time so
// that the lines after it stay for the next question. UTF-8, or the OEM code
// page when it is not.
bool AskStream(const wchar_t* question) {
  Utf8Text<4096> text;
  text.Wide(question, lstrlenW(question));
  DWORD written = 0;
  WriteFile(GetStdHandle(STD_OUTPUT_HANDLE), text.bytes, text.used, &written, nullptr);
  static char line[kAnswerRoom * 4];
  DWORD used = 0;
  bool ended = false;
  for (;;) {
    char c;
    DWORD got = 0;
    if (!ReadFile(GetStdHandle(STD_INPUT_HANDLE), &c, 1, &got, nullptr) || got == 0) break;
    if (c == '\n') {
      ended = true;
      break;
    }
    if (used < sizeof line) line[used++] = c;
  }
  while (used > 0 && line[used - 1] == '\r') --used;
  static wchar_t wide[kAnswerRoom * 4];
  int length = MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, line, static_cast<int>(used), wide, kAnswerRoom * 4);
  if (length == 0 && used != 0)
    length = MultiByteToWideChar(GetOEMCP(), 0, line, static_cast<int>(used), wide, kAnswerRoom * 4);
  SetAnswer(wide, length);
  return ended || used != 0;
}

// Explorer starts a batch file as "cmd.exe /c ""<file>" "" (a double-click)
// or "cmd.exe /C "<file>"" (Run as administrator). Without its quotes, the
// command line then ends in " /c <file>", spaces aside. From a command
// prompt it is the prompt's own command line.
bool StartedAlone(const wchar_t* script) {
  static wchar_t line[8192];
  const DWORD n = GetEnvironmentVariableW(L"STARTED_AS", line, 8192);
  if (n == 0 || n >= 8192) return false;
  int length = 0;
  for (DWORD i = 0; i < n; ++i)
    if (line[i] != L'"') line[length++] = line[i];
  while (length > 0 && line[length - 1] == L' ') --length;
  line[length] = 0;
  for (int i = 0; i + 3 <= length; ++i) {
    if (line[i] != L' ' || line[i + 1] != L'/' || (line[i + 2] != L'c' && line[i + 2] != L'C')) continue;
    const wchar_t* rest = line + i + 3;
    while (*rest == L' ') ++rest;
    return CompareStringOrdinal(rest, -1, script, -1, TRUE) == CSTR_EQUAL;
  }
  return false;
}

bool Ask(const wchar_t* question) {
  DWORD mode = 0;
  answer[0] = 0;
  return GetConsoleMode(GetStdHandle(STD_INPUT_HANDLE), &mode) ? AskConsole(question) : AskStream(question);
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  if (argc == 3 && lstrcmpW(argv[1], L"ask") == 0) {
    const bool verify = lstrcmpW(argv[2], L"verifyonly") == 0;
    if (!verify && lstrcmpW(argv[2], L"scannow") != 0) return Fail("ask what? verifyonly or scannow", 0);
    return Ask(verify ? kAskVerify : kAskScan) && IsYes() ? 0 : 1;
  }
  if (argc == 3 && lstrcmpW(argv[1], L"close") == 0) {
    if (StartedAlone(argv[2])) Ask(kClose);
    return 0;
  }
  if (argc != 4)
    return Fail(
        "usage: evidence_writer line|output|code FILE TEXT|CAPTURE|STATUS, ask verifyonly|scannow, close SCRIPT", 0);
  const wchar_t* mode = argv[1];
  int status = 0;
  if (lstrcmpW(mode, L"line") == 0) {
    out.Wide(argv[3], lstrlenW(argv[3]));
    out.Ascii("\r\n");
    return Append(argv[2], false);
  }
  if (lstrcmpW(mode, L"output") == 0) status = AppendOutput(argv[3]);
  else if (lstrcmpW(mode, L"code") == 0) status = AppendCode(argv[3]);
  else return Fail("unknown mode; expected line, output or code", 0);
  return status != 0 ? status : Append(argv[2], true);
}
