// The properties the fuzz targets check, one per area. Each takes the
// fuzzer's bytes, runs the product code against the fake system and an
// independent model, and returns an empty string when the property holds,
// otherwise what broke. The fuzz entry points and the replay of committed
// inputs in the unit tests call the same functions.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace wr::fuzz {

std::string CheckConsoleOutput(const std::uint8_t* data, std::size_t size);
std::string CheckCommandLine(const std::uint8_t* data, std::size_t size);
std::string CheckSearchPath(const std::uint8_t* data, std::size_t size);
std::string CheckErrorText(const std::uint8_t* data, std::size_t size);
std::string CheckConsoleInput(const std::uint8_t* data, std::size_t size);

using Property = std::string (*)(const std::uint8_t*, std::size_t);

struct Target {
  const char* name;  // also the folder of its corpus and regression inputs
  Property check;
};

inline constexpr Target kTargets[] = {
    {"console_output", CheckConsoleOutput}, {"command_line", CheckCommandLine},   {"search_path", CheckSearchPath},
    {"error_text", CheckErrorText},         {"console_input", CheckConsoleInput},
};

}  // namespace wr::fuzz
