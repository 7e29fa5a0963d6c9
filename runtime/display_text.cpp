// The display text of an error value. The text of an OS code is fetched
// from the system's message tables on every display and never stored, so an
// error made on one thread can be shown on another without any state.
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "platform/system.h"
#include "runtime/io_error.h"
#include "runtime/utf.h"

namespace wr {
namespace {

// The caller's own buffer for FormatMessageW, in UTF-16 units. Kept on the
// stack: the system is never asked to allocate one (that would need
// LocalFree and could fail for want of memory while reporting an error).
constexpr Dword kMessageUnits = 2048;
// One UTF-16 unit gives at most three UTF-8 bytes (a surrogate pair, two
// units, gives four).
constexpr std::size_t kMessageBytes = 3 * std::size_t{kMessageUnits};

// Codes with the NT-facility bit are NTSTATUS values passed off as Win32
// codes; their texts live in NTDLL.DLL's message table, not the system's.
constexpr std::uint32_t kNtFacilityBit = 0x10000000u;

// "-2147483648" is the longest signed 32-bit decimal.
constexpr std::size_t kDecimalRoom = 11;

std::string_view FormatSigned(std::int32_t value, char (&room)[kDecimalRoom]) {
  // The magnitude is taken in unsigned arithmetic, where the most negative
  // value has one.
  std::uint32_t magnitude = static_cast<std::uint32_t>(value);
  if (value < 0) magnitude = 0u - magnitude;
  std::size_t at = kDecimalRoom;
  do {
    room[--at] = static_cast<char>('0' + magnitude % 10);
    magnitude /= 10;
  } while (magnitude != 0);
  if (value < 0) room[--at] = '-';
  return {room + at, kDecimalRoom - at};
}

bool AppendSigned(TextSink& sink, std::int32_t value) {
  char room[kDecimalRoom];
  return sink.Append(FormatSigned(value, room));
}

// The characters with the Unicode White_Space property.
bool IsWhiteSpace(char32_t c) {
  return (c >= 0x09 && c <= 0x0D) || c == 0x20 || c == 0x85 || c == 0xA0 || c == 0x1680 ||
         (c >= 0x2000 && c <= 0x200A) || c == 0x2028 || c == 0x2029 || c == 0x202F || c == 0x205F || c == 0x3000;
}

// System texts end in CR LF (and some in spaces); only the end is trimmed,
// and inserts such as "%1" are left as they are (the lookup ignores them).
bool AppendSystemMessageText(System& os, std::int32_t code, TextSink& sink) {
  std::uint32_t id = static_cast<std::uint32_t>(code);
  Handle source = nullptr;
  Dword flags = FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS;
  if ((id & kNtFacilityBit) != 0) {
    // Looks up an already loaded module only; nothing is loaded here.
    Handle ntdll = os.GetModuleHandleW(u"NTDLL.DLL");
    if (ntdll != nullptr) {
      id &= ~kNtFacilityBit;
      source = ntdll;
      flags |= FORMAT_MESSAGE_FROM_HMODULE;
    }
  }
  const auto shown_id = static_cast<std::int32_t>(id);

  char16_t units[kMessageUnits] = {};
  const Dword count = os.FormatMessageW(flags, source, id, 0, units, kMessageUnits);
  if (count == 0) {
    const auto failure = static_cast<std::int32_t>(os.GetLastError());
    return sink.Append("OS Error ") && AppendSigned(sink, shown_id) &&
           sink.Append(" (FormatMessageW() returned error ") && AppendSigned(sink, failure) && sink.Append(")");
  }
  if (count > kMessageUnits) os.FatalStop();

  char bytes[kMessageBytes];
  std::size_t length = 0;
  std::size_t kept = 0;  // length up to the last character that is not white space
  for (Dword i = 0; i < count; ++i) {
    char32_t c = units[i];
    if (IsHighSurrogate(units[i]) && i + 1 < count && IsLowSurrogate(units[i + 1])) {
      c = 0x10000 + ((c - 0xD800) << 10) + (units[i + 1] - 0xDC00);
      ++i;
    } else if (IsHighSurrogate(units[i]) || IsLowSurrogate(units[i])) {
      return sink.Append("OS Error ") && AppendSigned(sink, shown_id) &&
             sink.Append(" (FormatMessageW() returned invalid UTF-16)");
    }
    length += static_cast<std::size_t>(EncodeUtf8(c, bytes + length));
    if (!IsWhiteSpace(c)) kept = length;
  }
  return kept == 0 || sink.Append(std::string_view(bytes, kept));
}

}  // namespace

bool DisplayText(System& os, const IoError& error, TextSink& sink) {
  switch (error.variant()) {
    case IoError::Variant::OsCode:
      return AppendSystemMessageText(os, error.os_code(), sink) && sink.Append(" (os error ") &&
             AppendSigned(sink, error.os_code()) && sink.Append(")");
    case IoError::Variant::BareKind: return sink.Append(DescriptionOf(error.bare_kind()));
    case IoError::Variant::FixedMessage: return sink.Append(error.fixed().text);
    case IoError::Variant::Wrapped: return error.wrapped_object().Display(sink);
  }
  return true;
}

}  // namespace wr
