// A tool that takes its time, for the console runs that type keys while a
// tool is still busy. It announces itself, sleeps, says it is done and exits
// with 0. It never reads its input, so whatever is typed meanwhile stays with
// the console for the program that waits after it.
#include <windows.h>

namespace {

void Say(const char* text) {
  HANDLE out = GetStdHandle(STD_OUTPUT_HANDLE);
  if (out == nullptr || out == INVALID_HANDLE_VALUE) return;
  DWORD written = 0;
  WriteFile(out, text, static_cast<DWORD>(lstrlenA(text)), &written, nullptr);
}

}  // namespace

int main() {
  Say("slow tool started\n");
  Sleep(4000);
  Say("slow tool done\n");
  ExitProcess(0);
}
