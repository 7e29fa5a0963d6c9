// Text the launcher hands to the system on a caller's behalf: program
// names, arguments, directories and environment entries.
#pragma once

#include <string_view>

#include "runtime/grow_buffer.h"
#include "runtime/result.h"

namespace wr {

// Appends the UTF-16 form of `utf8`, or refuses it with InvalidData when it
// is not valid UTF-8. Replacing a bad byte with U+FFFD would start a
// different program, or pass a different argument, from the one asked for.
Status AppendSystemText(WideText& out, std::string_view utf8);

}  // namespace wr
