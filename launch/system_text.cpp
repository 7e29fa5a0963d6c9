#include "launch/system_text.h"

#include "runtime/utf.h"

namespace wr {

Status AppendSystemText(WideText& out, std::string_view utf8) {
  if (!IsValidUtf8(utf8)) return IoError::Fixed(fixed::kInvalidUtf8ForWinApi);
  AppendUtf16(out, utf8);
  return Success();
}

}  // namespace wr
