// UTF-8 / UTF-16 helpers shared by the console, the launcher and the error
// texts. Pure functions over caller-owned memory.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

#include "runtime/grow_buffer.h"

namespace wr {

// Width of the sequence a byte starts (RFC 3629): 1 to 4, or 0 when the
// byte cannot start one (a continuation byte, 0xC0, 0xC1, 0xF5-0xFF).
int Utf8SequenceWidth(std::uint8_t lead);

inline bool IsContinuationByte(std::uint8_t byte) { return (byte & 0xC0) == 0x80; }
inline bool IsHighSurrogate(char16_t unit) { return unit >= 0xD800 && unit <= 0xDBFF; }
inline bool IsLowSurrogate(char16_t unit) { return unit >= 0xDC00 && unit <= 0xDFFF; }

// Length of the longest prefix of `bytes` that is whole, valid UTF-8
// (no overlong forms, no encoded surrogates, nothing above U+10FFFF).
std::size_t ValidUtf8PrefixLength(const std::uint8_t* bytes, std::size_t count);

inline bool IsValidUtf8(std::string_view text) {
  return ValidUtf8PrefixLength(reinterpret_cast<const std::uint8_t*>(text.data()), text.size()) == text.size();
}

// Appends the UTF-16 form of valid UTF-8 text; an invalid byte becomes
// U+FFFD (the program's own texts are always valid). Text that reaches the
// system on someone else's behalf goes through AppendSystemText instead.
void AppendUtf16(WideText& out, std::string_view utf8);

// Appends the UTF-8 form of UTF-16 text. False, with `out` holding what was
// converted before it, when the text holds an unpaired surrogate.
bool AppendUtf8(Text& out, std::u16string_view utf16);

// Encodes one code point (at most U+10FFFF, not a surrogate) into `out`;
// returns the number of bytes (1 to 4).
int EncodeUtf8(char32_t code_point, char* out);

}  // namespace wr
