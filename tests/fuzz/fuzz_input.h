// The fuzzer's bytes read as a stream of small decisions. Reading past the
// end gives zeros, so every input, however short, describes one whole run.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "tests/unit/fake/text_models.h"

namespace wr::fuzz {

using testing::EncodeUtf16Model;
using testing::EncodeUtf8Model;

// A UTF-16 text for a failure message: printable ASCII as it is, every other
// unit as \uN (decimal), so that what broke reads the same on any terminal.
inline std::string Show(std::u16string_view text) {
  std::string out;
  for (char16_t c : text) {
    if (c >= 0x20 && c < 0x7F) out += static_cast<char>(c);
    else out += "\\u" + std::to_string(static_cast<unsigned>(c));
  }
  return out;
}

class FuzzInput {
 public:
  FuzzInput(const std::uint8_t* data, std::size_t size) : data_(data), size_(size) {}

  bool empty() const { return at_ >= size_; }

  std::uint8_t Byte() { return at_ < size_ ? data_[at_++] : 0; }

  // A value in [0, bound), bound at most 65536.
  std::size_t Below(std::size_t bound) {
    if (bound <= 1) return 0;
    std::size_t value = Byte();
    if (bound > 256) value = (value << 8) | Byte();
    return value % bound;
  }

  bool Chance(std::size_t one_in) { return Below(one_in) == 0; }

 private:
  const std::uint8_t* data_;
  std::size_t size_;
  std::size_t at_ = 0;
};

// The whole, valid UTF-8 sequence at `at` (RFC 3629: shortest form, no
// surrogates, nothing above U+10FFFF): its length, or 0 when there is none.
inline std::size_t WholeSequenceAt(const std::string& bytes, std::size_t at, char32_t* code_point) {
  const auto b = [&](std::size_t i) { return static_cast<std::uint8_t>(bytes[i]); };
  if (at >= bytes.size()) return 0;
  const std::uint8_t lead = b(at);
  std::size_t width;
  char32_t value;
  if (lead < 0x80) {
    *code_point = lead;
    return 1;
  } else if ((lead & 0xE0) == 0xC0) {
    width = 2, value = lead & 0x1F;
  } else if ((lead & 0xF0) == 0xE0) {
    width = 3, value = lead & 0x0F;
  } else if ((lead & 0xF8) == 0xF0) {
    width = 4, value = lead & 0x07;
  } else {
    return 0;
  }
  if (at + width > bytes.size()) return 0;
  for (std::size_t i = 1; i < width; ++i) {
    if ((b(at + i) & 0xC0) != 0x80) return 0;
    value = (value << 6) | (b(at + i) & 0x3F);
  }
  const char32_t least = width == 2 ? 0x80 : width == 3 ? 0x800 : 0x10000;
  if (value < least || value > 0x10FFFF || (value >= 0xD800 && value <= 0xDFFF)) return 0;
  *code_point = value;
  return width;
}

// The UTF-16 the system gets for the text: each byte that starts no whole
// valid sequence stands for U+FFFD.
inline std::u16string LossyUtf16Model(const std::string& bytes) {
  std::u16string out;
  for (std::size_t at = 0; at < bytes.size();) {
    char32_t c = 0;
    std::size_t width = WholeSequenceAt(bytes, at, &c);
    if (width == 0) c = 0xFFFD, width = 1;
    EncodeUtf16Model(c, out);
    at += width;
  }
  return out;
}

}  // namespace wr::fuzz
