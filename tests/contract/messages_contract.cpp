// FormatMessageW as the error texts call it: from the system, from NTDLL,
// inserts left as they are, unknown codes and short buffers.
#include <string>

#include "tests/contract/contract_support.h"
#include "tests/contract/world.h"

namespace wr::contract {
namespace {

using Messages = Contract;

constexpr Dword kSystemFlags = FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS;

struct Message {
  Dword count = 0;
  Dword error = 0;
  std::u16string text;
};

Message Format(System& os, Dword flags, Handle source, Dword id, Dword size = 512) {
  std::u16string room(size + 1, u'#');
  os.SetLastError(0);
  Message m;
  m.count = os.FormatMessageW(flags, source, id, 0, room.data(), size);
  m.error = os.GetLastError();
  if (m.count != 0 && m.count <= size) m.text = room.substr(0, m.count);
  return m;
}

bool EndsWithLineBreak(const std::u16string& text) {
  return text.size() >= 2 && text.compare(text.size() - 2, 2, u"\r\n") == 0;
}

TEST_F(Messages, SystemMessagesEndInALineBreakAndCountTheirUnits) {
  for (Dword id : {Dword{2}, Dword{5}, Dword{109}, Dword{1113}}) {
    SCOPED_TRACE(id);
    const Message m = Format(os(), kSystemFlags, nullptr, id);
    ASSERT_GT(m.count, 2u);
    EXPECT_EQ(m.text.find(u'\0'), std::u16string::npos);
    EXPECT_TRUE(EndsWithLineBreak(m.text)) << Narrow(m.text);
  }
}

// "%1 is not a valid Win32 application." in every language: with inserts
// ignored the placeholder comes back as it is.
TEST_F(Messages, InsertsAreLeftInPlace) {
  const Message m = Format(os(), kSystemFlags, nullptr, ERROR_BAD_EXE_FORMAT);
  ASSERT_GT(m.count, 0u);
  EXPECT_NE(m.text.find(u"%1"), std::u16string::npos) << Narrow(m.text);
}

TEST_F(Messages, AnUnknownCodeIs317) {
  for (Dword id : {Dword{0x0000FFFF}, Dword{0x2000ABCD}}) {
    SCOPED_TRACE(id);
    const Message m = Format(os(), kSystemFlags, nullptr, id);
    EXPECT_EQ(m.count, 0u);
    EXPECT_EQ(m.error, ERROR_MR_MID_NOT_FOUND);
  }
}

TEST_F(Messages, ABufferTooSmallFailsWith122) {
  const Message m = Format(os(), kSystemFlags, nullptr, ERROR_FILE_NOT_FOUND, 4);
  EXPECT_EQ(m.count, 0u);
  EXPECT_EQ(m.error, ERROR_INSUFFICIENT_BUFFER);
}

// NTDLL's own table holds the status texts. With both sources named, a code
// NTDLL does not have comes from the system table.
TEST_F(Messages, FromNtdllAndThenTheSystem) {
  const Handle ntdll = os().GetModuleHandleW(u"NTDLL.DLL");
  ASSERT_NE(ntdll, nullptr);
  // Only a module already loaded is found; anything else is ERROR_MOD_NOT_FOUND.
  os().SetLastError(0);
  EXPECT_EQ(os().GetModuleHandleW(u"WR-CONTRACT-NOT-LOADED.DLL"), nullptr);
  EXPECT_EQ(os().GetLastError(), 126u);
  constexpr Dword kStatusAccessDenied = 0xC0000022u;
  const Message status = Format(os(), kSystemFlags | FORMAT_MESSAGE_FROM_HMODULE, ntdll, kStatusAccessDenied);
  if (KnownWineDifference(world(), "NTDLL.DLL has no message table: status texts are 317",
                          "FormatMessage with FORMAT_MESSAGE_FROM_HMODULE and the NTDLL.DLL module handle "
                          "gives the text of an NTSTATUS code (Microsoft support article 259693, \"How to "
                          "translate NTSTATUS error codes to message strings\")")) {
    EXPECT_EQ(status.count, 0u);
    EXPECT_EQ(status.error, ERROR_MR_MID_NOT_FOUND);
  } else {
    ASSERT_GT(status.count, 2u) << "error " << status.error;
    EXPECT_TRUE(EndsWithLineBreak(status.text)) << Narrow(status.text);
  }

  const Message system = Format(os(), kSystemFlags, nullptr, 1113);
  const Message fallback = Format(os(), kSystemFlags | FORMAT_MESSAGE_FROM_HMODULE, ntdll, 1113);
  ASSERT_GT(system.count, 0u);
  EXPECT_EQ(fallback.text, system.text);

  const Message nowhere = Format(os(), kSystemFlags | FORMAT_MESSAGE_FROM_HMODULE, ntdll, 0x0000FFFF);
  EXPECT_EQ(nowhere.count, 0u);
  EXPECT_EQ(nowhere.error, ERROR_MR_MID_NOT_FOUND);
}

}  // namespace
}  // namespace wr::contract
