#include "runtime/utf.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "tests/unit/fake/fake_system.h"
#include "tests/unit/fake/text_models.h"

namespace wr {
namespace {

using testing::FakeSystem;

std::size_t PrefixOf(const std::string& bytes) {
  return ValidUtf8PrefixLength(reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size());
}

TEST(ValidUtf8PrefixLength, Table) {
  struct Case {
    const char* name;
    std::string bytes;
    std::size_t valid;
  };
  // One case a line: clang-format would put each of the adjacent string literals here on a line of its own.
  // clang-format off
  const std::vector<Case> cases = {
      {"empty", "", 0},
      {"ascii", "abc", 3},
      {"nul is a character", std::string("a\0b", 3), 3},
      {"cyrillic", "Привет", 12},
      {"euro sign", "\xE2\x82\xAC", 3},
      {"emoji", "\xF0\x9F\x98\x80", 4},
      {"largest code point", "\xF4\x8F\xBF\xBF", 4},
      {"smallest of each width", std::string("\x00", 1) + "\xC2\x80" "\xE0\xA0\x80" "\xF0\x90\x80\x80", 10},
      {"largest of each width", "\x7F" "\xDF\xBF" "\xEF\xBF\xBF" "\xF4\x8F\xBF\xBF", 10},
      // Overlong forms.
      {"overlong nul", "\xC0\x80", 0},
      {"overlong 0x7F", "\xC1\xBF", 0},
      {"overlong three-byte", "\xE0\x80\x80", 0},
      {"overlong U+07FF", "\xE0\x9F\xBF", 0},
      {"overlong four-byte", "\xF0\x80\x80\x80", 0},
      {"overlong U+FFFF", "\xF0\x8F\xBF\xBF", 0},
      // Encoded surrogates, and their neighbours.
      {"first surrogate", "ok\xED\xA0\x80", 2},
      {"last surrogate", "\xED\xBF\xBF", 0},
      {"just below surrogates", "\xED\x9F\xBF", 3},
      {"just above surrogates", "\xEE\x80\x80", 3},
      // Above U+10FFFF.
      {"U+110000", "a\xF4\x90\x80\x80", 1},
      {"lead F5", "\xF5\x80\x80\x80", 0},
      {"lead FF", "\xFF", 0},
      {"lead FE", "\xFE", 0},
      // Truncated at the end.
      {"two of three", "ab\xE2\x82", 2},
      {"three of four", "ab\xF0\x9F\x98", 2},
      {"one of two", "x\xC3", 1},
      {"lead alone", "\xC3", 0},
      // Broken continuation.
      {"second byte ascii", "\xC3\x28", 0},
      {"third byte ascii", "\xE2\x82\x28", 0},
      {"lone continuation", "a\x80" "b", 1},
      // The prefix ends at the first fault even when valid text follows.
      {"stops at first fault", "ab\xFF" "cd", 2},
      {"valid after invalid", "\xC0\x80" "abc", 0},
  };
  // clang-format on
  for (const Case& c : cases) {
    EXPECT_EQ(PrefixOf(c.bytes), c.valid) << c.name;
  }
}

// The shared model's encoder, so the sweep does not lean on the code under test.
std::string Encode(char32_t c) {
  std::string out;
  testing::EncodeUtf8Model(c, out);
  return out;
}

TEST(Utf8, EveryCodePointEncodesAndValidates) {
  for (char32_t c = 0; c <= 0x10FFFF; ++c) {
    const std::string expected = Encode(c);
    const bool surrogate = c >= 0xD800 && c <= 0xDFFF;
    // The test's encoder happily encodes surrogates; those must be refused.
    ASSERT_EQ(PrefixOf(expected), surrogate ? 0 : expected.size()) << std::hex << static_cast<std::uint32_t>(c);
    if (surrogate) continue;
    char out[4] = {};
    const int width = EncodeUtf8(c, out);
    ASSERT_EQ(std::string(out, static_cast<std::size_t>(width)), expected) << std::hex << static_cast<std::uint32_t>(c);
    ASSERT_EQ(Utf8SequenceWidth(static_cast<std::uint8_t>(expected[0])), width);
  }
}

TEST(Utf8SequenceWidth, EveryLeadByte) {
  for (int b = 0; b < 256; ++b) {
    int expected = 0;
    if (b < 0x80) expected = 1;
    else if (b >= 0xC2 && b <= 0xDF) expected = 2;
    else if (b >= 0xE0 && b <= 0xEF) expected = 3;
    else if (b >= 0xF0 && b <= 0xF4) expected = 4;
    EXPECT_EQ(Utf8SequenceWidth(static_cast<std::uint8_t>(b)), expected) << b;
  }
}

TEST(AppendUtf8, Table) {
  struct Case {
    const char* name;
    std::u16string units;
    bool ok;
    std::string out;  // what was appended after "<" in either case
  };
  const std::vector<Case> cases = {
      {"empty", u"", true, ""},
      {"ascii", u"abc", true, "abc"},
      {"cyrillic", u"Ошибка", true, "Ошибка"},
      {"pair", u"x\xD83D\xDE00y", true, "x\xF0\x9F\x98\x80y"},
      {"largest pair", u"\xDBFF\xDFFF", true, "\xF4\x8F\xBF\xBF"},
      {"nul", std::u16string(u"a\0b", 3), true, std::string("a\0b", 3)},
      {"high at the end", u"a\xD800", false, "a"},
      {"high then letter",
       u"a\xD800"
       u"b",
       false, "a"},
      {"high then high", u"ab\xD800\xD800\xDC00", false, "ab"},
      {"lone low", u"ab\xDC00", false, "ab"},
      {"reversed pair", u"\xDC00\xD800", false, ""},
      {"after a good pair", u"\xD83D\xDE00\xDE00", false, "\xF0\x9F\x98\x80"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    FakeSystem os;
    Text out(os);
    out.Push('<');
    EXPECT_EQ(AppendUtf8(out, c.units), c.ok);
    EXPECT_EQ(std::string(out.data(), out.size()), "<" + c.out);
  }
}

TEST(AppendUtf16, ValidTextAndReplacementOfBadBytes) {
  struct Case {
    const char* name;
    std::string utf8;
    std::u16string units;
  };
  const std::vector<Case> cases = {
      {"ascii", "abc", u"abc"},
      {"cyrillic and emoji", "Да \xF0\x9F\x98\x80", u"Да \U0001F600"},
      {"bad byte",
       "a\xFF"
       "b",
       u"a\uFFFDb"},
      {"each byte of a truncated sequence", "a\xE2\x82", u"a\uFFFD\uFFFD"},
      {"encoded surrogate", "\xED\xA0\x80", u"\uFFFD\uFFFD\uFFFD"},
      {"overlong", "\xC0\xAF", u"\uFFFD\uFFFD"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    FakeSystem os;
    WideText out(os);
    out.Push(u'<');
    AppendUtf16(out, c.utf8);
    EXPECT_EQ(std::u16string(out.data(), out.size()), u"<" + c.units);
  }
}

}  // namespace
}  // namespace wr
