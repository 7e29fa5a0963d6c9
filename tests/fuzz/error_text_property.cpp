// Error display texts against random FormatMessageW answers.
//
// The model: a failed lookup shows "OS Error <id> (FormatMessageW() returned
// error <last error>)"; a count above the 2048-unit buffer is a fatal stop;
// an unpaired surrogate within the count shows "OS Error <id>
// (FormatMessageW() returned invalid UTF-16)"; otherwise the units up to the
// count, as UTF-8, without their trailing White_Space characters. Then
// " (os error <code>)". <id> is the code without the NT-facility bit when
// NTDLL.DLL answered the lookup. A sink that starts refusing makes the
// display report failure, having appended a prefix of the text.
#include <cstdint>
#include <string>
#include <vector>

#include "runtime/io_error.h"
#include "tests/fuzz/fuzz_input.h"
#include "tests/fuzz/properties.h"
#include "tests/unit/fake/fake_system.h"

namespace wr::fuzz {
namespace {

constexpr Dword kBufferUnits = 2048;
constexpr std::uint32_t kNtFacility = 0x10000000u;

// Every White_Space character, and some that look blank without being so.
constexpr char16_t kWhite[] = {0x09,   0x0A,   0x0B,   0x0C,   0x0D,   0x20,   0x85,   0xA0,   0x1680,
                               0x2000, 0x2001, 0x2002, 0x2003, 0x2004, 0x2005, 0x2006, 0x2007, 0x2008,
                               0x2009, 0x200A, 0x2028, 0x2029, 0x202F, 0x205F, 0x3000};
constexpr char16_t kNotWhite[] = {0x200B, 0x180E, 0xFEFF, 0x2060, 0x1F, 0x0E, 0x9F, 0x00};

bool IsWhiteModel(char32_t c) {
  for (char16_t w : kWhite) {
    if (c == w) return true;
  }
  return false;
}

struct Answer {
  bool fail = false;  // returns 0 with `last_error`
  Dword last_error = 0;
  std::u16string buffer;  // everything written into the caller's buffer
  Dword reported = 0;
  bool honest = true;  // reported is the text length, and too long fails
};

class AnsweringSystem : public testing::FakeSystem {
 public:
  explicit AnsweringSystem(Answer& answer) : answer_(answer) {}
  Dword FormatMessageW(Dword, Handle, Dword id, Dword, char16_t* buffer, Dword size) override {
    Log("FormatMessageW");
    asked_id = id;
    asked_size = size;
    if (answer_.fail) {
      SetLastError(answer_.last_error);
      return 0;
    }
    if (answer_.honest && answer_.reported + 1 > size) {
      SetLastError(ERROR_INSUFFICIENT_BUFFER);
      answer_.fail = true;
      answer_.last_error = ERROR_INSUFFICIENT_BUFFER;
      return 0;
    }
    answer_.buffer.resize(size, u'#');
    for (Dword i = 0; i < size; ++i) buffer[i] = answer_.buffer[i];
    if (answer_.reported == 0) {
      // A zero count is a failure whatever the buffer holds.
      SetLastError(answer_.last_error);
      answer_.fail = true;
    }
    return answer_.reported;
  }
  Dword asked_id = 0;
  Dword asked_size = 0;

 private:
  Answer& answer_;
};

class PrefixSink : public TextSink {
 public:
  explicit PrefixSink(std::size_t good) : good_(good) {}
  bool Append(std::string_view piece) override {
    if (refused_ || appends_ >= good_) {
      refused_ = true;
      return false;
    }
    ++appends_;
    text.append(piece);
    return true;
  }
  std::string text;
  bool refused() const { return refused_; }

 private:
  std::size_t good_;
  std::size_t appends_ = 0;
  bool refused_ = false;
};

char16_t PickUnit(FuzzInput& in) {
  switch (in.Below(8)) {
    case 0: return kWhite[in.Below(std::size(kWhite))];
    case 1: return kNotWhite[in.Below(std::size(kNotWhite))];
    case 2: return static_cast<char16_t>(0xD800 + in.Below(0x400));  // high half
    case 3: return static_cast<char16_t>(0xDC00 + in.Below(0x400));  // low half
    case 4: return static_cast<char16_t>(0x0410 + in.Below(0x40));   // Cyrillic
    case 5: return static_cast<char16_t>(0x3040 + in.Below(0x60));   // kana
    default: return static_cast<char16_t>(0x20 + in.Below(0x5F));    // ASCII
  }
}

std::u16string MakeText(FuzzInput& in) {
  std::u16string text;
  const std::size_t runs = in.Below(12);
  for (std::size_t r = 0; r < runs; ++r) {
    if (in.Chance(4)) {
      // A whole pair, so valid texts with characters above the BMP are common.
      text += static_cast<char16_t>(0xD800 + in.Below(0x400));
      text += static_cast<char16_t>(0xDC00 + in.Below(0x400));
      continue;
    }
    const char16_t unit = PickUnit(in);
    const std::size_t repeat = in.Chance(6) ? in.Below(2200) : 1 + in.Below(4);
    text.append(repeat, unit);
  }
  return text;
}

std::string Signed(std::int32_t value) { return std::to_string(static_cast<long long>(value)); }

}  // namespace

std::string CheckErrorText(const std::uint8_t* data, std::size_t size) {
  FuzzInput in(data, size);
  std::uint32_t raw = 0;
  for (int i = 0; i < 4; ++i) raw = (raw << 8) | in.Byte();
  const std::int32_t code = static_cast<std::int32_t>(raw);
  Answer answer;
  const std::size_t mode = in.Below(4);
  answer.fail = mode == 0;
  answer.honest = mode == 1;
  answer.last_error = static_cast<Dword>(in.Below(4) == 0 ? 122 : in.Below(65536));
  if (!answer.fail) {
    answer.buffer = MakeText(in);
    answer.reported = static_cast<Dword>(answer.buffer.size());
    if (!answer.honest) {
      switch (in.Below(4)) {
        case 0: answer.reported = static_cast<Dword>(in.Below(2100)); break;
        case 1: answer.reported = kBufferUnits + static_cast<Dword>(in.Below(3)); break;
        case 2: answer.reported = 0xFFFFFFFFu - static_cast<Dword>(in.Below(2)); break;
        default: break;
      }
      if (answer.reported <= kBufferUnits && answer.buffer.size() < answer.reported) {
        answer.buffer.resize(answer.reported, u'#');
      }
    }
  }
  const bool has_ntdll = !in.Chance(4);
  const std::size_t good_appends = in.Chance(4) ? in.Below(8) : static_cast<std::size_t>(-1);

  AnsweringSystem os(answer);
  os.has_ntdll = has_ntdll;
  PrefixSink sink(good_appends);
  const IoError error = IoError::FromOsCode(code);
  bool shown = false;
  bool stopped = false;
  try {
    shown = DisplayText(os, error, sink);
  } catch (const testing::FatalStopped&) {
    stopped = true;
  }

  // The model.
  std::uint32_t id = raw;
  if ((raw & kNtFacility) != 0 && has_ntdll) id &= ~kNtFacility;
  const std::string shown_id = Signed(static_cast<std::int32_t>(id));
  if (os.asked_id != id) return "looked up id " + std::to_string(os.asked_id) + ", expected " + std::to_string(id);
  if (os.asked_size != kBufferUnits) return "buffer of " + std::to_string(os.asked_size) + " units";
  std::string expected;
  if (answer.fail) {
    expected = "OS Error " + shown_id + " (FormatMessageW() returned error " +
               Signed(static_cast<std::int32_t>(answer.last_error)) + ")";
  } else if (answer.reported > kBufferUnits) {
    if (!stopped) return "count " + std::to_string(answer.reported) + " above the buffer was accepted";
    if (!sink.text.empty()) return "text appended before the fatal stop";
    return "";
  } else {
    std::string text;
    std::size_t kept = 0;
    bool invalid = false;
    for (std::size_t i = 0; i < answer.reported; ++i) {
      char32_t c = answer.buffer[i];
      const bool high = c >= 0xD800 && c <= 0xDBFF;
      const bool low = c >= 0xDC00 && c <= 0xDFFF;
      if (high && i + 1 < answer.reported && answer.buffer[i + 1] >= 0xDC00 && answer.buffer[i + 1] <= 0xDFFF) {
        c = 0x10000 + ((c - 0xD800) << 10) + (answer.buffer[i + 1] - 0xDC00);
        ++i;
      } else if (high || low) {
        invalid = true;
        break;
      }
      EncodeUtf8Model(c, text);
      if (!IsWhiteModel(c)) kept = text.size();
    }
    expected = invalid ? "OS Error " + shown_id + " (FormatMessageW() returned invalid UTF-16)" : text.substr(0, kept);
  }
  expected += " (os error " + Signed(code) + ")";
  if (stopped) return "fatal stop on a count within the buffer";
  if (sink.refused()) {
    if (shown) return "a refused append was reported as shown";
    if (expected.compare(0, sink.text.size(), sink.text) != 0) return "refused display is not a prefix of the text";
    return "";
  }
  if (!shown) return "display failed on a sink that never refused";
  if (sink.text != expected) return "shown \"" + sink.text + "\", expected \"" + expected + "\"";
  return "";
}

}  // namespace wr::fuzz
