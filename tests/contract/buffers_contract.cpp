// Sized queries: what the system functions answer with and without room for
// the terminating zero, and what FillWideBuffer makes of it.
#include <string>

#include "runtime/wide_buffer.h"
#include "tests/contract/contract_support.h"
#include "tests/contract/world.h"

namespace wr::contract {
namespace {

using SizedQueries = Contract;

constexpr Dword kEnvvarNotFound = 203;

struct VariableCase {
  const char* label;
  std::u16string_view set_name;
  std::u16string value;
  std::u16string_view asked_name;  // the same name, possibly in another letter case
};

std::u16string Repeat(char16_t c, std::size_t n) { return std::u16string(n, c); }

// Values shorter and longer than FillWideBuffer's first 512-unit buffer,
// and a name asked in another case: variable names ignore case.
const VariableCase kVariables[] = {
    {"short", u"WR_CONTRACT_SHORT", u"value", u"WR_CONTRACT_SHORT"},
    {"past the first buffer", u"WR_CONTRACT_LONG", Repeat(u'v', 700), u"WR_CONTRACT_LONG"},
    {"exactly the first buffer", u"WR_CONTRACT_EDGE", Repeat(u'e', 511), u"WR_CONTRACT_EDGE"},
    {"asked in lower case", u"WR_CONTRACT_CASE", u"\u0416\u0436 text", u"wr_contract_case"},
};

TEST_F(SizedQueries, EnvironmentVariableSizesWithAndWithoutRoomForTheZero) {
  for (const VariableCase& c : kVariables) {
    SCOPED_TRACE(c.label);
    world().SetEnv(c.set_name, c.value);
    const std::u16string name(c.asked_name);
    auto query = [&](char16_t* buffer, Dword size) { return os().GetEnvironmentVariableW(name.c_str(), buffer, size); };
    const Dword length = static_cast<Dword>(c.value.size());

    // Too small, even by the zero alone: the size needed, zero included.
    EXPECT_EQ(AskSized(os(), 0, query).result, length + 1);
    EXPECT_EQ(AskSized(os(), length, query).result, length + 1);
    // Room for the zero: the length without it, and the text.
    const SizedAnswer fits = AskSized(os(), length + 1, query);
    EXPECT_EQ(fits.result, length);
    EXPECT_TRUE(fits.terminated);
    EXPECT_EQ(fits.text, c.value);

    Result<WideText> filled = FillWideBuffer(os(), query);
    ASSERT_TRUE(filled.ok());
    EXPECT_EQ(Str(filled.value()), c.value);
  }
}

TEST_F(SizedQueries, AnEmptyVariableIsNotAMissingOne) {
  world().SetEnv(u"WR_CONTRACT_EMPTY", u"");
  world().UnsetEnv(u"WR_CONTRACT_MISSING");
  auto empty = [&](char16_t* buffer, Dword size) {
    return os().GetEnvironmentVariableW(u"WR_CONTRACT_EMPTY", buffer, size);
  };
  auto missing = [&](char16_t* buffer, Dword size) {
    return os().GetEnvironmentVariableW(u"WR_CONTRACT_MISSING", buffer, size);
  };

  const SizedAnswer e = AskSized(os(), 16, empty);
  EXPECT_EQ(e.result, 0u);
  EXPECT_EQ(e.error, 0u) << "an empty value leaves the last error alone";
  const SizedAnswer m = AskSized(os(), 16, missing);
  EXPECT_EQ(m.result, 0u);
  EXPECT_EQ(m.error, kEnvvarNotFound);

  Result<WideText> filled_empty = FillWideBuffer(os(), empty);
  ASSERT_TRUE(filled_empty.ok());
  EXPECT_EQ(filled_empty.value().size(), 0u);
  Result<WideText> filled_missing = FillWideBuffer(os(), missing);
  ASSERT_FALSE(filled_missing.ok());
  EXPECT_EQ(filled_missing.error().variant(), IoError::Variant::OsCode);
  EXPECT_EQ(filled_missing.error().os_code(), static_cast<std::int32_t>(kEnvvarNotFound));
}

// A module name that does not fit is truncated to the room given, zero
// included; the call returns the room and sets ERROR_INSUFFICIENT_BUFFER.
TEST_F(SizedQueries, ModuleFileNameTruncatesToTheRoomGiven) {
  auto query = [&](char16_t* buffer, Dword size) { return os().GetModuleFileNameW(buffer, size); };
  Result<WideText> filled = FillWideBuffer(os(), query);
  ASSERT_TRUE(filled.ok());
  const std::u16string name = Str(filled.value());
  ASSERT_GT(name.size(), 4u);
  const Dword length = static_cast<Dword>(name.size());

  const SizedAnswer short_by_zero = AskSized(os(), length, query);
  EXPECT_EQ(short_by_zero.result, length);
  EXPECT_EQ(short_by_zero.error, ERROR_INSUFFICIENT_BUFFER);
  if (KnownWineDifference(world(), "a truncated module name fills the room without a terminating zero",
                          "GetModuleFileNameW: the string is truncated to nSize characters including the "
                          "terminating null character (unterminated only on Windows XP)")) {
    EXPECT_FALSE(short_by_zero.terminated);
    EXPECT_EQ(short_by_zero.room, name.substr(0, length));
  } else {
    EXPECT_TRUE(short_by_zero.terminated);
    EXPECT_EQ(short_by_zero.text, name.substr(0, length - 1));
  }

  const SizedAnswer fits = AskSized(os(), length + 1, query);
  EXPECT_EQ(fits.result, length);
  EXPECT_EQ(fits.text, name);
}

TEST_F(SizedQueries, SystemAndWindowsDirectoriesReportTheSizeTheyNeed) {
  struct Directory {
    const char* label;
    Dword (System::*call)(char16_t*, Dword);
  };
  const Directory directories[] = {{"system", &System::GetSystemDirectoryW},
                                   {"windows", &System::GetWindowsDirectoryW}};
  std::u16string found[2];
  for (std::size_t i = 0; i < 2; ++i) {
    SCOPED_TRACE(directories[i].label);
    auto query = [&](char16_t* buffer, Dword size) { return (os().*directories[i].call)(buffer, size); };
    Result<WideText> filled = FillWideBuffer(os(), query);
    ASSERT_TRUE(filled.ok());
    found[i] = Str(filled.value());
    const Dword length = static_cast<Dword>(found[i].size());
    ASSERT_GT(length, 3u);
    EXPECT_EQ(AskSized(os(), 0, query).result, length + 1);
    EXPECT_EQ(AskSized(os(), length, query).result, length + 1);
    const SizedAnswer fits = AskSized(os(), length + 1, query);
    EXPECT_EQ(fits.result, length);
    EXPECT_EQ(fits.text, found[i]);
  }
  // The system directory is "system32" right under the Windows directory.
  const std::u16string expected = found[1] + u"\\SYSTEM32";
  EXPECT_EQ(os().CompareStringOrdinal(found[0].data(), static_cast<int>(found[0].size()), expected.data(),
                                      static_cast<int>(expected.size()), true),
            CSTR_EQUAL)
      << Narrow(found[0]) << " against " << Narrow(found[1]);
}

// The block holds every variable as NAME=value, each ended by a zero, the
// block by one more.
TEST_F(SizedQueries, TheEnvironmentBlockHoldsWhatIsSet) {
  world().SetEnv(u"WR_CONTRACT_BLOCK", u"\u0416 value");
  world().UnsetEnv(u"WR_CONTRACT_GONE");
  char16_t* block = os().GetEnvironmentStringsW();
  ASSERT_NE(block, nullptr);
  bool found = false;
  bool gone = false;
  const char16_t* at = block;
  while (*at != 0) {
    const std::u16string entry(at);
    found = found || entry == u"WR_CONTRACT_BLOCK=\u0416 value";
    gone = gone || entry.rfind(u"WR_CONTRACT_GONE=", 0) == 0;
    at += entry.size() + 1;
  }
  EXPECT_TRUE(found);
  EXPECT_FALSE(gone);
  EXPECT_TRUE(os().FreeEnvironmentStringsW(block));
}

TEST_F(SizedQueries, FullPathNameOfALongRelativeName) {
  const std::u16string name = Repeat(u'n', 600);
  const std::u16string full = world().scratch() + u"\\" + name;
  auto query = [&](char16_t* buffer, Dword size) { return os().GetFullPathNameW(name.c_str(), size, buffer); };
  const Dword length = static_cast<Dword>(full.size());
  EXPECT_EQ(AskSized(os(), 0, query).result, length + 1);
  EXPECT_EQ(AskSized(os(), length, query).result, length + 1);
  const SizedAnswer fits = AskSized(os(), length + 1, query);
  EXPECT_EQ(fits.result, length);
  EXPECT_EQ(fits.text, full);
  Result<WideText> filled = FillWideBuffer(os(), query);
  ASSERT_TRUE(filled.ok());
  EXPECT_EQ(Str(filled.value()), full);
}

}  // namespace
}  // namespace wr::contract
