// Text conversion with the strict flags, and ordinal comparison.
#include <string>
#include <string_view>

#include "tests/contract/contract_support.h"
#include "tests/contract/world.h"

namespace wr::contract {
namespace {

using Text = Contract;

constexpr Dword ERROR_NO_UNICODE_TRANSLATION = 1113;

struct Utf8Case {
  const char* label;
  std::string_view bytes;
  std::u16string_view units;  // empty: invalid under MB_ERR_INVALID_CHARS
};

const Utf8Case kUtf8[] = {
    {"ASCII", "abc", u"abc"},
    {"two, three and four bytes", "\xD0\xB6\xE2\x82\xAC\xF0\x9F\x98\x80", u"\u0436\u20AC\U0001F600"},
    {"encoded lone high surrogate", "a\xED\xA0\x80", u""},
    {"encoded lone low surrogate", "\xED\xB0\x80z", u""},
    {"overlong slash", "\xC0\xAF", u""},
    {"overlong three bytes", "\xE0\x80\xAF", u""},
    {"truncated at the end", "a\xE2\x82", u""},
    {"truncated before ASCII", "\xE2\x82z", u""},
    {"continuation alone", "\x80", u""},
    {"past U+10FFFF", "\xF4\x90\x80\x80", u""},
};

TEST_F(Text, StrictUtf8ToUtf16) {
  for (const Utf8Case& c : kUtf8) {
    SCOPED_TRACE(c.label);
    char16_t units[16] = {};
    os().SetLastError(0);
    const int n = os().MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, c.bytes.data(),
                                           static_cast<int>(c.bytes.size()), units, 16);
    const Dword error = os().GetLastError();
    if (c.units.empty()) {
      EXPECT_EQ(n, 0);
      EXPECT_EQ(error, ERROR_NO_UNICODE_TRANSLATION);
    } else {
      ASSERT_EQ(n, static_cast<int>(c.units.size()));
      EXPECT_EQ(std::u16string_view(units, static_cast<std::size_t>(n)), c.units);
      // Room 0 asks for the size.
      EXPECT_EQ(os().MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, c.bytes.data(),
                                         static_cast<int>(c.bytes.size()), nullptr, 0),
                n);
    }
  }
}

TEST_F(Text, Utf8IntoTooSmallARoom) {
  char16_t units[2] = {};
  os().SetLastError(0);
  EXPECT_EQ(os().MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, "abc", 3, units, 2), 0);
  EXPECT_EQ(os().GetLastError(), ERROR_INSUFFICIENT_BUFFER);
}

struct Utf16Case {
  const char* label;
  std::u16string_view units;
  std::string_view strict;   // empty: invalid under WC_ERR_INVALID_CHARS
  std::string_view lenient;  // without the flag: lone surrogates become U+FFFD
};

const Utf16Case kUtf16[] = {
    {"ASCII", u"abc", "abc", "abc"},
    {"pair", u"\u0436\U0001F600", "\xD0\xB6\xF0\x9F\x98\x80", "\xD0\xB6\xF0\x9F\x98\x80"},
    {"lone high at the end", u"a\xD800", "", "a\xEF\xBF\xBD"},
    {"lone high before ASCII", u"\xD800z", "", "\xEF\xBF\xBDz"},
    {"lone low", u"\xDC00", "", "\xEF\xBF\xBD"},
    {"reversed pair", u"\xDC00\xD800", "", "\xEF\xBF\xBD\xEF\xBF\xBD"},
};

TEST_F(Text, Utf16ToUtf8StrictAndLenient) {
  for (const Utf16Case& c : kUtf16) {
    SCOPED_TRACE(c.label);
    char bytes[32] = {};
    os().SetLastError(0);
    const int strict = os().WideCharToMultiByte(CP_UTF8, WC_ERR_INVALID_CHARS, c.units.data(),
                                                static_cast<int>(c.units.size()), bytes, 32);
    const Dword error = os().GetLastError();
    if (c.strict.empty()) {
      EXPECT_EQ(strict, 0);
      EXPECT_EQ(error, ERROR_NO_UNICODE_TRANSLATION);
    } else {
      EXPECT_EQ(std::string_view(bytes, static_cast<std::size_t>(strict)), c.strict);
    }
    const int lenient =
        os().WideCharToMultiByte(CP_UTF8, 0, c.units.data(), static_cast<int>(c.units.size()), bytes, 32);
    EXPECT_EQ(std::string_view(bytes, static_cast<std::size_t>(lenient > 0 ? lenient : 0)), c.lenient);
    EXPECT_EQ(os().WideCharToMultiByte(CP_UTF8, 0, c.units.data(), static_cast<int>(c.units.size()), nullptr, 0),
              static_cast<int>(c.lenient.size()));
  }
}

TEST_F(Text, Utf16IntoTooSmallARoom) {
  char bytes[2] = {};
  os().SetLastError(0);
  EXPECT_EQ(os().WideCharToMultiByte(CP_UTF8, WC_ERR_INVALID_CHARS, u"\u0436z", 2, bytes, 2), 0);
  EXPECT_EQ(os().GetLastError(), ERROR_INSUFFICIENT_BUFFER);
}

struct CompareCase {
  std::u16string_view a;
  std::u16string_view b;
  bool ignore_case;
  int expected;
};

// Ignoring case, the strings compare as if both were upper-cased with the
// system's casing table, unit by unit; otherwise by code unit value.
const CompareCase kCompare[] = {
    {u"PATH", u"path", true, CSTR_EQUAL},
    {u"PATH", u"path", false, CSTR_LESS_THAN},
    {u"path", u"PATH", false, CSTR_GREATER_THAN},
    {u"Path", u"PATHEXT", true, CSTR_LESS_THAN},
    {u"PathExt", u"PATH", true, CSTR_GREATER_THAN},
    {u"windir", u"WinDir", true, CSTR_EQUAL},
    {u"windir", u"WinDir", false, CSTR_GREATER_THAN},
    // '_' (0x5F) sorts after every upper-case letter and before every
    // lower-case one: upper-casing decides.
    {u"_", u"a", true, CSTR_GREATER_THAN},
    {u"_", u"a", false, CSTR_LESS_THAN},
    {u"\u043F\u0443\u0442\u044C", u"\u041F\u0423\u0422\u042C", true, CSTR_EQUAL},  // путь / ПУТЬ
    {u"\u0451", u"\u0401", true, CSTR_EQUAL},                                      // ё / Ё
    {u"\u0451", u"\u0401", false, CSTR_GREATER_THAN},
    {u"\u00E9t\u00E9", u"\u00C9T\u00C9", true, CSTR_EQUAL},  // été / ÉTÉ
    {u"\u00DF", u"SS", true, CSTR_GREATER_THAN},             // ß has no one-unit upper case
    {u"a", u"b", true, CSTR_LESS_THAN},
    {u"", u"", true, CSTR_EQUAL},
    {u"", u"a", true, CSTR_LESS_THAN},
};

TEST_F(Text, CompareStringOrdinal) {
  for (const CompareCase& c : kCompare) {
    SCOPED_TRACE(Narrow(c.a) + " / " + Narrow(c.b) + (c.ignore_case ? " ignoring case" : ""));
    EXPECT_EQ(os().CompareStringOrdinal(c.a.data(), static_cast<int>(c.a.size()), c.b.data(),
                                        static_cast<int>(c.b.size()), c.ignore_case),
              c.expected);
  }
}

TEST_F(Text, CompareStringOrdinalMeasuresZeroTerminatedStrings) {
  EXPECT_EQ(os().CompareStringOrdinal(u"Path", -1, u"PATH", -1, true), CSTR_EQUAL);
  EXPECT_EQ(os().CompareStringOrdinal(u"Path", -1, u"PATH", 3, true), CSTR_GREATER_THAN);
  EXPECT_EQ(os().CompareStringOrdinal(u"Path", 2, u"PA", -1, true), CSTR_EQUAL);
}

}  // namespace
}  // namespace wr::contract
