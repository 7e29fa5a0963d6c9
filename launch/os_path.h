// Turning a path into the form handed to the system's file functions: a
// terminated UTF-16 path, made absolute and given the \\?\ prefix when it
// would otherwise run into the legacy length limit, and stripped of a
// \\?\ prefix it does not need.
#pragma once

#include <string_view>

#include "platform/system.h"
#include "runtime/grow_buffer.h"
#include "runtime/result.h"

namespace wr {

// `path` is UTF-16 without a terminating zero; the result has one.
Result<WideText> ToOsPath(System& os, std::u16string_view path);
// The same for UTF-8 text.
Result<WideText> ToOsPath(System& os, std::string_view path);

}  // namespace wr
