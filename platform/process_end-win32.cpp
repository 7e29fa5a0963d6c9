#include "platform/process_end-win32.h"

namespace wr::win32 {

void EndProcess(UINT status, TerminateProcessCall terminate) {
  terminate(::GetCurrentProcess(), status);
  FailFastNow();
}

// Out of line on purpose. On x64 Windows clang puts an int3 after a call
// that ends a function, so that the return address stays inside it for the
// unwinder, and it counts inline assembly as nothing: inlined here, a
// TerminateProcess that comes back would hit that int3 (a breakpoint
// exception, seen by the process's handlers) instead of the fail-fast.
[[gnu::noinline]] void FailFastNow() {
  __asm__ volatile("movl $7, %%ecx\n\tint $0x29" ::: "ecx", "memory");
  __builtin_unreachable();
}

}  // namespace wr::win32
