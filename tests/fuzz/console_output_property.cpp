// The standard-output writer against random byte strings and devices.
//
// Random pieces (valid and invalid UTF-8, whole characters cut between one
// piece and the next, lines longer than the buffer) go through Print,
// WriteAll and Flush to a console that takes random partial counts (often
// nothing at all) and fails now and then, or to a byte device with partial
// takes, pending writes and failures. The device's answers are drawn call by
// call, so a short input still puts an odd answer on the write that ends or
// completes a cut character.
// The model keeps the accepted stream: each call adds a prefix of its
// bytes, all of them when it succeeds. After every call:
// - byte device: the bytes on the device followed by the writer's buffer
//   are exactly the accepted stream (nothing lost, repeated or reordered);
// - console: the buffer is the end of the accepted stream, and the screen
//   holds exactly the UTF-16 of the whole, valid characters in the rest of
//   it; a console failure for invalid UTF-8 happens only where no whole
//   valid character starts;
// - with full takes only, after every call the device writes so far and the
//   buffer are exactly the line-buffering model's: a piece with a line feed sends its lines at once (straight
//   from the piece when nothing is held), a piece that does not fit the
//   1024 bytes left flushes first, a piece of 1024 bytes or more goes out
//   unbuffered, a completed line held goes out before text of the next.
#include <cstdint>
#include <string>
#include <vector>

#include "console/console_writer.h"
#include "runtime/io_error.h"
#include "tests/fuzz/fuzz_input.h"
#include "tests/fuzz/properties.h"
#include "tests/unit/fake/fake_system.h"

namespace wr::fuzz {
namespace {

using testing::DeviceStep;

constexpr std::size_t kCapacity = 1024;

// Pieces laid out in rows by hand: clang-format would re-column them.
// clang-format off
const char* const kPieces[] = {
    "a",    "Z",    " ",        "\n",       "\n\n",     "\xD0\xB4", "\xE2\x82\xAC", "\xF0\x9F\x98\x80",
    "\x80", "\xFF", "\xC0\x80", "\xED\xA0\x80", "\xF4\x90\x80\x80", "\xD0", "\xE2", "\xE2\x82", "\xF0\x9F",
    "\xF0\x9F\x98", "\x82", "\x98\x80", "\xB4", "\xE0\x80", "\r",
};
// clang-format on

// Whole characters of each UTF-8 width above one.
const char* const kWholeCharacters[] = {"\xD0\xB4", "\xE2\x82\xAC", "\xF0\x9F\x98\x80"};

// `split_rest` carries the end of a character cut between two pieces: the
// next piece starts with it, so the writer must hold the start of the
// character across calls (and across a flush or a failure in between).
std::string MakePiece(FuzzInput& in, std::string& split_rest) {
  std::string piece = split_rest;
  split_rest.clear();
  const std::size_t parts = in.Below(7);
  for (std::size_t i = 0; i < parts; ++i) {
    if (in.Chance(3)) {
      // A whole character cut anywhere: its first bytes end this piece.
      const std::string whole = kWholeCharacters[in.Below(std::size(kWholeCharacters))];
      const std::size_t cut = 1 + in.Below(whole.size() - 1);
      piece += whole.substr(0, cut);
      split_rest = whole.substr(cut);
      break;
    }
    if (in.Chance(6)) {
      // Runs whose lengths sit on the buffer's and the console chunk's edges.
      constexpr std::size_t kEdges[] = {1,    2,    3,    1020, 1021, 1022, 1023, 1024,
                                        1025, 2048, 4093, 4094, 4095, 4096, 4097};
      piece.append(kEdges[in.Below(std::size(kEdges))], in.Chance(2) ? 'x' : '\n');
      continue;
    }
    const std::string part = kPieces[in.Below(std::size(kPieces))];
    const std::size_t repeat = in.Chance(6) ? 1 + in.Below(2600) : 1;
    for (std::size_t r = 0; r < repeat; ++r) piece += part;
  }
  return piece;
}

// The device writes line buffering gives when every write is taken whole.
class LineModel {
 public:
  void Write(const std::string& piece) {
    const std::size_t last = piece.rfind('\n');
    if (last == std::string::npos) {
      if (!held_.empty() && held_.back() == '\n') Flush();
      Buffer(piece);
      return;
    }
    const std::string lines = piece.substr(0, last + 1);
    if (held_.empty()) {
      writes.push_back(lines);
    } else {
      Buffer(lines);
      Flush();
    }
    Buffer(piece.substr(last + 1));
  }
  void Flush() {
    if (!held_.empty()) writes.push_back(held_);
    held_.clear();
  }
  const std::string& held() const { return held_; }
  std::vector<std::string> writes;

 private:
  void Buffer(const std::string& piece) {
    if (piece.size() > kCapacity - held_.size()) Flush();
    if (piece.size() >= kCapacity) {
      writes.push_back(piece);
    } else {
      held_ += piece;
    }
  }
  std::string held_;
};

bool IsLowHalf(char16_t unit) { return unit >= 0xDC00 && unit <= 0xDFFF; }

bool StartsWithWholeCharacter(const std::string& bytes) {
  char32_t c = 0;
  return WholeSequenceAt(bytes, 0, &c) != 0;
}

std::size_t IncompleteTail(const std::string& bytes) {
  // Start of the last character the stream has not finished, if any: the
  // last lead byte within three bytes of the end, followed only by
  // continuation bytes, and fewer of them than it needs.
  for (std::size_t back = 1; back <= 4 && back <= bytes.size(); ++back) {
    const auto b = static_cast<std::uint8_t>(bytes[bytes.size() - back]);
    if ((b & 0xC0) == 0x80) continue;
    const std::size_t width = b >= 0xF0 ? 4 : b >= 0xE0 ? 3 : b >= 0xC0 ? 2 : 1;
    return width > back ? back : 0;
  }
  return 0;
}

}  // namespace

std::string CheckConsoleOutput(const std::uint8_t* data, std::size_t size) {
  FuzzInput in(data, size);
  testing::FakeSystem os;
  const bool console = in.Chance(2);
  const bool whole_takes = !console && in.Chance(2);
  const Handle device_handle = console ? os.AddConsole() : os.AddFile();
  os.SetStd(STD_OUTPUT_HANDLE, device_handle);
  testing::Device& device = os.device(device_handle);
  // How the device answers its next write; drawn before each call, so the
  // answers meet the writes of the call that follows.
  const auto add_step = [&] {
    const std::size_t pick = in.Below(8);
    if (whole_takes) {
      device.write_script.push_back(pick < 2 ? DeviceStep::Pending() : DeviceStep::Take(static_cast<std::size_t>(-1)));
    } else if (console) {
      // A console may take any part of a write, nothing at all included;
      // the smallest takes are where a character gets cut.
      if (pick < 4) device.write_script.push_back(DeviceStep::Take(in.Chance(2) ? 0 : in.Below(64)));
      else if (pick == 4) device.write_script.push_back(DeviceStep::Fail(in.Chance(2) ? 31 : 5));
      else device.write_script.push_back(DeviceStep::Take(static_cast<std::size_t>(-1)));
    } else {
      if (pick < 3) device.write_script.push_back(DeviceStep::Take(in.Below(64)));
      else if (pick == 3)
        device.write_script.push_back(
            DeviceStep::Status(in.Chance(2) ? STATUS_PIPE_BROKEN : static_cast<NtStatus>(0xC0000022u)));
      else if (pick == 4) device.write_script.push_back(DeviceStep::Pending());
      else device.write_script.push_back(DeviceStep::Take(static_cast<std::size_t>(-1)));
    }
  };

  ConsoleWriter writer(os);
  LineModel lines;
  std::string accepted;         // the accepted stream
  std::size_t held_before = 0;  // console: the buffer's size after the last call
  std::string split_rest;
  const std::size_t calls = 1 + in.Below(10);
  for (std::size_t call = 0; call <= calls; ++call) {
    const bool last = call == calls;
    for (std::size_t n = in.Below(6); n > 0; --n) add_step();
    const std::size_t kind = last ? 2 : in.Below(3);
    std::vector<std::string> pieces;
    if (kind == 0) pieces.push_back(MakePiece(in, split_rest));
    if (kind == 1) {
      for (std::size_t n = in.Below(4); n > 0; --n) pieces.push_back(MakePiece(in, split_rest));
    }
    std::string bytes;
    for (const auto& p : pieces) bytes += p;

    bool ok = true;
    bool non_utf8 = false;
    if (kind == 0) {
      Status s = writer.WriteAll(pieces[0]);
      ok = s.ok();
      non_utf8 =
          !ok && s.error().variant() == IoError::Variant::FixedMessage && &s.error().fixed() == &fixed::kConsoleNonUtf8;
    } else if (kind == 1) {
      try {
        std::vector<std::string_view> views(pieces.begin(), pieces.end());
        switch (views.size()) {
          case 0: writer.Print({}); break;
          case 1: writer.Print({views[0]}); break;
          case 2: writer.Print({views[0], views[1]}); break;
          default: writer.Print({views[0], views[1], views[2]}); break;
        }
      } catch (const testing::FatalStopped&) {
        ok = false;
      }
    } else {
      Status s = writer.Flush();
      ok = s.ok();
      non_utf8 =
          !ok && s.error().variant() == IoError::Variant::FixedMessage && &s.error().fixed() == &fixed::kConsoleNonUtf8;
    }
    if (writer.lock().count() != 0) return "the lock is still held after a call";
    if (whole_takes) {
      for (const auto& p : pieces) lines.Write(p);
      if (kind == 2) lines.Flush();
      if (!ok) return "a device taking everything failed";
      if (device.byte_writes != lines.writes || writer.buffered() != lines.held()) {
        std::string message = "after call " + std::to_string(call) + " device writes";
        for (const auto& w : device.byte_writes) message += " " + std::to_string(w.size());
        message += " and " + std::to_string(writer.buffered().size()) + " held, line buffering gives";
        for (const auto& w : lines.writes) message += " " + std::to_string(w.size());
        return message + " and " + std::to_string(lines.held().size()) + " held";
      }
    }

    const std::string held(writer.buffered());
    if (held.size() > kCapacity) return "buffer holds more than its capacity";
    if (!console) {
      const std::string total = device.bytes + held;
      if (total.compare(0, accepted.size(), accepted) != 0) return "bytes accepted earlier were lost or changed";
      const std::string added = total.substr(accepted.size());
      if (bytes.compare(0, added.size(), added) != 0 || added.size() > bytes.size()) {
        return "device and buffer hold bytes that were never written";
      }
      if (ok && added.size() != bytes.size()) return "a successful call did not take all its bytes";
      accepted = total;
      continue;
    }
    // Console: the accepted stream is the earlier one plus a prefix of this
    // call, the buffer its end; what lies before the buffer was consumed:
    // shown if whole, else held back or dropped as the start of a character.
    // Find the consumed length that fits the screen.
    const std::string stream = accepted + bytes;
    const std::u16string& screen = device.screen;
    std::vector<std::size_t> shown_before(stream.size() + 1, 0);  // units of whole characters ending by p
    std::u16string shown;
    std::size_t first_bad = stream.size();
    for (std::size_t at = 0; at < stream.size();) {
      char32_t c = 0;
      std::size_t width = WholeSequenceAt(stream, at, &c);
      if (width != 0) {
        EncodeUtf16Model(c, shown);
      } else {
        width = 1;
        const auto lead = static_cast<std::uint8_t>(stream[at]);
        const std::size_t needs = lead >= 0xC2 && lead <= 0xDF   ? 2
                                  : lead >= 0xE0 && lead <= 0xEF ? 3
                                  : lead >= 0xF0 && lead <= 0xF4 ? 4
                                                                 : 0;
        if (needs == 0 && first_bad == stream.size()) first_bad = at;
        while (needs != 0 && width + 1 < needs && at + width < stream.size() &&
               (static_cast<std::uint8_t>(stream[at + width]) & 0xC0) == 0x80) {
          ++width;
        }
      }
      for (std::size_t p = at + 1; p <= at + width; ++p) shown_before[p] = shown_before[at];
      shown_before[at + width] = shown.size();
      at += width;
    }
    // A console that stops between the halves of a pair gets the low half
    // in a write of its own, whose outcome is ignored: a low half may be
    // missing after its high half.
    std::size_t covered = 0;
    for (std::size_t i = 0; i < screen.size() || (covered > 0 && covered < shown.size() && IsLowHalf(shown[covered]) &&
                                                  i == screen.size());) {
      if (i < screen.size() && covered < shown.size() && screen[i] == shown[covered]) {
        ++i, ++covered;
      } else if (covered > 0 && covered < shown.size() && IsLowHalf(shown[covered]) && i > 0 &&
                 screen[i - 1] == shown[covered - 1]) {
        ++covered;
      } else {
        return "the screen is not the UTF-16 of the accepted bytes";
      }
    }
    const std::size_t lowest = accepted.size() - held_before;
    std::vector<std::size_t> fits;
    for (std::size_t length = accepted.size() >= held.size() ? accepted.size() - held.size() : 0;
         length + held.size() <= stream.size() && length <= first_bad; ++length) {
      if (length < lowest || shown_before[length] != covered) continue;
      if (stream.compare(length, held.size(), held) != 0) continue;
      if (ok && length + held.size() != stream.size()) continue;
      fits.push_back(length);
    }
    if (fits.empty()) return "no accepted prefix explains the screen and the buffer";
    if (fits.size() > 1) return "";  // which unshown bytes were taken is not observable; stop here
    const std::size_t consumed = fits[0];
    const std::size_t taken = consumed + held.size() - accepted.size();
    if (non_utf8) {
      const std::string done = stream.substr(0, consumed);
      const std::string rest = held.empty() ? bytes.substr(taken) : held;
      const std::size_t open = IncompleteTail(done);
      if (open == 0 && StartsWithWholeCharacter(rest)) return "invalid UTF-8 reported at a whole character";
      char32_t c = 0;
      if (open != 0 && WholeSequenceAt(done.substr(done.size() - open) + rest, 0, &c) != 0) {
        return "invalid UTF-8 reported inside a valid character";
      }
    }
    held_before = held.size();
    std::string before_error = stream.substr(0, consumed + held.size());
    // A failure leaves the start of a character at the end of what was
    // consumed either still waiting for its next byte (the failure was the
    // console's) or dropped (the next byte cannot finish it): then those
    // bytes are gone for good and nothing later can complete them.
    const std::size_t open = IncompleteTail(stream.substr(0, consumed));
    const std::string rest = held.empty() ? bytes.substr(taken) : held;
    if (!ok && open != 0 && !rest.empty()) {
      const std::string started = stream.substr(consumed - open, open) + rest[0];
      const auto lead = static_cast<std::uint8_t>(started[0]);
      const std::size_t needs = lead >= 0xF0 ? 4 : lead >= 0xE0 ? 3 : 2;
      char32_t c = 0;
      const bool continues = (static_cast<std::uint8_t>(rest[0]) & 0xC0) == 0x80 &&
                             (started.size() < needs || WholeSequenceAt(started, 0, &c) == needs);
      if (!continues) before_error.erase(consumed - open, open);
    }
    accepted = before_error;
  }
  return "";
}

}  // namespace wr::fuzz
