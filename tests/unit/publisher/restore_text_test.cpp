#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "publisher/publisher.h"
#include "publisher/scrambled_text.h"

namespace wr {
namespace {

constexpr unsigned char kExpectedBytes[] = {WR_EXPECTED_PUBLISHER_BYTES};
const std::string_view kExpected(reinterpret_cast<const char*>(kExpectedBytes), sizeof kExpectedBytes);

struct NamedCopy {
  const char* name;
  const ScrambledText& copy;
};

std::vector<NamedCopy> BothCopies() { return {{"title", kTitleCopy}, {"banner", kBannerCopy}}; }

std::string_view ScrambledView(const ScrambledText& copy) {
  return {reinterpret_cast<const char*>(copy.scrambled), sizeof copy.scrambled};
}

TEST(RestoreText, CommittedTextIsSixteenBytes) { ASSERT_EQ(kExpected.size(), 16u); }

TEST(RestoreText, EachCopyGivesThePublisherText) {
  for (const NamedCopy& c : BothCopies()) {
    SCOPED_TRACE(c.name);
    const PublisherBytes text = RestoreText(c.copy);
    EXPECT_EQ(text.view().size(), 16u);
    EXPECT_EQ(text.view(), kExpected);
  }
}

TEST(RestoreText, RestoringTwiceGivesTheSameBytes) {
  for (const NamedCopy& c : BothCopies()) {
    SCOPED_TRACE(c.name);
    const PublisherBytes first = RestoreText(c.copy);
    const PublisherBytes second = RestoreText(c.copy);
    EXPECT_EQ(std::memcmp(first.bytes, second.bytes, 16), 0);
  }
}

TEST(RestoreText, StoredBytesAreScrambledDifferentlyPerCopy) {
  EXPECT_NE(ScrambledView(kTitleCopy), ScrambledView(kBannerCopy));
  for (const NamedCopy& c : BothCopies()) {
    SCOPED_TRACE(c.name);
    EXPECT_NE(ScrambledView(c.copy), kExpected);
    // Not even one byte may stand in the clear at its own position.
    for (size_t i = 0; i < 16; ++i) EXPECT_NE(ScrambledView(c.copy)[i], kExpected[i]) << "byte " << i;
  }
}

TEST(RestoreText, EachCopyHasItsOwnKeyReference) {
  EXPECT_NE(kTitleCopy.base, kBannerCopy.base);
  EXPECT_NE(kTitleCopy.constant, kBannerCopy.constant);
  EXPECT_NE(kTitleCopy.key_offset, kBannerCopy.key_offset);
}

TEST(LocateKey, KeysLieApartInsideTheirOwnNoise) {
  const unsigned char* title_key = LocateKey(kTitleCopy);
  const unsigned char* banner_key = LocateKey(kBannerCopy);
  EXPECT_NE(title_key, banner_key);
  for (const NamedCopy& c : BothCopies()) {
    SCOPED_TRACE(c.name);
    const unsigned char* key = LocateKey(c.copy);
    EXPECT_EQ(key, LocateKey(c.copy));
    EXPECT_GT(key, c.copy.base) << "the key must not sit at the base address itself";
    EXPECT_LT(key, c.copy.base + 65536);
    // The located key is the one the restoration really uses.
    for (size_t i = 0; i < 16; ++i)
      EXPECT_EQ(static_cast<unsigned char>(c.copy.scrambled[i] ^ key[i]), static_cast<unsigned char>(kExpected[i]))
          << "byte " << i;
  }
  // Neither key may overlap the other (the keys are separate data).
  EXPECT_TRUE(title_key + 16 <= banner_key || banner_key + 16 <= title_key);
}

TEST(RestoreText, SwappedKeyReferenceDoesNotRestore) {
  const ScrambledText hybrid = {{}, kBannerCopy.base, kBannerCopy.constant, kBannerCopy.key_offset};
  ScrambledText title_with_banner_key = hybrid;
  std::memcpy(title_with_banner_key.scrambled, kTitleCopy.scrambled, 16);
  EXPECT_NE(RestoreText(title_with_banner_key).view(), kExpected);
}

// A hand-made copy, to pin the mechanism down independently of the
// generated data: base + offset, two 8-byte halves, no cut at zero bytes.
constexpr size_t kNoiseSize = 65536 + 16;

struct HandMadeCase {
  const char* name;
  KeyOffsetStep step;
  size_t offset;
};

TEST(RestoreText, HandMadeCopyUsesBasePlusOffsetAndKeepsZeroBytes) {
  const HandMadeCase cases[] = {
      {"offset 0", [](std::uint64_t) -> std::uint16_t { return 0; }, 0},
      {"unaligned offset", [](std::uint64_t c) -> std::uint16_t { return static_cast<std::uint16_t>(c & 0xFF); }, 0x35},
      {"offset from the constant's high bits",
       [](std::uint64_t c) -> std::uint16_t { return static_cast<std::uint16_t>(c >> 48); }, 0x1234},
      {"largest offset", [](std::uint64_t) -> std::uint16_t { return 0xFFFF; }, 0xFFFF},
  };
  std::vector<unsigned char> noise(kNoiseSize);
  for (size_t i = 0; i < noise.size(); ++i) noise[i] = static_cast<unsigned char>(i * 131 + 7);

  // The wanted text has zero bytes at the start, in the middle of each half
  // and at the very end.
  const unsigned char wanted[16] = {0, 'a', 'b', 0, 'c', 'd', 'e', 'f', 'g', 'h', 0, 'i', 'j', 'k', 'l', 0};
  for (const HandMadeCase& c : cases) {
    SCOPED_TRACE(c.name);
    ScrambledText copy = {{}, noise.data(), 0x1234ABCDEF000035ULL, c.step};
    for (size_t i = 0; i < 16; ++i) copy.scrambled[i] = static_cast<unsigned char>(wanted[i] ^ noise[c.offset + i]);
    EXPECT_EQ(LocateKey(copy), noise.data() + c.offset);
    const PublisherBytes text = RestoreText(copy);
    EXPECT_EQ(text.view().size(), 16u);
    EXPECT_EQ(std::memcmp(text.bytes, wanted, 16), 0);
  }
}

}  // namespace
}  // namespace wr
