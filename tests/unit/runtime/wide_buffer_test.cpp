#include "runtime/wide_buffer.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tests/unit/fake/expect_error.h"
#include "tests/unit/fake/fake_system.h"

namespace wr::testing {
namespace {

// A query in the manner of the path functions: copies the text when it fits
// with its zero, otherwise returns the size it needs.
struct SizingQuery {
  FakeSystem& os;
  std::u16string text;
  std::vector<Dword> sizes;
  std::vector<Dword> errors_seen;

  Dword operator()(char16_t* buffer, Dword size) {
    sizes.push_back(size);
    errors_seen.push_back(os.GetLastError());
    if (text.size() + 1 > size) return static_cast<Dword>(text.size() + 1);
    std::copy(text.begin(), text.end(), buffer);
    buffer[text.size()] = 0;
    return static_cast<Dword>(text.size());
  }
};

TEST(FillWideBuffer, GrowsToTheSizeTheAnswerNeeds) {
  struct Case {
    std::size_t length;
    std::vector<Dword> sizes;
  };
  const Case cases[] = {
      {0, {512}},                       // empty but successful: 0 with no error
      {5, {512}},        {511, {512}},  // fits with its zero
      {512, {512, 513}},                // one unit too long for the stack buffer
      {700, {512, 701}}, {5000, {512, 5001}},
  };
  for (const Case& c : cases) {
    FakeSystem fake;
    SizingQuery query{fake, std::u16string(c.length, u'x'), {}, {}};
    Result<WideText> text = FillWideBuffer(fake, query);
    ASSERT_TRUE(text.ok()) << c.length;
    EXPECT_EQ(Str(text.value()), query.text) << c.length;
    EXPECT_EQ(query.sizes, c.sizes) << c.length;
  }
}

TEST(FillWideBuffer, ClearsTheLastErrorBeforeEveryCall) {
  FakeSystem fake;
  fake.SetLastError(ERROR_ACCESS_DENIED);
  SizingQuery query{fake, std::u16string(600, u'y'), {}, {}};
  ASSERT_TRUE(FillWideBuffer(fake, query).ok());
  EXPECT_EQ(query.errors_seen, (std::vector<Dword>{0, 0}));
}

TEST(FillWideBuffer, DoublesWhileAFullBufferReportsInsufficientBuffer) {
  // The GetModuleFileNameW manner: truncate, return the buffer size.
  FakeSystem fake;
  const std::u16string text(1500, u'm');
  std::vector<Dword> sizes;
  Result<WideText> result = FillWideBuffer(fake, [&](char16_t* buffer, Dword size) -> Dword {
    sizes.push_back(size);
    if (text.size() + 1 > size) {
      std::copy(text.begin(), text.begin() + size - 1, buffer);
      buffer[size - 1] = 0;
      fake.SetLastError(ERROR_INSUFFICIENT_BUFFER);
      return size;
    }
    std::copy(text.begin(), text.end(), buffer);
    return static_cast<Dword>(text.size());
  });
  ASSERT_TRUE(result.ok());
  EXPECT_EQ(Str(result.value()), text);
  EXPECT_EQ(sizes, (std::vector<Dword>{512, 1024, 2048}));
}

TEST(FillWideBuffer, ZeroWithAnErrorIsThatError) {
  FakeSystem fake;
  int calls = 0;
  Result<WideText> result = FillWideBuffer(fake, [&](char16_t*, Dword) -> Dword {
    ++calls;
    fake.SetLastError(ERROR_ENVVAR_NOT_FOUND);
    return 0;
  });
  ASSERT_FALSE(result.ok());
  EXPECT_TRUE(IsOsCode(result.error(), ERROR_ENVVAR_NOT_FOUND));
  EXPECT_EQ(calls, 1);
}

TEST(FillWideBuffer, ASmallerAnswerAfterGrowingEndsTheLoop) {
  // The needed size can shrink between calls (the value changed meanwhile);
  // whatever fits is the answer.
  FakeSystem fake;
  std::vector<Dword> sizes;
  Result<WideText> result = FillWideBuffer(fake, [&](char16_t* buffer, Dword size) -> Dword {
    sizes.push_back(size);
    if (size == 512) return 900;
    buffer[0] = u'k';
    return 1;
  });
  ASSERT_TRUE(result.ok());
  EXPECT_EQ(Str(result.value()), u"k");
  EXPECT_EQ(sizes, (std::vector<Dword>{512, 900}));
}

}  // namespace
}  // namespace wr::testing
