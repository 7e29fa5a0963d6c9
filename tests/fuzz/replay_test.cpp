// Replays every committed fuzz input, the seeds and each input that ever
// found a fault, through the same property the fuzz target checks.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <string_view>
#include <vector>

#include "tests/fuzz/properties.h"

namespace wr::fuzz {
namespace {

std::vector<std::filesystem::path> FilesIn(const std::filesystem::path& folder) {
  std::vector<std::filesystem::path> files;
  if (!std::filesystem::is_directory(folder)) return files;
  for (const auto& entry : std::filesystem::directory_iterator(folder)) {
    if (entry.is_regular_file()) files.push_back(entry.path());
  }
  std::sort(files.begin(), files.end());
  return files;
}

TEST(FuzzReplay, CommittedInputsKeepTheirProperties) {
  const std::filesystem::path root = WINREPAIR_FUZZ_INPUTS;
  for (const Target& target : kTargets) {
    std::size_t seeds = 0;
    for (const char* kind : {"corpus", "regressions"}) {
      for (const auto& file : FilesIn(root / kind / target.name)) {
        std::ifstream stream(file, std::ios::binary);
        const std::string bytes((std::istreambuf_iterator<char>(stream)), std::istreambuf_iterator<char>());
        const std::string broken = target.check(reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size());
        EXPECT_EQ(broken, "") << file;
        if (std::string_view(kind) == "corpus") ++seeds;
      }
    }
    // An empty or misnamed folder would let the replay pass without
    // looking at anything.
    EXPECT_GT(seeds, 0u) << target.name;
  }
}

}  // namespace
}  // namespace wr::fuzz
