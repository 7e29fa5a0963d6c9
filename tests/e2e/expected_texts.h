// What the program is expected to write, built independently of the product's
// own text tables so that a slip in either shows up as a mismatch.
#pragma once

#include <string>
#include <string_view>

namespace wr::e2e {

// This file, as a failing comparison names it (the build maps the source
// folder to ".", so the name holds nothing of the build machine).
inline constexpr std::string_view kExpectedTextsFile = __FILE__;

inline constexpr std::string_view kPublisherText = "cubeshot.example";
inline constexpr std::string_view kTitlePrefix = "Утилита восстановления windows от ";
inline constexpr std::string_view kDismCommandText = "DISM /Online /Cleanup-image /Restorehealth";
inline constexpr std::string_view kSfcCommandText = "sfc /scannow";
inline constexpr std::string_view kEscHint = "Если кликнул в окно и всё зависло или пишет \"Выбор\" - нажми ESC!";
inline constexpr std::string_view kToolFailedText = "Встроенное в windows средство устранения неполадок не сработало!";
inline constexpr std::string_view kReinstallText = "В этом случае поможет только переустановка windows";
inline constexpr std::string_view kLaunchFailedText =
    "Не удалось запустить встроенное в windows средство устранения неполадок";
inline constexpr std::string_view kSuccessText = "\n    Отлично! Осталось перезагрузить windows!\n";
inline constexpr std::string_view kStage1Header = "\n\n    1й из 2х этапов: `";
inline constexpr std::string_view kStage2Header = "\n\n    2й из 2х этапов: `";

// The cause and the remedy shown in place of the reinstall line for the DISM
// codes that have them.
inline constexpr std::string_view kRestartCause = "Нужна перезагрузка: Windows ещё не закончила начатые изменения.";
inline constexpr std::string_view kRestartToFinishCause =
    "Первый этап прошёл успешно; чтобы его завершить, нужна перезагрузка.";
inline constexpr std::string_view kRestartAction = "Перезагрузите компьютер и запустите программу снова.";
inline constexpr std::string_view kDiskFullCause = "На системном диске (обычно C:) не хватает свободного места.";
inline constexpr std::string_view kDiskFullAction = "Освободите на нём несколько гигабайт и запустите программу снова.";
inline constexpr std::string_view kDownloadCause = "DISM не смог скачать файлы для восстановления из интернета.";
inline constexpr std::string_view kDownloadAction = "Проверьте подключение к интернету и запустите программу снова.";
inline constexpr std::string_view kOldDismCause =
    "Эта версия DISM не может восстановить систему (так бывает в Windows 7).";
inline constexpr std::string_view kOldDismAction = "Запустите sfc /scannow в командной строке от имени администратора.";
inline constexpr std::string_view kServiceCause = "Прервалась связь DISM со службой обслуживания Windows.";
inline constexpr std::string_view kDiskErrorCause =
    "Windows не может прочитать файл или диск: на диске могут быть ошибки.";
inline constexpr std::string_view kDiskErrorAction =
    "Проверьте диск: chkdsk C: /f в командной строке от имени администратора.";

// The byte lengths the texts are published with; a typo in a Cyrillic letter
// usually changes them.
static_assert(kPublisherText.size() == 16);
static_assert(kTitlePrefix.size() == 57);
static_assert(kDismCommandText.size() == 42);
static_assert(kSfcCommandText.size() == 12);
static_assert(kEscHint.size() == 109);
static_assert(kToolFailedText.size() == 113);
static_assert(kReinstallText.size() == 87);
static_assert(kLaunchFailedText.size() == 127);
static_assert(kSuccessText.size() == 74);
static_assert(kStage1Header.size() == 34 && kStage2Header.size() == 34);
static_assert(kRestartCause.size() == 110 && kRestartAction.size() == 98);
static_assert(kRestartToFinishCause.size() == 125);
static_assert(kDiskFullCause.size() == 105 && kDiskFullAction.size() == 121);
static_assert(kDownloadCause.size() == 105 && kDownloadAction.size() == 116);
static_assert(kOldDismCause.size() == 116 && kOldDismAction.size() == 112);
static_assert(kServiceCause.size() == 90);
static_assert(kDiskErrorCause.size() == 118 && kDiskErrorAction.size() == 122);

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
         "    |   Играй в наши пвп, пве шутеры в кубических вселенных!   |\n" +
         blank + "    '" + rule + "'\n" + "    \n";
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
