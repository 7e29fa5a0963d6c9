// The contract's companion child, started by the real-system cases:
//   exit <hex>          ends with that code
//   sleep               waits to be ended
//   count <hex> <hex>   ends with how many of the two handles it holds as pipes
//   noconsole           ends with AskWithoutConsole's answer
#include <cwchar>
#include <initializer_list>

#include "platform/system-win32.h"
#include "platform/win32.h"
#include "tests/contract/no_console.h"

namespace {

// The words after the (quoted) program name.
const wchar_t* NextWord(const wchar_t* at) {
  while (*at != L'\0' && *at != L' ') ++at;
  while (*at == L' ') ++at;
  return at;
}

const wchar_t* SkipProgram(const wchar_t* line) {
  if (*line == L'"') {
    ++line;
    while (*line != L'\0' && *line != L'"') ++line;
    if (*line == L'"') ++line;
    while (*line == L' ') ++line;
    return line;
  }
  return NextWord(line);
}

bool Starts(const wchar_t* at, const wchar_t* word) {
  const std::size_t n = std::wcslen(word);
  return std::wcsncmp(at, word, n) == 0 && (at[n] == L' ' || at[n] == L'\0');
}

}  // namespace

int main() {
  const wchar_t* act = SkipProgram(::GetCommandLineW());
  if (Starts(act, L"exit")) ::ExitProcess(static_cast<UINT>(std::wcstoul(NextWord(act), nullptr, 16)));
  if (Starts(act, L"sleep")) {
    ::Sleep(60000);
    ::ExitProcess(0);
  }
  if (Starts(act, L"count")) {
    const wchar_t* first = NextWord(act);
    const wchar_t* second = NextWord(first);
    UINT count = 0;
    for (const wchar_t* word : {first, second}) {
      auto* h = reinterpret_cast<HANDLE>(static_cast<ULONG_PTR>(std::wcstoull(word, nullptr, 16)));
      if (::GetFileType(h) == FILE_TYPE_PIPE) ++count;
    }
    ::ExitProcess(count);
  }
  if (Starts(act, L"noconsole")) {
    wr::Win32System os;
    ::ExitProcess(wr::contract::AskWithoutConsole(os));
  }
  ::ExitProcess(0xBADu);
}
