// Small helpers shared by the launcher tests.
#pragma once

#include <string>
#include <string_view>

#include "runtime/grow_buffer.h"
#include "runtime/io_error.h"
#include "tests/unit/fake/expect_error.h"
#include "tests/unit/fake/fake_system.h"

namespace wr::testing {

// The same text with the terminating zero the system calls want.
inline std::u16string Z(std::u16string_view text) {
  std::u16string out(text);
  out.push_back(u'\0');
  return out;
}

}  // namespace wr::testing
