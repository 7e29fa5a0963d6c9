// The publisher's 16-byte attribution, kept only as scrambled copies.
#pragma once

#include <cstdint>
#include <string_view>

namespace wr {

struct ScrambledText;  // build-time data, see publisher/scrambled_text.h

// The restored text: 16 bytes in the caller's own buffer, not terminated.
struct PublisherBytes {
  char bytes[16];
  std::string_view view() const { return {bytes, sizeof bytes}; }
};

extern const ScrambledText& kTitleCopy;
extern const ScrambledText& kBannerCopy;

PublisherBytes RestoreText(const ScrambledText& copy);

}  // namespace wr
