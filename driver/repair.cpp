#include "driver/repair.h"

#include <cstring>
#include <new>

#include "console/console_reader.h"
#include "console/console_writer.h"
#include "console/terminal.h"
#include "console/type_ahead.h"
#include "driver/advice.h"
#include "driver/texts.h"
#include "driver/verdict.h"
#include "launch/launcher.h"
#include "publisher/publisher.h"
#include "runtime/io_error.h"

namespace wr {

// The programs this process starts with administrator rights: built by the
// compiler into read-only memory, never by code at start-up.
constexpr RepairStage kRepairStages[2] = {
    {texts::kStage1Header, texts::kDismCommandText, "DISM", {"/Online", "/Cleanup-image", "/Restorehealth"}, 3},
    {texts::kStage2Header, texts::kSfcCommandText, "sfc", {"/scannow", {}, {}}, 1},
};

namespace {

void PrintAnnouncement(ConsoleWriter& out, const RepairStage& stage) {
  out.Print({stage.header, stage.command_text, texts::kAnnouncementMiddle, texts::kEscHint, texts::kAnnouncementEnd});
}

void PrintToolFailed(ConsoleWriter& out) {
  out.Print({texts::kVerdictStart, texts::kToolFailedText, texts::kToolFailedMiddle, texts::kReinstallText,
             texts::kExclaimedLineEnd});
}

// The tool-failed line stays; the reinstall line gives way to the cause and
// the remedy.
void PrintToolFailedWithAdvice(ConsoleWriter& out, const DismAdvice& advice) {
  out.Print({texts::kVerdictStart, texts::kToolFailedText, texts::kToolFailedMiddle, advice.cause, texts::kAdviceMiddle,
             advice.action, texts::kLineEnd});
}

// Nothing failed: the cause and the remedy are the whole verdict.
void PrintAdviceOnly(ConsoleWriter& out, const DismAdvice& advice) {
  out.Print({texts::kVerdictStart, advice.cause, texts::kAdviceMiddle, advice.action, texts::kLineEnd});
}

void PrintReinstallOnly(ConsoleWriter& out) {
  out.Print({texts::kVerdictStart, texts::kReinstallText, texts::kLineEnd});
}

void PrintLaunchFailed(System& os, ConsoleWriter& out, const IoError& error) {
  out.PrintComposed([&](TextSink& sink) {
    sink.Append(texts::kVerdictStart) && sink.Append(texts::kLaunchFailedText) &&
        sink.Append(texts::kLaunchFailedColon) && DisplayText(os, error, sink) && sink.Append(texts::kAfterErrorText) &&
        sink.Append(texts::kReinstallText) && sink.Append(texts::kExclaimedLineEnd);
  });
}

// Runs one stage to its verdict. The command and the child are released
// before this returns, whatever happened.
Verdict RunStage(System& os, ConsoleWriter& out, int number, const RepairStage& stage) {
  PrintAnnouncement(out, stage);
  ToolCommand command = NewCommand(os, stage.program);
  for (int i = 0; i < stage.argument_count; ++i) AddArgument(command, stage.arguments[i]);

  Result<ChildProcess> child = StartTool(os, command);
  if (!child.ok()) {
    PrintLaunchFailed(os, out, child.error());
    ReleaseCommand(command);
    return Verdict::LaunchFailed;
  }
  Result<Dword> exit_code = WaitForExit(os, child.value());
  if (!exit_code.ok()) os.FatalStop();
  const Verdict verdict = VerdictForExit(number, exit_code.value());
  switch (verdict) {
    case Verdict::ToolFailed: PrintToolFailed(out); break;
    case Verdict::ToolFailedWithAdvice: PrintToolFailedWithAdvice(out, *FindDismAdvice(exit_code.value())); break;
    case Verdict::RestartToFinish: PrintAdviceOnly(out, *FindDismAdvice(exit_code.value())); break;
    case Verdict::ReinstallOnly: PrintReinstallOnly(out); break;
    case Verdict::Success: out.Print({texts::kSuccessText}); break;
    case Verdict::NextStage:
    case Verdict::LaunchFailed: break;
  }
  ReleaseChild(os, child.value());
  ReleaseCommand(command);
  return verdict;
}

// Waits until the user ends a line after the verdict. An Enter pressed while
// a tool ran (people press it when the progress seems stuck) would otherwise
// end the wait the instant the verdict appears, before anyone can read it.
// Whatever the read brings (a byte, end of input or an error) only ends the
// wait.
void FinalPause(System& os, ConsoleReader& input) {
  DiscardTypeAhead(os);
  std::uint8_t key = 0;
  Result<std::size_t> ignored = input.Read(&key, 1);
  (void)ignored;
}

}  // namespace

void RunRepair(System& os, RepairConsole& console) {
  ConsoleWriter& out = console.Output();

  {
    const PublisherBytes publisher = RestoreText(kTitleCopy);
    char title[texts::kTitlePrefix.size() + texts::kPublisherTextSize];
    std::memcpy(title, texts::kTitlePrefix.data(), texts::kTitlePrefix.size());
    std::memcpy(title + texts::kTitlePrefix.size(), publisher.bytes, texts::kPublisherTextSize);
    SetWindowTitle(os, console.Terminal(), out, std::string_view(title, sizeof title));
  }
  {
    const PublisherBytes publisher = RestoreText(kBannerCopy);
    out.Print({texts::kBannerHead, publisher.view(), texts::kBannerTail});
  }

  if (RunStage(os, out, 1, kRepairStages[0]) == Verdict::NextStage) RunStage(os, out, 2, kRepairStages[1]);

  FinalPause(os, console.Input());
}

namespace {

class ProcessWideConsole final : public RepairConsole {
 public:
  explicit ProcessWideConsole(System& os) : os_(os) {}
  ConsoleWriter& Output() override { return StandardOutput(os_); }
  TerminalState& Terminal() override { return ProcessTerminal(); }
  ConsoleReader& Input() override { return StandardInput(os_); }

 private:
  System& os_;
};

alignas(ProcessWideConsole) unsigned char g_console_storage[sizeof(ProcessWideConsole)];

}  // namespace

RepairConsole& ProcessConsole(System& os) {
  // Only main calls this, once, on the only thread.
  return *new (g_console_storage) ProcessWideConsole(os);
}

}  // namespace wr
