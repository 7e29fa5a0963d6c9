// Helpers both end-to-end test programs use: where the build put its
// programs, text conversion and whole-file reads and writes. Plain standard
// types only, so it can be included before or after <windows.h>.
#pragma once

#include <filesystem>
#include <string>

namespace wr::e2e {

// Where the build put winrepair.exe and standin.exe (Windows form).
std::wstring BuildDir();

std::wstring Widen(const std::string& utf8);
std::string ToUtf8(const std::wstring& text);

std::string ReadBytes(const std::filesystem::path& file);
void WriteBytes(const std::filesystem::path& file, const std::string& bytes);

// Copies the stand-in tool to `target` (a gtest assertion fails if it cannot).
void CopyStandIn(const std::filesystem::path& target);

}  // namespace wr::e2e
