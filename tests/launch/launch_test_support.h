// Small helpers shared by the launcher tests.
#pragma once

#include <string>
#include <string_view>

#include "runtime/grow_buffer.h"
#include "runtime/io_error.h"
#include "tests/fake/fake_system.h"

namespace wr::testing {

inline std::u16string Str(const WideText& text) { return std::u16string(text.data(), text.size()); }

// The same text with the terminating zero the system calls want.
inline std::u16string Z(std::u16string_view text) {
  std::u16string out(text);
  out.push_back(u'\0');
  return out;
}

inline bool IsFixed(const IoError& error, const FixedRecord& record) {
  return error.variant() == IoError::Variant::FixedMessage && &error.fixed() == &record;
}

inline bool IsOsCode(const IoError& error, Dword code) {
  return error.variant() == IoError::Variant::OsCode && error.os_code() == static_cast<std::int32_t>(code);
}

}  // namespace wr::testing
