// Small helpers shared by the contract cases.
#pragma once

#include <cstdio>
#include <string>
#include <string_view>

#include "platform/system.h"
#include "runtime/grow_buffer.h"

namespace wr::contract {

// WaitForSingleObject's answer when the time ran out.
constexpr Dword WAIT_TIMEOUT = 258;

inline std::u16string Str(const WideText& text) { return std::u16string(text.data(), text.size()); }

// UTF-8 for failure messages.
inline std::string Narrow(std::u16string_view text) {
  std::string out;
  for (char16_t c : text) {
    if (c < 0x80) {
      out += static_cast<char>(c);
    } else {
      char hex[12];
      std::snprintf(hex, sizeof hex, "\\u%04X", static_cast<unsigned>(c));
      out += hex;
    }
  }
  return out;
}

// One call of a sized query with exactly `size` units of room, the last
// error cleared before it: what it returned, the error it left and the
// text up to the first zero in the buffer.
struct SizedAnswer {
  Dword result = 0;
  Dword error = 0;
  std::u16string text;
  bool terminated = false;  // a zero within the room given
  std::u16string room;      // the whole room after the call
};

template <class Query>
SizedAnswer AskSized(System& os, Dword size, Query&& query) {
  std::u16string room(static_cast<std::size_t>(size) + 1, u'#');
  os.SetLastError(0);
  SizedAnswer answer;
  answer.result = query(size == 0 ? nullptr : room.data(), size);
  answer.error = os.GetLastError();
  const std::size_t zero = room.find(u'\0');
  answer.terminated = zero != std::u16string::npos && zero < size;
  if (answer.terminated) answer.text = room.substr(0, zero);
  answer.room = room.substr(0, size);
  return answer;
}

}  // namespace wr::contract
