#include "runtime/utf.h"

namespace wr {

int Utf8SequenceWidth(std::uint8_t lead) {
  if (lead < 0x80) return 1;
  if (lead >= 0xC2 && lead <= 0xDF) return 2;
  if (lead >= 0xE0 && lead <= 0xEF) return 3;
  if (lead >= 0xF0 && lead <= 0xF4) return 4;
  return 0;
}

namespace {

// Decodes one valid sequence at `bytes`; returns its width, or 0 when the
// bytes there are not one whole, valid sequence.
std::size_t DecodeOne(const std::uint8_t* bytes, std::size_t count, char32_t* code_point) {
  const std::uint8_t lead = bytes[0];
  const int width = Utf8SequenceWidth(lead);
  if (width == 0 || static_cast<std::size_t>(width) > count) return 0;
  if (width == 1) {
    *code_point = lead;
    return 1;
  }
  char32_t value = lead & (0x7F >> width);
  for (int i = 1; i < width; ++i) {
    if (!IsContinuationByte(bytes[i])) return 0;
    value = (value << 6) | (bytes[i] & 0x3F);
  }
  static constexpr char32_t kMinimum[5] = {0, 0, 0x80, 0x800, 0x10000};
  if (value < kMinimum[width] || value > 0x10FFFF || (value >= 0xD800 && value <= 0xDFFF)) return 0;
  *code_point = value;
  return static_cast<std::size_t>(width);
}

}  // namespace

std::size_t ValidUtf8PrefixLength(const std::uint8_t* bytes, std::size_t count) {
  std::size_t at = 0;
  char32_t ignored = 0;
  while (at < count) {
    const std::size_t width = DecodeOne(bytes + at, count - at, &ignored);
    if (width == 0) break;
    at += width;
  }
  return at;
}

void AppendUtf16(WideText& out, std::string_view utf8) {
  const auto* bytes = reinterpret_cast<const std::uint8_t*>(utf8.data());
  std::size_t at = 0;
  while (at < utf8.size()) {
    char32_t cp = 0;
    std::size_t width = DecodeOne(bytes + at, utf8.size() - at, &cp);
    if (width == 0) {
      cp = 0xFFFD;
      width = 1;
    }
    if (cp >= 0x10000) {
      out.Push(static_cast<char16_t>(0xD800 + ((cp - 0x10000) >> 10)));
      out.Push(static_cast<char16_t>(0xDC00 + ((cp - 0x10000) & 0x3FF)));
    } else {
      out.Push(static_cast<char16_t>(cp));
    }
    at += width;
  }
}

int EncodeUtf8(char32_t cp, char* out) {
  if (cp < 0x80) {
    out[0] = static_cast<char>(cp);
    return 1;
  }
  if (cp < 0x800) {
    out[0] = static_cast<char>(0xC0 | (cp >> 6));
    out[1] = static_cast<char>(0x80 | (cp & 0x3F));
    return 2;
  }
  if (cp < 0x10000) {
    out[0] = static_cast<char>(0xE0 | (cp >> 12));
    out[1] = static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    out[2] = static_cast<char>(0x80 | (cp & 0x3F));
    return 3;
  }
  out[0] = static_cast<char>(0xF0 | (cp >> 18));
  out[1] = static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
  out[2] = static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
  out[3] = static_cast<char>(0x80 | (cp & 0x3F));
  return 4;
}

bool AppendUtf8(Text& out, std::u16string_view utf16) {
  for (std::size_t i = 0; i < utf16.size(); ++i) {
    char32_t cp = utf16[i];
    if (IsHighSurrogate(utf16[i])) {
      if (i + 1 >= utf16.size() || !IsLowSurrogate(utf16[i + 1])) return false;
      cp = 0x10000 + ((cp - 0xD800) << 10) + (utf16[i + 1] - 0xDC00);
      ++i;
    } else if (IsLowSurrogate(utf16[i])) {
      return false;
    }
    char bytes[4];
    out.Append(bytes, static_cast<std::size_t>(EncodeUtf8(cp, bytes)));
  }
  return true;
}

}  // namespace wr
