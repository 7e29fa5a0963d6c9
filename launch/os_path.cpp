#include "launch/os_path.h"

#include <utility>

#include "launch/path_text.h"
#include "launch/system_text.h"
#include "runtime/utf.h"
#include "runtime/views.h"
#include "runtime/wide_buffer.h"

namespace wr {
namespace {

// Both limits count the terminating zero. Paths above MAX_PATH are left to
// the system as they are; below the legacy directory limit a plain drive or
// UNC path needs no help.
constexpr std::size_t kMaxPath = 260;
constexpr std::size_t kLegacyMaxPath = 248;

constexpr std::u16string_view kVerbatim = u"\\\\?\\";
constexpr std::u16string_view kNtObject = u"\\??\\";
constexpr std::u16string_view kDevice = u"\\\\.\\";
constexpr std::u16string_view kVerbatimUnc = u"\\\\?\\UNC\\";

bool IsAsciiLetter(char16_t unit) { return (unit >= u'a' && unit <= u'z') || (unit >= u'A' && unit <= u'Z'); }

bool StartsWithDriveRoot(std::u16string_view path) {
  return path.size() >= 3 && IsAsciiLetter(path[0]) && path[1] == u':' && path[2] == u'\\';
}

Result<WideText> FullPathOf(System& os, const char16_t* terminated) {
  return FillWideBuffer(os,
                        [&](char16_t* buffer, Dword size) { return os.GetFullPathNameW(terminated, size, buffer); });
}

// A verbatim path can lose its prefix only if the system's own
// normalisation leaves it exactly as it is; otherwise the prefix is what
// keeps it meaning the same thing (trailing dots, "..", reserved names).
Result<WideText> DropPrefixIfExact(System& os, WideText original, std::u16string_view plain) {
  WideText terminated(os);
  AppendView(terminated, plain);
  terminated.Push(0);
  Result<WideText> full = FullPathOf(os, terminated.data());
  if (!full) return std::move(full.error());
  if (View(full.value()) != plain) return original;
  full.value().Push(0);
  return std::move(full.value());
}

}  // namespace

Result<WideText> ToOsPath(System& os, std::u16string_view path) {
  for (char16_t unit : path) {
    if (unit == 0) return IoError::Fixed(fixed::kNulInWinApiString);
  }
  WideText unchanged(os);
  AppendView(unchanged, path);
  unchanged.Push(0);
  if (unchanged.size() > kMaxPath) return unchanged;

  if (path.starts_with(kVerbatim) && StartsWithDriveRoot(Tail(path, kVerbatim.size()))) {
    return DropPrefixIfExact(os, std::move(unchanged), Tail(path, kVerbatim.size()));
  }
  if (path.starts_with(kVerbatimUnc)) {
    WideText plain(os);
    AppendView(plain, u"\\\\");
    AppendView(plain, Tail(path, kVerbatimUnc.size()));
    return DropPrefixIfExact(os, std::move(unchanged), View(plain));
  }
  if (path.starts_with(kVerbatim) || path.starts_with(kNtObject) || path.empty()) return unchanged;

  if (unchanged.size() < kLegacyMaxPath) {
    const bool drive = StartsWithDriveDesignator(path) && (path.size() == 2 || IsPathSeparator(path[2]));
    const bool two_separators = path.size() >= 2 && IsPathSeparator(path[0]) && IsPathSeparator(path[1]);
    if (drive || two_separators) return unchanged;
  }

  Result<WideText> full = FullPathOf(os, unchanged.data());
  if (!full) return std::move(full.error());
  const std::u16string_view absolute = View(full.value());
  WideText out(os);
  if (absolute.size() + 1 >= kLegacyMaxPath) {
    if (StartsWithDriveRoot(absolute)) {
      AppendView(out, kVerbatim);
      AppendView(out, absolute);
    } else if (absolute.starts_with(kDevice)) {
      AppendView(out, kVerbatim);
      AppendView(out, Tail(absolute, kDevice.size()));
    } else if (absolute.starts_with(u"\\\\") && !absolute.starts_with(kVerbatim)) {
      // A UNC path. Verbatim and NT object paths fall through unchanged.
      AppendView(out, kVerbatimUnc);
      AppendView(out, Tail(absolute, 2));
    } else {
      AppendView(out, absolute);
    }
  } else {
    AppendView(out, absolute);
  }
  out.Push(0);
  return out;
}

Result<WideText> ToOsPath(System& os, std::string_view path) {
  WideText wide(os);
  Status converted = AppendSystemText(wide, path);
  if (!converted) return std::move(converted.error());
  return ToOsPath(os, View(wide));
}

}  // namespace wr
