// Small, independent models of rules the code under test must follow,
// shared by the unit tests and the fuzz targets so that no check leans on
// the code it is checking.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

namespace wr::testing {

// Independent UTF-8 and UTF-16 encoders for the models, so that no model
// leans on the conversions it is checking.
inline void EncodeUtf8Model(char32_t c, std::string& out) {
  if (c < 0x80) {
    out += static_cast<char>(c);
  } else if (c < 0x800) {
    out += static_cast<char>(0xC0 | (c >> 6));
    out += static_cast<char>(0x80 | (c & 0x3F));
  } else if (c < 0x10000) {
    out += static_cast<char>(0xE0 | (c >> 12));
    out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (c & 0x3F));
  } else {
    out += static_cast<char>(0xF0 | (c >> 18));
    out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
    out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (c & 0x3F));
  }
}

inline void EncodeUtf16Model(char32_t c, std::u16string& out) {
  if (c < 0x10000) {
    out += static_cast<char16_t>(c);
  } else {
    out += static_cast<char16_t>(0xD800 + ((c - 0x10000) >> 10));
    out += static_cast<char16_t>(0xDC00 + ((c - 0x10000) & 0x3FF));
  }
}

// A child's standard argument splitting (the rules CommandLineToArgvW and
// the C runtime follow): the program name ends at the next quote (when it
// starts with one) or at white space, with no escapes; in the arguments 2n
// backslashes and a quote give n backslashes and toggle quoting, 2n+1 give
// n and a literal quote, other backslashes are literal, and "" inside
// quotes is a quote.
inline bool IsBlank(char16_t c) { return c == u' ' || c == u'\t'; }

// Reads the arguments (not the program name) from `line` starting at `i`.
inline void SplitArguments(std::u16string_view line, std::size_t i, std::vector<std::u16string>& out) {
  const std::size_t n = line.size();
  for (;;) {
    while (i < n && IsBlank(line[i])) ++i;
    if (i >= n) return;
    std::u16string argument;
    bool quoted = false;
    while (i < n && (quoted || !IsBlank(line[i]))) {
      if (line[i] == u'\\') {
        std::size_t run = 0;
        while (i < n && line[i] == u'\\') ++run, ++i;
        if (i < n && line[i] == u'"') {
          argument.append(run / 2, u'\\');
          if (run % 2 == 1) argument += u'"', ++i;
        } else {
          argument.append(run, u'\\');
        }
      } else if (line[i] == u'"') {
        if (quoted && i + 1 < n && line[i + 1] == u'"') {
          argument += u'"';
          i += 2;
        } else {
          quoted = !quoted;
          ++i;
        }
      } else {
        argument += line[i++];
      }
    }
    out.push_back(argument);
  }
}

inline std::vector<std::u16string> SplitLikeChild(std::u16string_view line) {
  std::vector<std::u16string> out;
  std::size_t i = 0;
  std::u16string program;
  if (!line.empty() && line[0] == u'"') {
    for (i = 1; i < line.size() && line[i] != u'"'; ++i) program += line[i];
    if (i < line.size()) ++i;
  } else {
    for (; i < line.size() && !IsBlank(line[i]); ++i) program += line[i];
  }
  out.push_back(program);
  SplitArguments(line, i, out);
  return out;
}

}  // namespace wr::testing
