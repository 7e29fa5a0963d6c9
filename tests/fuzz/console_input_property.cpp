// The standard-input reader against random key sequences on a console.
//
// The keys (letters, Enter, Cyrillic and other BMP characters, characters
// above the BMP as surrogate pairs, Ctrl+Z) reach the reader in console
// reads cut at random places, pairs split across reads included, with reads
// the console aborts (Ctrl+C: no input, ERROR_OPERATION_ABORTED) and empty
// reads in between. The reader is drained with reads of random sizes.
// The model: the bytes delivered are exactly the UTF-8 of the keys, less
// each Ctrl+Z that ended a console read; nothing is lost, repeated or
// reordered, and no surrogate stays held at the end.
#include <cstdint>
#include <deque>
#include <string>
#include <vector>

#include "console/console_reader.h"
#include "tests/fake/fake_system.h"
#include "tests/fuzz/fuzz_input.h"
#include "tests/fuzz/properties.h"

namespace wr::fuzz {
namespace {

constexpr char32_t kCtrlZ = 0x1A;

// Keeps what every console read handed over.
class KeyboardSystem : public testing::FakeSystem {
 public:
  bool ReadConsoleW(Handle console, char16_t* units, Dword count, Dword* read,
                    const ConsoleReadControl* control) override {
    const bool ok = FakeSystem::ReadConsoleW(console, units, count, read, control);
    if (ok && *read > count) return ok;
    if (ok) reads.emplace_back(units, *read);
    return ok;
  }
  std::vector<std::u16string> reads;
};

char32_t PickKey(FuzzInput& in) {
  switch (in.Below(9)) {
    case 0: return kCtrlZ;
    case 1: return in.Chance(2) ? U'\r' : U'\n';
    case 2: return 0x0430 + static_cast<char32_t>(in.Below(32));
    case 3: return 0x4E00 + static_cast<char32_t>(in.Below(0x100));
    case 4:
    case 5: return 0x10000 + static_cast<char32_t>(in.Below(0x10000) * 16 + in.Below(16));
    default: return 0x20 + static_cast<char32_t>(in.Below(0x5F));
  }
}

}  // namespace

std::string CheckConsoleInput(const std::uint8_t* data, std::size_t size) {
  FuzzInput in(data, size);
  // The keys, some repeated many times so long lines come from short inputs.
  std::vector<char32_t> keys;
  const std::size_t runs = in.Below(24);
  for (std::size_t r = 0; r < runs; ++r) {
    const char32_t key = PickKey(in);
    const std::size_t repeat = in.Chance(8) ? 1 + in.Below(2000) : 1;
    keys.insert(keys.end(), repeat, key);
  }
  std::u16string units;
  for (char32_t key : keys) EncodeUtf16Model(key, units);

  KeyboardSystem os;
  const Handle console = os.AddConsole(0x1F7);
  os.SetStd(STD_INPUT_HANDLE, console);
  testing::Device& device = os.device(console);
  // Console lines: cut anywhere, so a pair may be split between two.
  for (std::size_t at = 0; at < units.size();) {
    const std::size_t length = 1 + (in.Chance(4) ? in.Below(6000) : in.Below(8));
    device.console_lines.push_back(units.substr(at, length));
    at += length;
  }
  // Per console read: 0 reads normally, anything else gives no input with
  // that code (995: aborted by Ctrl+C).
  const std::size_t scripted = in.Below(16);
  for (std::size_t i = 0; i < scripted; ++i) {
    const std::size_t pick = in.Below(4);
    device.console_read_errors.push_back(pick < 2 ? 0 : pick == 2 ? ERROR_OPERATION_ABORTED : ERROR_ACCESS_DENIED);
  }

  ConsoleReader reader(os);
  std::string delivered;
  std::vector<std::uint8_t> destination(ConsoleReader::kCapacity + 16);
  for (std::size_t round = 0; round < 4 * units.size() + 1000; ++round) {
    const std::size_t want = in.Chance(4) ? 1 + in.Below(destination.size()) : 1 + in.Below(8);
    Result<std::size_t> r = reader.Read(destination.data(), want);
    if (!r.ok()) return "read failed";
    if (r.value() > want) return "read delivered more than asked";
    delivered.append(reinterpret_cast<const char*>(destination.data()), r.value());
    if (r.value() == 0 && device.console_lines.empty() && device.console_read_errors.empty()) break;
  }

  std::u16string kept;
  for (const std::u16string& read : os.reads) {
    kept += read;
    if (!read.empty() && read.back() == kCtrlZ) kept.pop_back();
  }
  std::u16string typed;
  for (const std::u16string& line : os.reads) typed += line;
  if (typed != units) return "the console reads did not take the keys in order";
  std::string expected;
  for (std::size_t i = 0; i < kept.size(); ++i) {
    char32_t c = kept[i];
    if (c >= 0xD800 && c <= 0xDBFF && i + 1 < kept.size()) {
      c = 0x10000 + ((c - 0xD800) << 10) + (kept[i + 1] - 0xDC00);
      ++i;
    }
    EncodeUtf8Model(c, expected);
  }
  if (delivered != expected) {
    std::size_t at = 0;
    while (at < delivered.size() && at < expected.size() && delivered[at] == expected[at]) ++at;
    return "delivered " + std::to_string(delivered.size()) + " bytes, expected " + std::to_string(expected.size()) +
           ", first difference at " + std::to_string(at);
  }
  if (reader.held_surrogate() != 0) return "a surrogate is still held at the end";
  return "";
}

}  // namespace wr::fuzz
