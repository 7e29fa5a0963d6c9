// Path handling the program search relies on: full path names and file
// attributes.
#include <string>

#include "tests/contract/contract_support.h"
#include "tests/contract/world.h"

namespace wr::contract {
namespace {

using Paths = Contract;

// "<S>" is the scratch (and current) directory, "<P>" its parent, "<D>" its
// drive ("C:").
std::u16string Expand(std::u16string_view pattern, const std::u16string& scratch) {
  const std::u16string parent = scratch.substr(0, scratch.rfind(u'\\'));
  const std::u16string drive = scratch.substr(0, 2);
  std::u16string out;
  for (std::size_t i = 0; i < pattern.size(); ++i) {
    if (pattern.substr(i, 3) == u"<S>") {
      out += scratch;
      i += 2;
    } else if (pattern.substr(i, 3) == u"<P>") {
      out += parent;
      i += 2;
    } else if (pattern.substr(i, 3) == u"<D>") {
      out += drive;
      i += 2;
    } else {
      out += pattern[i];
    }
  }
  return out;
}

struct FullPathCase {
  std::u16string_view input;
  std::u16string_view expected;
};

// The documented Win32 normalisation: '/' is a separator, repeated
// separators collapse, "." and ".." are evaluated (never above the root or
// the UNC share), a segment ending in a single period loses it, and trailing
// periods and spaces of the last segment go unless the path ends in a
// separator. A drive-relative name on the current drive is relative to the
// current directory.
const FullPathCase kFullPaths[] = {
    {u"a.txt", u"<S>\\a.txt"},
    {u".", u"<S>"},
    {u".\\a.txt", u"<S>\\a.txt"},
    {u"sub\\..\\a.txt", u"<S>\\a.txt"},
    {u"sub\\.\\a.txt", u"<S>\\sub\\a.txt"},
    {u"..\\a.txt", u"<P>\\a.txt"},
    {u"a.txt.", u"<S>\\a.txt"},
    {u"a.txt  ", u"<S>\\a.txt"},
    {u"a.txt. .", u"<S>\\a.txt"},
    {u"sub.\\a.txt", u"<S>\\sub\\a.txt"},
    {u"sub\\", u"<S>\\sub\\"},
    {u"sub/a.txt", u"<S>\\sub\\a.txt"},
    {u"sub\\\\a.txt", u"<S>\\sub\\a.txt"},
    {u"<D>a.txt", u"<S>\\a.txt"},
    {u"\\a.txt", u"<D>\\a.txt"},
    {u"<D>\\x\\..\\y", u"<D>\\y"},
    {u"<D>/x/y", u"<D>\\x\\y"},
    {u"<D>\\..\\y", u"<D>\\y"},
    {u"\\\\server\\share\\a\\..\\b", u"\\\\server\\share\\b"},
    {u"\\\\server\\share\\..\\b", u"\\\\server\\share\\b"},
    {u"//server/share/a", u"\\\\server\\share\\a"},
    {u"\\\\?\\<S>\\a.txt", u"\\\\?\\<S>\\a.txt"},
};

TEST_F(Paths, FullPathNames) {
  const std::u16string scratch = world().scratch();
  for (const FullPathCase& c : kFullPaths) {
    const std::u16string input = Expand(c.input, scratch);
    const std::u16string expected = Expand(c.expected, scratch);
    SCOPED_TRACE(Narrow(input));
    auto query = [&](char16_t* buffer, Dword size) { return os().GetFullPathNameW(input.c_str(), size, buffer); };
    const SizedAnswer answer = AskSized(os(), 1024, query);
    EXPECT_EQ(answer.text, expected);
    EXPECT_EQ(answer.result, expected.size());
  }
}

struct AttributesCase {
  std::u16string_view path;
  enum { File, Directory, Missing } what;
  Dword error;  // for Missing
};

constexpr Dword FILE_ATTRIBUTE_DIRECTORY = 0x10;
constexpr Dword ERROR_PATH_NOT_FOUND = 3;

// A name is found in any letter case and with trailing periods or spaces
// (the normalisation above); a missing name is error 2, a name under a
// missing directory error 3.
const AttributesCase kAttributes[] = {
    {u"<S>\\prog.exe", AttributesCase::File, 0},
    {u"<S>\\PROG.EXE", AttributesCase::File, 0},
    {u"<S>\\prog.exe.", AttributesCase::File, 0},
    {u"<S>\\prog.exe ", AttributesCase::File, 0},
    {u"<S>/prog.exe", AttributesCase::File, 0},
    {u"prog.exe", AttributesCase::File, 0},
    {u"<S>\\sub\\..\\prog.exe", AttributesCase::File, 0},
    {u"<S>\\sub", AttributesCase::Directory, 0},
    {u"<S>\\SUB\\", AttributesCase::Directory, 0},
    {u"<S>\\sub\\inner.exe", AttributesCase::File, 0},
    {u"<S>\\missing.exe", AttributesCase::Missing, ERROR_FILE_NOT_FOUND},
    {u"<S>\\sub\\missing.exe", AttributesCase::Missing, ERROR_FILE_NOT_FOUND},
    {u"<S>\\nowhere\\prog.exe", AttributesCase::Missing, ERROR_PATH_NOT_FOUND},
};

TEST_F(Paths, FileAttributes) {
  world().MakeFile(u"prog.exe", "MZ");
  world().MakeDirectory(u"sub");
  world().MakeFile(u"sub\\inner.exe", "MZ");
  const std::u16string scratch = world().scratch();
  for (const AttributesCase& c : kAttributes) {
    const std::u16string path = Expand(c.path, scratch);
    SCOPED_TRACE(Narrow(path));
    os().SetLastError(0);
    const Dword attributes = os().GetFileAttributesW(path.c_str());
    const Dword error = os().GetLastError();
    switch (c.what) {
      case AttributesCase::File:
        EXPECT_NE(attributes, INVALID_FILE_ATTRIBUTES);
        EXPECT_EQ(attributes & FILE_ATTRIBUTE_DIRECTORY, 0u);
        break;
      case AttributesCase::Directory:
        EXPECT_NE(attributes, INVALID_FILE_ATTRIBUTES);
        EXPECT_NE(attributes & FILE_ATTRIBUTE_DIRECTORY, 0u);
        break;
      case AttributesCase::Missing:
        EXPECT_EQ(attributes, INVALID_FILE_ATTRIBUTES);
        EXPECT_EQ(error, c.error);
        break;
    }
  }
}

}  // namespace
}  // namespace wr::contract
