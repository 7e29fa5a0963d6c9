#include "launch/os_path.h"

#include <gtest/gtest.h>

#include <string>

#include "tests/unit/fake/fake_system.h"
#include "tests/unit/launch/launch_test_support.h"

namespace wr::testing {
namespace {

// The fake's GetFullPathNameW keeps absolute paths (turning '/' into '\')
// and joins anything else to its current directory, C:\work.
std::u16string A(std::size_t n) { return std::u16string(n, u'a'); }

struct PathCase {
  const char* label;
  std::u16string input;
  std::u16string expected;  // without the terminating zero
  bool asks_full_path;
};

TEST(ToOsPath, ConvertsEachKindOfPath) {
  const PathCase cases[] = {
      {"short drive path", u"C:\\windows\\system32\\DISM.exe", u"C:\\windows\\system32\\DISM.exe", false},
      {"drive only", u"C:", u"C:", false},
      {"drive with forward slash", u"C:/x", u"C:/x", false},
      {"server share", u"\\\\server\\share\\x", u"\\\\server\\share\\x", false},
      {"two forward slashes", u"//server/share", u"//server/share", false},
      {"empty", u"", u"", false},
      {"nt object prefix", u"\\??\\C:\\x", u"\\??\\C:\\x", false},
      {"verbatim non-drive", u"\\\\?\\GLOBALROOT\\x", u"\\\\?\\GLOBALROOT\\x", false},
      {"verbatim drive, normal form", u"\\\\?\\C:\\x\\tool.exe", u"C:\\x\\tool.exe", true},
      {"verbatim drive, not normal", u"\\\\?\\C:\\x/tool.exe", u"\\\\?\\C:\\x/tool.exe", true},
      {"verbatim unc, normal form", u"\\\\?\\UNC\\server\\share\\x", u"\\\\server\\share\\x", true},
      {"verbatim unc, not normal", u"\\\\?\\UNC\\server\\share/x", u"\\\\?\\UNC\\server\\share/x", true},
      {"relative", u"bin", u"C:\\work\\bin", true},
      {"dot", u".", u"C:\\work", true},
      // Length limits count the terminating zero.
      {"drive path of 247 with zero", u"C:\\" + A(243), u"C:\\" + A(243), false},
      {"drive path of 248 with zero", u"C:\\" + A(244), u"\\\\?\\C:\\" + A(244), true},
      {"drive path of 260 with zero", u"C:\\" + A(256), u"\\\\?\\C:\\" + A(256), true},
      {"drive path of 261 with zero", u"C:\\" + A(257), u"C:\\" + A(257), false},
      {"relative of 300", u"bin\\" + A(300), u"bin\\" + A(300), false},
      {"absolute 246 long stays bare", A(238), u"C:\\work\\" + A(238), true},
      {"absolute 247 long is prefixed", A(239), u"\\\\?\\C:\\work\\" + A(239), true},
      {"long share", u"\\\\server\\share\\" + A(240), u"\\\\?\\UNC\\server\\share\\" + A(240), true},
      {"long device path", u"\\\\.\\pipe\\" + A(245), u"\\\\?\\pipe\\" + A(245), true},
  };
  for (const PathCase& c : cases) {
    FakeSystem fake;
    Result<WideText> out = ToOsPath(fake, std::u16string_view(c.input));
    ASSERT_TRUE(out.ok()) << c.label;
    EXPECT_EQ(Str(out.value()), Z(c.expected)) << c.label;
    EXPECT_EQ(fake.count("GetFullPathNameW") != 0, c.asks_full_path) << c.label;
  }
}

TEST(ToOsPath, LongPathsFromTheSystemAreNotPrefixedTwice) {
  // An absolute answer that already carries a prefix is left as it is.
  struct Verbatim : FakeSystem {
    Dword GetFullPathNameW(const char16_t*, Dword size, char16_t* buffer) override {
      const std::u16string answer = u"\\\\?\\Volume{x}\\" + A(250);
      if (answer.size() + 1 > size) return static_cast<Dword>(answer.size() + 1);
      std::copy(answer.begin(), answer.end(), buffer);
      buffer[answer.size()] = 0;
      return static_cast<Dword>(answer.size());
    }
  } fake;
  Result<WideText> out = ToOsPath(fake, std::u16string_view(u"rel"));
  ASSERT_TRUE(out.ok());
  EXPECT_EQ(Str(out.value()), Z(u"\\\\?\\Volume{x}\\" + A(250)));
}

TEST(ToOsPath, RefusesZeroCharacters) {
  FakeSystem fake;
  const std::u16string wide = std::u16string(u"C:\\a") + u'\0' + u"b";
  Result<WideText> from_wide = ToOsPath(fake, std::u16string_view(wide));
  ASSERT_FALSE(from_wide.ok());
  EXPECT_TRUE(IsFixed(from_wide.error(), fixed::kNulInWinApiString));

  Result<WideText> from_utf8 = ToOsPath(fake, std::string_view("C:\\a\0b", 6));
  ASSERT_FALSE(from_utf8.ok());
  EXPECT_TRUE(IsFixed(from_utf8.error(), fixed::kNulInWinApiString));
  EXPECT_EQ(fake.count("GetFullPathNameW"), 0u);
}

TEST(ToOsPath, AFailingFullPathQueryIsItsError) {
  struct Case {
    std::u16string input;
    std::u16string queried;
  };
  const Case cases[] = {
      {u"bin", u"bin"},
      {u"\\\\?\\C:\\x", u"C:\\x"},
      {u"\\\\?\\UNC\\srv\\s", u"\\\\srv\\s"},
  };
  for (const Case& c : cases) {
    FakeSystem fake;
    fake.full_path_failures[c.queried] = ERROR_ACCESS_DENIED;
    Result<WideText> out = ToOsPath(fake, std::u16string_view(c.input));
    ASSERT_FALSE(out.ok()) << Narrow(c.input);
    EXPECT_TRUE(IsOsCode(out.error(), ERROR_ACCESS_DENIED)) << Narrow(c.input);
  }
}

TEST(ToOsPath, ConvertsUtf8) {
  FakeSystem fake;
  Result<WideText> out = ToOsPath(fake, std::string_view("C:\\Утилита\\x.exe"));
  ASSERT_TRUE(out.ok());
  EXPECT_EQ(Str(out.value()), Z(u"C:\\Утилита\\x.exe"));
}

}  // namespace
}  // namespace wr::testing
