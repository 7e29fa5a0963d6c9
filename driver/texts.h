// Every text the program shows. UTF-8, lines ended by a bare line feed.
#pragma once

#include <string_view>

namespace wr::texts {

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

// The advice that replaces the reinstall line when DISM's exit code names a
// cause with a simpler remedy (driver/advice.cpp). Straight quotes only: the
// raster font of a Windows 7 console has no guillemets. These lines are the
// program's own, not the fixed texts above, and write Windows as Windows
// itself does, with a capital W.
inline constexpr std::string_view kRestartCause = "Нужна перезагрузка: Windows ещё не закончила начатые изменения.";
inline constexpr std::string_view kRestartAction = "Перезагрузите компьютер и запустите программу снова.";
// DISM succeeded and only the restart is left: shown alone, with the restart
// action, in place of the tool-failed verdict.
inline constexpr std::string_view kRestartToFinishCause =
    "Первый этап прошёл успешно; чтобы его завершить, нужна перезагрузка.";
inline constexpr std::string_view kDiskFullCause = "На системном диске (обычно C:) не хватает свободного места.";
inline constexpr std::string_view kDiskFullAction = "Освободите на нём несколько гигабайт и запустите программу снова.";
inline constexpr std::string_view kDownloadCause = "DISM не смог скачать файлы для восстановления из интернета.";
inline constexpr std::string_view kDownloadAction = "Проверьте подключение к интернету и запустите программу снова.";
inline constexpr std::string_view kOldDismCause =
    "Эта версия DISM не может восстановить систему (так бывает в Windows 7).";
inline constexpr std::string_view kOldDismAction = "Запустите sfc /scannow в командной строке от имени администратора.";
inline constexpr std::string_view kServiceCause = "Прервалась связь DISM со службой обслуживания Windows.";
inline constexpr std::string_view kServiceAction = kRestartAction;
inline constexpr std::string_view kDiskErrorCause =
    "Windows не может прочитать файл или диск: на диске могут быть ошибки.";
inline constexpr std::string_view kDiskErrorAction =
    "Проверьте диск: chkdsk C: /f в командной строке от имени администратора.";

// The banner around the publisher text: eight lines, the box 64 columns
// wide when the publisher text is 16 one-byte characters.
inline constexpr std::string_view kBannerHead =
    "\n"
    "    .----------------------------------------------------------.\n"
    "    |                                                          |\n"
    "    |    Утилита восстановления windows от ";
inline constexpr std::string_view kBannerTail =
    "    |\n"
    "    |   Играй в наши пвп, пве шутеры в кубических вселенных!   |\n"
    "    |                                                          |\n"
    "    '----------------------------------------------------------'\n"
    "    \n";

// Glue between the pieces of the stage announcement and the verdicts.
inline constexpr std::string_view kAnnouncementMiddle = "`\n\n    ";
inline constexpr std::string_view kAnnouncementEnd = "\n\n";
inline constexpr std::string_view kVerdictStart = "\n    ";
inline constexpr std::string_view kToolFailedMiddle = "!\n\n    ";
inline constexpr std::string_view kAdviceMiddle = "\n    ";
inline constexpr std::string_view kExclaimedLineEnd = "!\n";
inline constexpr std::string_view kLineEnd = "\n";
inline constexpr std::string_view kLaunchFailedColon = ":\n";
inline constexpr std::string_view kAfterErrorText = "\n\n    ";

inline constexpr std::size_t kPublisherTextSize = 16;

}  // namespace wr::texts
