// A tool that takes its time, for the console runs that type keys while a
// tool is still busy. It announces itself, sleeps, says it is done and how
// many input events then wait in the console, and exits with 0. It never
// reads its input, so whatever is typed meanwhile stays with the console for
// the program that waits after it.
#include <windows.h>

namespace {

void Say(const char* text) {
  HANDLE out = GetStdHandle(STD_OUTPUT_HANDLE);
  if (out == nullptr || out == INVALID_HANDLE_VALUE) return;
  DWORD written = 0;
  WriteFile(out, text, static_cast<DWORD>(lstrlenA(text)), &written, nullptr);
}

// Null when standard input is no console.
const char* WaitingInputEvents(char (&digits)[12]) {
  DWORD count = 0;
  if (!GetNumberOfConsoleInputEvents(GetStdHandle(STD_INPUT_HANDLE), &count)) return nullptr;
  char* at = digits + sizeof digits - 1;
  *at = 0;
  do {
    *--at = static_cast<char>('0' + count % 10);
    count /= 10;
  } while (count != 0);
  return at;
}

}  // namespace

int main() {
  // Peeking reads nothing, but it matters under Wine: its console takes keys
  // from the terminal into its input buffer only once a program has read or
  // peeked at console input (asking for the event count is not enough in
  // Wine 8). Before that a key stays in the terminal's own line editing,
  // which echoes Enter and turns it into a line feed that the console later
  // does not take for Enter. After it, keys typed now wait as input records,
  // as on Windows, where the console always collects them.
  INPUT_RECORD records[1];
  DWORD peeked = 0;
  PeekConsoleInputW(GetStdHandle(STD_INPUT_HANDLE), records, 1, &peeked);
  Say("slow tool started\n");
  Sleep(4000);
  char digits[12];
  const char* waiting = WaitingInputEvents(digits);
  Say("slow tool done, input events waiting: ");
  Say(waiting != nullptr ? waiting : "no console");
  Say("\n");
  ExitProcess(0);
}
