#include "runtime/wide_buffer.h"

#include <cstdint>

namespace wr {

Result<WideText> FillWideBufferWith(System& os, WideQueryCall call, void* context) {
  char16_t first[kFirstWideBufferUnits];
  WideText heap(os);
  char16_t* buffer = first;
  std::uint64_t size = kFirstWideBufferUnits;
  for (;;) {
    // These functions do not all clear the last error on success, and a
    // legitimately empty answer (an empty variable) is also 0.
    os.SetLastError(0);
    const Dword result = call(context, buffer, static_cast<Dword>(size));
    if (result == 0) {
      const Dword error = os.GetLastError();
      if (error != 0) return IoError::FromOsCode(static_cast<std::int32_t>(error));
      return WideText(os);
    }
    if (result == size) {
      // A full buffer is a truncated answer: GetModuleFileNameW reports it
      // this way with ERROR_INSUFFICIENT_BUFFER (and older systems without
      // setting any error), so it grows either way.
      size = size * 2 > 0xFFFFFFFFu ? 0xFFFFFFFFu : size * 2;
    } else if (result > size) {
      size = result;  // the size the answer needs, terminating zero included
    } else {
      WideText text(os);
      text.Append(buffer, result);
      return text;
    }
    heap.Clear();
    heap.Resize(static_cast<std::size_t>(size));
    buffer = heap.data();
  }
}

}  // namespace wr
