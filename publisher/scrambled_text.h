// How a scrambled copy of the publisher text finds its key.
#pragma once

#include <cstdint>

#include "publisher/publisher.h"

namespace wr {

// The copy's own mixing step: turns its constant into the key's offset from
// the base address. Always below 65536.
using KeyOffsetStep = std::uint16_t (*)(std::uint64_t constant);

struct ScrambledText {
  unsigned char scrambled[16];
  // Start of the block of noise the key hides in; the key itself is never
  // pointed at.
  const unsigned char* base;
  std::uint64_t constant;
  KeyOffsetStep key_offset;
};

// Where the copy's 16-byte key lies. Worked out afresh on every call.
const unsigned char* LocateKey(const ScrambledText& copy);

}  // namespace wr
