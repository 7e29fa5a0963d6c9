#include <gtest/gtest.h>

#include <cstdint>
#include <functional>
#include <limits>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "runtime/io_error.h"
#include "tests/unit/fake/fake_system.h"
#include "tests/unit/runtime/string_sink.h"

namespace wr {
namespace {

using testing::FakeSystem;
using testing::FatalStopped;
using testing::StringSink;

// Records how FormatMessageW and GetModuleHandleW are asked, and can answer
// with any units and any reported count.
class MessageSystem : public FakeSystem {
 public:
  struct FormatCall {
    Dword flags;
    Handle source;
    Dword id;
    Dword language;
    Dword size;
    bool zero_filled;
  };

  Dword FormatMessageW(Dword flags, Handle source, Dword id, Dword language, char16_t* buffer, Dword size) override {
    bool zero_filled = true;
    for (Dword i = 0; i < size; ++i) zero_filled = zero_filled && buffer[i] == 0;
    format_calls.push_back({flags, source, id, language, size, zero_filled});
    if (!answer) return FakeSystem::FormatMessageW(flags, source, id, language, buffer, size);
    Log("FormatMessageW");
    for (std::size_t i = 0; i < answer->size() && i < size; ++i) buffer[i] = (*answer)[i];
    return reported.value_or(static_cast<Dword>(answer->size()));
  }

  Handle GetModuleHandleW(const char16_t* name) override {
    std::u16string passed;
    for (const char16_t* at = name; *at != 0; ++at) passed += *at;
    module_names.push_back(passed);
    module_found = FakeSystem::GetModuleHandleW(name);
    return module_found;
  }

  std::optional<std::u16string> answer;  // units put into the buffer
  std::optional<Dword> reported;         // count returned instead of answer's length
  std::vector<FormatCall> format_calls;
  std::vector<std::u16string> module_names;
  Handle module_found = nullptr;
};

std::string Display(System& os, const IoError& error) {
  StringSink sink;
  EXPECT_TRUE(DisplayText(os, error, sink));
  return sink.text;
}

constexpr Dword kPlainFlags = 0x1200;   // from system, ignore inserts
constexpr Dword kModuleFlags = 0x1A00;  // plus from module

TEST(DisplayOsCode, SystemTextWithoutItsLineEndThenTheCode) {
  MessageSystem os;
  os.system_messages[2] = u"The system cannot find the file specified.\r\n";
  EXPECT_EQ(Display(os, IoError::FromOsCode(2)), "The system cannot find the file specified. (os error 2)");
  ASSERT_EQ(os.format_calls.size(), 1u);
  const auto& call = os.format_calls[0];
  EXPECT_EQ(call.flags, kPlainFlags);
  EXPECT_EQ(call.source, nullptr);
  EXPECT_EQ(call.id, 2u);
  EXPECT_EQ(call.language, 0u);
  EXPECT_EQ(call.size, 2048u);
  EXPECT_TRUE(call.zero_filled);
  EXPECT_TRUE(os.module_names.empty()) << "no NT-facility bit, no module lookup";
}

TEST(DisplayOsCode, TextIsConvertedToUtf8) {
  MessageSystem os;
  os.system_messages[5] = u"Отказано в доступе \U0001F512.\r\n";
  EXPECT_EQ(Display(os, IoError::FromOsCode(5)), "Отказано в доступе \U0001F512. (os error 5)");
}

TEST(DisplayOsCode, OnlyTrailingWhiteSpaceIsTrimmed) {
  struct Case {
    const char* name;
    std::u16string system;
    std::string shown;
  };
  const std::vector<Case> cases = {
      {"crlf", u"Access is denied.\r\n", "Access is denied."},
      {"spaces tab nbsp", u"Access is denied.  \t\u00A0", "Access is denied."},
      {"mixed run", u"x\r\n \u3000\u2028\u00A0\t\r\n", "x"},
      {"leading and inner stay", u"  The %1 file \t is\u00A0bad.\r\n", "  The %1 file \t is\u00A0bad."},
      {"insert at end stays", u"Cannot open %1 \r\n", "Cannot open %1"},
      {"insert with digit stays", u"%1%2", "%1%2"},
      {"nothing to trim", u"Done", "Done"},
      {"pair at end stays", u"key \U0001F511", "key \U0001F511"},
      // Characters that look blank but lack the White_Space property.
      {"zero width space", u"a\u200B", "a\u200B"},
      {"mongolian vowel separator", u"a\u180E", "a\u180E"},
      {"byte order mark", u"a\uFEFF", "a\uFEFF"},
      {"backspace", u"a\u0008", "a\u0008"},
      {"unit separator", u"a\u001F", "a\u001F"},
      {"shift out", u"a\u000E", "a\u000E"},
      {"nul inside the count", std::u16string(u"a\0", 2), std::string("a\0", 2)},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    MessageSystem os;
    os.answer = c.system;
    EXPECT_EQ(Display(os, IoError::FromOsCode(31)), c.shown + " (os error 31)");
  }
}

TEST(DisplayOsCode, EveryWhiteSpaceCharacterIsTrimmed) {
  std::vector<char16_t> white = {0x09, 0x0A,   0x0B,   0x0C,   0x0D,   0x20,   0x85,
                                 0xA0, 0x1680, 0x2028, 0x2029, 0x202F, 0x205F, 0x3000};
  for (char16_t c = 0x2000; c <= 0x200A; ++c) white.push_back(c);
  for (char16_t c : white) {
    SCOPED_TRACE(static_cast<int>(c));
    MessageSystem os;
    os.answer = std::u16string(u"end") + c;
    EXPECT_EQ(Display(os, IoError::FromOsCode(1)), "end (os error 1)");
  }
}

TEST(DisplayOsCode, WhiteSpaceOnlyTextLeavesJustTheCode) {
  for (const std::u16string& text :
       {std::u16string(u"\r\n"), std::u16string(u" \t\u00A0\u3000"), std::u16string(u"\u2029")}) {
    MessageSystem os;
    os.answer = text;
    StringSink sink;
    ASSERT_TRUE(DisplayText(os, IoError::FromOsCode(87), sink));
    EXPECT_EQ(sink.text, " (os error 87)");
  }
}

TEST(DisplayOsCode, AllOnesCodeWithNtdllFoundAndNoText) {
  MessageSystem os;
  os.format_message_error = 317;
  EXPECT_EQ(Display(os, IoError::FromOsCode(-1)),
            "OS Error -268435457 (FormatMessageW() returned error 317) (os error -1)");
  ASSERT_EQ(os.module_names.size(), 1u);
  EXPECT_EQ(os.module_names[0], u"NTDLL.DLL");
  ASSERT_NE(os.module_found, nullptr);
  ASSERT_EQ(os.format_calls.size(), 1u);
  EXPECT_EQ(os.format_calls[0].id, 0xEFFFFFFFu);
  EXPECT_EQ(os.format_calls[0].flags, kModuleFlags);
  EXPECT_EQ(os.format_calls[0].source, os.module_found);
}

TEST(DisplayOsCode, NtFacilityCodeLooksUpNtdllWithTheBitCleared) {
  struct Case {
    std::uint32_t code;
    std::uint32_t id;
    std::string shown;
  };
  const Case cases[] = {
      {0x10000002u, 2u, "ntdll text (os error 268435458)"},
      {0xD0000022u, 0xC0000022u, "ntdll text (os error -805306334)"},
      {0x7FFFFFFFu, 0x6FFFFFFFu, "ntdll text (os error 2147483647)"},
  };
  for (const Case& c : cases) {
    MessageSystem os;
    os.ntdll_messages[c.id] = u"ntdll text\r\n";
    os.system_messages[c.id] = u"system text\r\n";
    os.system_messages[c.code] = u"system text\r\n";
    EXPECT_EQ(Display(os, IoError::FromOsCode(static_cast<std::int32_t>(c.code))), c.shown);
    ASSERT_EQ(os.format_calls.size(), 1u);
    EXPECT_EQ(os.format_calls[0].id, c.id);
    EXPECT_EQ(os.format_calls[0].flags, kModuleFlags);
  }
}

TEST(DisplayOsCode, NtdllMissingKeepsTheCodeAndPlainFlags) {
  MessageSystem os;
  os.has_ntdll = false;
  os.format_message_error = 317;
  EXPECT_EQ(Display(os, IoError::FromOsCode(-1)), "OS Error -1 (FormatMessageW() returned error 317) (os error -1)");
  ASSERT_EQ(os.format_calls.size(), 1u);
  EXPECT_EQ(os.format_calls[0].id, 0xFFFFFFFFu);
  EXPECT_EQ(os.format_calls[0].flags, kPlainFlags);
  EXPECT_EQ(os.format_calls[0].source, nullptr);
  EXPECT_EQ(os.module_names.size(), 1u);

  MessageSystem with_text;
  with_text.has_ntdll = false;
  with_text.system_messages[0x10000002u] = u"from the system\r\n";
  EXPECT_EQ(Display(with_text, IoError::FromOsCode(0x10000002)), "from the system (os error 268435458)");
}

TEST(DisplayOsCode, FailedLookupFallbackFormatsBothNumbersSigned) {
  struct Case {
    std::int32_t code;
    Dword failure;
    std::string shown;
  };
  const Case cases[] = {
      {12345, 15100, "OS Error 12345 (FormatMessageW() returned error 15100) (os error 12345)"},
      {0, 0, "OS Error 0 (FormatMessageW() returned error 0) (os error 0)"},
      {10, 0xFFFFFFFFu, "OS Error 10 (FormatMessageW() returned error -1) (os error 10)"},
      {std::numeric_limits<std::int32_t>::min(), 0x80000000u,
       "OS Error -2147483648 (FormatMessageW() returned error -2147483648) (os error -2147483648)"},
      {-100, 317, "OS Error -100 (FormatMessageW() returned error 317) (os error -100)"},
      {0x6FFFFFFF, 2147483647,
       "OS Error 1879048191 (FormatMessageW() returned error 2147483647) (os error 1879048191)"},
  };
  for (const Case& c : cases) {
    MessageSystem os;
    os.has_ntdll = false;
    os.format_message_error = c.failure;
    EXPECT_EQ(Display(os, IoError::FromOsCode(c.code)), c.shown);
  }
}

TEST(DisplayOsCode, LastErrorIsReadRightAfterTheFailedLookup) {
  MessageSystem os;
  os.format_message_error = 15105;
  os.calls.clear();
  Display(os, IoError::FromOsCode(3));
  std::vector<std::string> after;
  bool seen = false;
  for (const auto& call : os.calls) {
    if (seen) after.push_back(call);
    seen = seen || call == "FormatMessageW";
  }
  ASSERT_FALSE(after.empty());
  EXPECT_EQ(after[0], "GetLastError");
}

TEST(DisplayOsCode, UnpairedSurrogateWithinTheCountGivesTheFallback) {
  struct Case {
    const char* name;
    std::u16string units;
    std::optional<Dword> reported;
  };
  const std::vector<Case> cases = {
      {"high at the end", u"abc\xD800", std::nullopt},
      // The matching low surrogate lies beyond the reported count.
      {"high cut off by the count", u"abc\xD800\xDC00", 4},
      {"lone low",
       u"ab\xDC00"
       u"cd",
       std::nullopt},
      {"high then a letter", u"a\xD801z", std::nullopt},
      {"two highs", u"\xD800\xD800\xDC00", std::nullopt},
      {"reversed pair", u"\xDC00\xD800", std::nullopt},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    MessageSystem os;
    os.answer = c.units;
    os.reported = c.reported;
    EXPECT_EQ(Display(os, IoError::FromOsCode(5)),
              "OS Error 5 (FormatMessageW() returned invalid UTF-16) (os error 5)");
  }
}

TEST(DisplayOsCode, InvalidTextFallbackShowsTheIdWithoutTheNtBit) {
  MessageSystem os;
  os.answer = u"\xDFFF";
  EXPECT_EQ(Display(os, IoError::FromOsCode(static_cast<std::int32_t>(0xD0000022u))),
            "OS Error -1073741790 (FormatMessageW() returned invalid UTF-16) (os error -805306334)");
}

TEST(DisplayOsCode, UnitsAfterTheCountAreIgnored) {
  MessageSystem os;
  os.answer = u"Hi\xD800 garbage";
  os.reported = 2;
  EXPECT_EQ(Display(os, IoError::FromOsCode(7)), "Hi (os error 7)");
}

TEST(DisplayOsCode, FullBufferIsAccepted) {
  struct Case {
    const char* name;
    std::u16string units;
    std::string shown;
  };
  std::string three_byte;
  for (int i = 0; i < 2048; ++i) three_byte += "\u3042";
  std::string four_byte;
  for (int i = 0; i < 1024; ++i) four_byte += "\U0001F600";
  const std::vector<Case> cases = {
      {"ascii", std::u16string(2047, u'a') + u".", std::string(2047, 'a') + "."},
      {"ascii with line end", std::u16string(2046, u'a') + u"\r\n", std::string(2046, 'a')},
      {"three-byte characters", std::u16string(2048, u'\u3042'), three_byte},
      {"surrogate pairs",
       [] {
         std::u16string s;
         for (int i = 0; i < 1024; ++i) s += u"\U0001F600";
         return s;
       }(),
       four_byte},
      {"white space only", std::u16string(2048, u'\u3000'), ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ASSERT_EQ(c.units.size(), 2048u);
    MessageSystem os;
    os.answer = c.units;
    EXPECT_EQ(Display(os, IoError::FromOsCode(8)), c.shown + " (os error 8)");
  }
}

TEST(DisplayOsCode, CountAboveTheBufferIsAFatalStop) {
  for (Dword reported : {2049u, 0xFFFFFFFFu}) {
    MessageSystem os;
    os.answer = std::u16string(2048, u'a');
    os.reported = reported;
    StringSink sink;
    EXPECT_THROW(DisplayText(os, IoError::FromOsCode(8), sink), FatalStopped);
    EXPECT_TRUE(sink.text.empty());
  }
}

TEST(DisplayOsCode, TextIsFetchedAnewAndTheErrorCanBeShownAgain) {
  MessageSystem os;
  os.system_messages[2] = u"first\r\n";
  const IoError error = IoError::FromOsCode(2);
  EXPECT_EQ(Display(os, error), "first (os error 2)");
  os.system_messages[2] = u"second\r\n";
  EXPECT_EQ(Display(os, error), "second (os error 2)");
  EXPECT_EQ(os.format_calls.size(), 2u);
  EXPECT_EQ(OsCodeOf(error), 2);
}

// Whatever piece the sink refuses, the display reports the failure, and it
// stops appending once the sink has failed.
TEST(DisplayText, SinkFailureAtAnyPieceIsReported) {
  auto setups = std::vector<std::pair<const char*, std::function<void(MessageSystem&)>>>{
      {"system text", [](MessageSystem& os) { os.system_messages[2] = u"text\r\n"; }},
      {"white space only", [](MessageSystem& os) { os.answer = u"\r\n"; }},
      {"failed lookup", [](MessageSystem& os) { os.format_message_error = 317; }},
      {"invalid text", [](MessageSystem& os) { os.answer = u"\xD800"; }},
  };
  for (const auto& [name, setup] : setups) {
    SCOPED_TRACE(name);
    MessageSystem reference;
    setup(reference);
    StringSink whole;
    ASSERT_TRUE(DisplayText(reference, IoError::FromOsCode(2), whole));
    ASSERT_FALSE(whole.pieces.empty());
    for (std::size_t good = 0; good < whole.pieces.size(); ++good) {
      MessageSystem os;
      setup(os);
      StringSink sink(good);
      EXPECT_FALSE(DisplayText(os, IoError::FromOsCode(2), sink)) << "failing after " << good;
      EXPECT_EQ(sink.attempts, good + 1) << "kept appending after the sink failed";
    }
  }
}

class TextObject : public ErrorObject {
 public:
  explicit TextObject(std::string text) : text_(std::move(text)) {}
  bool Display(TextSink& sink) const override { return sink.Append(text_) && sink.Append("!"); }

 private:
  std::string text_;
};

TEST(DisplayText, OtherVariantsAndAFailingSink) {
  FakeSystem os;
  const IoError bare = IoError::FromKind(ErrorKind::NotFound);
  const IoError fixed = IoError::Fixed(fixed::kWriteWholeBuffer);
  const IoError wrapped = IoError::Wrap(os, ErrorKind::OtherError, new TextObject("own text"));
  EXPECT_EQ(Display(os, bare), "entity not found");
  EXPECT_EQ(Display(os, fixed), "failed to write whole buffer");
  EXPECT_EQ(Display(os, wrapped), "own text!");
  EXPECT_EQ(Display(os, wrapped), "own text!");
  for (const IoError* error : {&bare, &fixed, &wrapped}) {
    StringSink refusing(0);
    EXPECT_FALSE(DisplayText(os, *error, refusing));
  }
  StringSink half(1);
  EXPECT_FALSE(DisplayText(os, wrapped, half));
}

TEST(DisplayText, BareKindShowsItsDescription) {
  FakeSystem os;
  for (int ordinal = 0; ordinal < kErrorKindCount; ++ordinal) {
    const auto kind = static_cast<ErrorKind>(ordinal);
    EXPECT_EQ(Display(os, IoError::FromKind(kind)), DescriptionOf(kind));
  }
  EXPECT_EQ(Display(os, IoError::FromKind(ErrorKind::FilesystemLoop)),
            "filesystem loop or indirection limit (e.g. symlink loop)");
}

}  // namespace
}  // namespace wr
