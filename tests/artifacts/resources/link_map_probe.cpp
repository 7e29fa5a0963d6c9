// Links what the product must not: a checked standard-library call, which
// throws even with exceptions off. Its link map shows check_link_map.py
// finding such a member in the map format of the linker at hand.
#include <cstddef>
#include <string_view>

int main(int argc, char** argv) {
  std::string_view name(argv[0]);
  return static_cast<int>(name.substr(static_cast<std::size_t>(argc) * 4096).size());
}
