#include "launch/environment_block.h"
#include "runtime/views.h"

#include <cstdint>
#include <utility>

namespace wr {
namespace {

int CompareNames(System& os, std::u16string_view a, std::u16string_view b) {
  const int order =
      os.CompareStringOrdinal(a.data(), static_cast<int>(a.size()), b.data(), static_cast<int>(b.size()), true);
  if (order == CSTR_EQUAL) return 0;
  return order == CSTR_GREATER_THAN ? 1 : -1;
}

// Where `name` is or would go in the sorted entries.
std::size_t Position(System& os, const EnvironmentEntries& entries, std::u16string_view name, bool* found) {
  *found = false;
  std::size_t at = 0;
  for (; at < entries.size(); ++at) {
    const int order = CompareNames(os, name, View(entries[at].name));
    if (order == 0) *found = true;
    if (order <= 0) break;
  }
  return at;
}

void Put(System& os, EnvironmentEntries& entries, std::u16string_view name, std::u16string_view value) {
  bool found = false;
  const std::size_t at = Position(os, entries, name, &found);
  WideText wide_name(os);
  wide_name.Append(name.data(), name.size());
  WideText wide_value(os);
  wide_value.Append(value.data(), value.size());
  if (found) {
    entries[at].name = std::move(wide_name);
    entries[at].value = std::move(wide_value);
    return;
  }
  entries.Push(EnvironmentEntry{std::move(wide_name), std::move(wide_value)});
  for (std::size_t i = entries.size() - 1; i > at; --i) std::swap(entries[i], entries[i - 1]);
}

void Remove(System& os, EnvironmentEntries& entries, std::u16string_view name) {
  bool found = false;
  const std::size_t at = Position(os, entries, name, &found);
  if (!found) return;
  for (std::size_t i = at; i + 1 < entries.size(); ++i) std::swap(entries[i], entries[i + 1]);
  entries.Truncate(entries.size() - 1);
}

bool HoldsZero(std::u16string_view text) {
  for (char16_t unit : text) {
    if (unit == 0) return true;
  }
  return false;
}

}  // namespace

Result<EnvironmentEntries> CaptureEnvironment(System& os, const ToolCommand& command) {
  for (const EnvironmentChange& change : command.environment_changes) {
    if (change.refused != nullptr) return IoError::Fixed(*change.refused);
  }
  EnvironmentEntries entries(os);
  if (!command.environment_cleared) {
    char16_t* block = os.GetEnvironmentStringsW();
    if (block == nullptr) return LastOsError(os);
    for (const char16_t* entry = block; *entry != 0;) {
      std::size_t length = 0;
      while (entry[length] != 0) ++length;
      const std::u16string_view text(entry, length);
      // Search from the second unit: the per-drive current directories
      // ("=C:=C:\work") have names that begin with '='.
      const std::size_t equals = text.find(u'=', 1);
      if (equals != std::u16string_view::npos) {
        Put(os, entries, Head(text, equals), Tail(text, equals + 1));
      }
      entry += length + 1;
    }
    os.FreeEnvironmentStringsW(block);
  }
  for (const EnvironmentChange& change : command.environment_changes) {
    if (change.remove) {
      Remove(os, entries, View(change.name));
    } else {
      Put(os, entries, View(change.name), View(change.value));
    }
  }
  return entries;
}

const EnvironmentEntry* FindEnvironmentEntry(System& os, const EnvironmentEntries& entries, std::u16string_view name) {
  bool found = false;
  const std::size_t at = Position(os, entries, name, &found);
  return found ? &entries[at] : nullptr;
}

Result<WideText> BuildEnvironmentBlock(System& os, const EnvironmentEntries& entries) {
  WideText block(os);
  // An empty block still needs its two zeros: a lone zero would be read as
  // an unterminated first entry.
  if (entries.empty()) block.Push(0);
  for (const EnvironmentEntry& entry : entries) {
    if (HoldsZero(View(entry.name)) || HoldsZero(View(entry.value))) {
      return IoError::Fixed(fixed::kNulInData);
    }
    AppendView(block, View(entry.name));
    block.Push(u'=');
    AppendView(block, View(entry.value));
    block.Push(0);
  }
  block.Push(0);
  return block;
}

}  // namespace wr
