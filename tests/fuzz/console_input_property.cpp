// The standard-input reader against random key sequences on a console.
//
// The keys (letters, Enter, Cyrillic and other BMP characters, characters
// above the BMP as surrogate pairs, Ctrl+Z) reach the reader in console
// reads cut at random places, pairs split across reads included, with reads
// the console aborts (Ctrl+C: no input, ERROR_OPERATION_ABORTED) and empty
// reads (with a stale last error now and then) in between. The reader is
// drained with reads of random sizes, like a caller that takes 0 for the
// end of input and then reads on.
// The model, from what each console read handed over: a read's text, less
// a Ctrl+Z that ended it, reaches the caller in order, a surrogate pair cut
// between two reads whole; a read that brings no whole character (empty,
// only Ctrl+Z, only the first half of a pair) is one end of input, a 0; a
// read Ctrl+C aborted is nobody's end of input: it is repeated. So the bytes delivered between the 0s are
// exactly the model's, nothing lost, repeated or reordered, no end of input
// missing or added, and no surrogate stays held at the end.
#include <cstdint>
#include <deque>
#include <string>
#include <vector>

#include "console/console_reader.h"
#include "tests/fuzz/fuzz_input.h"
#include "tests/fuzz/properties.h"
#include "tests/unit/fake/fake_system.h"

namespace wr::fuzz {
namespace {

constexpr char32_t kCtrlZ = 0x1A;

struct ConsoleRead {
  std::u16string units;
  bool aborted = false;  // Ctrl+C ended it: nothing read, ERROR_OPERATION_ABORTED
};

// Keeps what every console read handed over.
class KeyboardSystem : public testing::FakeSystem {
 public:
  bool ReadConsoleW(Handle console, char16_t* units, Dword count, Dword* read,
                    const ConsoleReadControl* control) override {
    const bool ok = FakeSystem::ReadConsoleW(console, units, count, read, control);
    if (ok && *read > count) return ok;
    if (ok) reads.push_back({{units, *read}, *read == 0 && GetLastError() == ERROR_OPERATION_ABORTED});
    return ok;
  }
  std::vector<ConsoleRead> reads;
};

bool IsHigh(char16_t unit) { return unit >= 0xD800 && unit <= 0xDBFF; }

// What a caller reading until each 0 gets: the text between the ends of
// input, each end closing one entry.
std::vector<std::string> ModelSessions(const std::vector<ConsoleRead>& reads, char16_t& held) {
  std::vector<std::string> sessions(1);
  held = 0;
  for (const ConsoleRead& read : reads) {
    if (read.aborted) continue;
    std::u16string text;
    if (held != 0) text += held;
    held = 0;
    text += read.units;
    if (!read.units.empty() && read.units.back() == kCtrlZ) text.pop_back();
    if (!text.empty() && IsHigh(text.back())) {
      held = text.back();
      text.pop_back();
    }
    if (text.empty()) {
      sessions.emplace_back();
      continue;
    }
    for (std::size_t i = 0; i < text.size(); ++i) {
      char32_t c = text[i];
      if (IsHigh(text[i]) && i + 1 < text.size()) {
        c = 0x10000 + ((c - 0xD800) << 10) + (text[i + 1] - 0xDC00);
        ++i;
      }
      EncodeUtf8Model(c, sessions.back());
    }
  }
  return sessions;
}

std::size_t ClosingCode(FuzzInput& in) {
  switch (in.Below(8)) {
    case 0: return ERROR_OPERATION_ABORTED;
    case 1: return ERROR_ACCESS_DENIED;  // an empty read that leaves a stale last error
    default: return 0;
  }
}

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
  // Console lines: cut anywhere, so a pair may be split between two. Per
  // console read, in order: 0 reads normally, anything else gives no input
  // with that code (995: aborted by Ctrl+C). Drawn line by line, so that a
  // short input still puts an odd read between two lines.
  for (std::size_t at = 0; at < units.size();) {
    const std::size_t length = 1 + (in.Chance(4) ? in.Below(6000) : in.Below(8));
    device.console_lines.push_back(units.substr(at, length));
    at += length;
    const std::size_t code = ClosingCode(in);
    if (code != 0) device.console_read_errors.push_back(static_cast<Dword>(code));
    device.console_read_errors.push_back(0);
  }
  for (std::size_t n = in.Below(3); n > 0; --n)
    device.console_read_errors.push_back(static_cast<Dword>(ClosingCode(in)));

  ConsoleReader reader(os);
  std::vector<std::string> delivered(1);
  std::vector<std::uint8_t> destination(ConsoleReader::kCapacity + 16);
  bool drained = false;
  for (std::size_t round = 0; round < 8 * units.size() + 1000 && !drained; ++round) {
    const std::size_t want = in.Chance(4) ? 1 + in.Below(destination.size()) : 1 + in.Below(8);
    Result<std::size_t> r = reader.Read(destination.data(), want);
    if (!r.ok()) return "read failed";
    if (r.value() > want) return "read delivered more than asked";
    if (r.value() == 0) {
      delivered.emplace_back();
      drained = device.console_lines.empty() && device.console_read_errors.empty();
      continue;
    }
    delivered.back().append(reinterpret_cast<const char*>(destination.data()), r.value());
  }
  if (!drained) return "the reader never reached the end of the keys";

  std::u16string typed;
  for (const ConsoleRead& read : os.reads) typed += read.units;
  if (typed != units) return "the console reads did not take the keys in order";
  char16_t held = 0;
  const std::vector<std::string> expected = ModelSessions(os.reads, held);
  for (std::size_t i = 0; i < delivered.size() || i < expected.size(); ++i) {
    if (i >= delivered.size() || i >= expected.size()) {
      return "the reader ended input " + std::to_string(delivered.size() - 1) + " times, expected " +
             std::to_string(expected.size() - 1);
    }
    if (delivered[i] != expected[i]) {
      std::size_t at = 0;
      while (at < delivered[i].size() && at < expected[i].size() && delivered[i][at] == expected[i][at]) ++at;
      return "before end of input " + std::to_string(i) + ": delivered " + std::to_string(delivered[i].size()) +
             " bytes, expected " + std::to_string(expected[i].size()) + ", first difference at " + std::to_string(at);
    }
  }
  if (reader.held_surrogate() != 0 || held != 0) return "a surrogate is still held at the end";
  return "";
}

}  // namespace wr::fuzz
