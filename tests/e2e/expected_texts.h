// What the program is expected to write, composed the way it prints it.
#pragma once

#include <string>
#include <string_view>

// The texts themselves are written once, in tests/screens/expected_screens.json,
// which the console cases read too; the build turns it into this header.
#include "expected_screens.h"

namespace wr::e2e {

// Where the expected side of a comparison is written, as a failure names it.
inline constexpr std::string_view kExpectedTextsFile = expected::kSource;

using expected::kDiskErrorAction;
using expected::kDiskErrorCause;
using expected::kDiskFullAction;
using expected::kDiskFullCause;
using expected::kDismCommandText;
using expected::kDownloadAction;
using expected::kDownloadCause;
using expected::kEscHint;
using expected::kLaunchFailedText;
using expected::kOldDismAction;
using expected::kOldDismCause;
using expected::kPublisherText;
using expected::kReinstallText;
using expected::kRestartAction;
using expected::kRestartCause;
using expected::kRestartToFinishCause;
using expected::kServiceCause;
using expected::kSfcCommandText;
using expected::kStage1Header;
using expected::kStage2Header;
using expected::kSuccessText;
using expected::kTitlePrefix;
using expected::kToolFailedText;

inline std::string Title() { return std::string(kTitlePrefix) + std::string(kPublisherText); }

// ESC ] 0 ; title BEL.
inline std::string TitleEscape() { return "\x1b]0;" + Title() + "\x07"; }

inline std::string BannerHead() {
  const std::string rule(58, '-');
  const std::string blank = "    |" + std::string(58, ' ') + "|\n";
  return "\n    ." + rule + ".\n" + blank + "    |    " + std::string(kTitlePrefix);
}

inline std::string BannerTail() {
  const std::string rule(58, '-');
  const std::string blank = "    |" + std::string(58, ' ') + "|\n";
  return "    |\n"
         "    |   " +
         std::string(expected::kBannerSlogan) + "   |\n" + blank + "    '" + rule + "'\n" + "    \n";
}

inline std::string Banner() { return BannerHead() + std::string(kPublisherText) + BannerTail(); }

inline std::string Announcement(std::string_view header, std::string_view command) {
  return std::string(header) + std::string(command) + "`\n\n    " + std::string(kEscHint) + "\n\n";
}

inline std::string Stage1() { return Announcement(kStage1Header, kDismCommandText); }
inline std::string Stage2() { return Announcement(kStage2Header, kSfcCommandText); }

inline std::string ToolFailedVerdict() {
  return "\n    " + std::string(kToolFailedText) + "!\n\n    " + std::string(kReinstallText) + "!\n";
}

// The cause and the remedy alone: DISM succeeded, a restart finishes it.
inline std::string AdviceOnlyVerdict(std::string_view cause, std::string_view action) {
  return "\n    " + std::string(cause) + "\n    " + std::string(action) + "\n";
}

// The tool-failed line, then the cause and the remedy instead of the
// reinstall line.
inline std::string AdvisedVerdict(std::string_view cause, std::string_view action) {
  return "\n    " + std::string(kToolFailedText) + "!\n" + AdviceOnlyVerdict(cause, action);
}

inline std::string ReinstallVerdict() { return "\n    " + std::string(kReinstallText) + "\n"; }

inline std::string LaunchFailedVerdict(std::string_view errorText) {
  return "\n    " + std::string(kLaunchFailedText) + ":\n" + std::string(errorText) + "\n\n    " +
         std::string(kReinstallText) + "!\n";
}

// What a stand-in copied as <name>.exe prints when it runs.
inline std::string StandInSaid(std::string_view name) { return "stand-in " + std::string(name) + " ran\n"; }

// A whole run where both stand-ins exit 0.
inline std::string SuccessfulTranscript() {
  return Banner() + Stage1() + StandInSaid("DISM") + Stage2() + StandInSaid("sfc") + std::string(kSuccessText);
}

}  // namespace wr::e2e
