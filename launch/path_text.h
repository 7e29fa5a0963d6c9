// Small tests on the text of Windows paths, shared by resolution and the
// conversion of paths for the system.
#pragma once

#include <string_view>

namespace wr {

inline bool IsPathSeparator(char16_t unit) { return unit == u'\\' || unit == u'/'; }

// "C:" and the like: any first character but a separator, then a colon.
inline bool StartsWithDriveDesignator(std::u16string_view text) {
  return text.size() >= 2 && !IsPathSeparator(text[0]) && text[1] == u':';
}

}  // namespace wr
