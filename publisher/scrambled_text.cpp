#include "publisher/scrambled_text.h"

#include <bit>
#include <cstdint>
#include <cstring>

#include "scrambled_data.inc"

namespace wr {
namespace {

std::uint16_t TitleKeyOffset(std::uint64_t x) {
  using namespace scrambled;
  x ^= x >> kTitleShiftA;
  x *= kTitleFactor;
  x ^= (x >> kTitleShiftB) ^ kTitleXorValue;
  x ^= std::rotl(x, static_cast<int>(kTitleRotation));
  return static_cast<std::uint16_t>(x & 0xFFFF);
}

std::uint16_t BannerKeyOffset(std::uint64_t x) {
  using namespace scrambled;
  x = x * kBannerFactor + kBannerAddValue;
  x ^= std::rotl(x, static_cast<int>(kBannerRotation));
  return static_cast<std::uint16_t>(x & kBannerMask);
}

const ScrambledText kTitle = {
    {WR_TITLE_SCRAMBLED},
    scrambled::kTitleArena,
    scrambled::kTitleConstant,
    TitleKeyOffset,
};

const ScrambledText kBanner = {
    {WR_BANNER_SCRAMBLED},
    scrambled::kBannerArena,
    scrambled::kBannerConstant,
    BannerKeyOffset,
};

std::uint64_t LoadWord(const unsigned char* at) {
  std::uint64_t word = 0;
  std::memcpy(&word, at, sizeof word);  // x64 is little-endian
  return word;
}

}  // namespace

const ScrambledText& kTitleCopy = kTitle;
const ScrambledText& kBannerCopy = kBanner;

const unsigned char* LocateKey(const ScrambledText& copy) {
  // Passing both values through a volatile slot keeps the optimiser from
  // folding base + offset into one address: the key's location must not be
  // a constant or a relocation anywhere in the image.
  volatile std::uintptr_t base_slot = reinterpret_cast<std::uintptr_t>(copy.base);
  volatile std::uint64_t constant_slot = copy.constant;
  const std::uintptr_t base = base_slot;
  const std::uint64_t constant = constant_slot;
  // NOLINTNEXTLINE(performance-no-int-to-ptr): an integer on purpose, as said above
  return reinterpret_cast<const unsigned char*>(base + copy.key_offset(constant));
}

PublisherBytes RestoreText(const ScrambledText& copy) {
  const unsigned char* key = LocateKey(copy);
  PublisherBytes text;
  for (int half = 0; half < 16; half += 8) {
    const std::uint64_t word = LoadWord(copy.scrambled + half) ^ LoadWord(key + half);
    std::memcpy(text.bytes + half, &word, sizeof word);
  }
  return text;
}

}  // namespace wr
