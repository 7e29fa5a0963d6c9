// Replays every committed fuzz input, the seeds and each input that ever
// found a fault, through the same property the fuzz target checks.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
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
  std::size_t seeds = 0;
  for (const Target& target : kTargets) {
    for (const char* kind : {"corpus", "regressions"}) {
      for (const auto& file : FilesIn(root / kind / target.name)) {
        std::ifstream stream(file, std::ios::binary);
        const std::string bytes((std::istreambuf_iterator<char>(stream)), std::istreambuf_iterator<char>());
        const std::string broken =
            target.check(reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size());
        EXPECT_EQ(broken, "") << file;
        if (std::string(kind) == "corpus") ++seeds;
      }
    }
  }
  // Every target has its seeds; an empty folder would make the replay
  // pass without looking at anything.
  EXPECT_GE(seeds, std::size(kTargets));
}

}  // namespace
}  // namespace wr::fuzz
