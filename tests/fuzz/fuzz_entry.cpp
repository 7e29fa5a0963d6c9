// The libFuzzer entry point of one target; FUZZ_PROPERTY names its property.
#include <cstdio>
#include <cstdlib>
#include <string>

#include "tests/fuzz/properties.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string broken = wr::fuzz::FUZZ_PROPERTY(data, size);
  if (!broken.empty()) {
    std::fprintf(stderr, "property broken: %s\n", broken.c_str());
    std::abort();
  }
  return 0;
}
