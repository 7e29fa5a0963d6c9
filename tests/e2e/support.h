// Helpers both end-to-end test programs use: where their companion programs
// are, where they may work, text conversion and whole-file reads and writes. Plain standard
// types only, so it can be included before or after <windows.h>.
#pragma once

#include <filesystem>
#include <string>

namespace wr::e2e {

// The folder this test program was started from. Its companions
// (winrepair.exe, standin.exe, fatal_probe.exe) lie beside it, in the build
// tree as in the unpacked test kit, so nothing of the build machine is
// compiled in.
std::wstring OwnDir();

// A fresh, empty folder for one test under the user's temporary folder
// (%TEMP%), named after `name` and this process. The caller removes it.
std::filesystem::path FreshScratchDir(const std::wstring& name);

// Removes a scratch folder, waiting out images the system still holds open
// for a moment after their process ended. False if it is still there; then
// it is tried again, for longer, after the last test.
bool RemoveScratchDir(const std::filesystem::path& dir);

// The system's own text for an error code, as the program shows it: in the
// user's language, with the line break at its end trimmed. Asked of the
// running system, so the tests hold on any Windows and under Wine alike.
std::string SystemMessage(unsigned long code);

// Whether this is Wine rather than Windows: its ntdll exports its version.
bool UnderWine();

std::wstring Widen(const std::string& utf8);
std::string ToUtf8(const std::wstring& text);

std::string ReadBytes(const std::filesystem::path& file);
void WriteBytes(const std::filesystem::path& file, const std::string& bytes);

// Copies the stand-in tool to `target` (a gtest assertion fails if it cannot).
void CopyStandIn(const std::filesystem::path& target);

}  // namespace wr::e2e
