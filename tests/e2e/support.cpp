#include "tests/e2e/support.h"

#include <windows.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <iterator>

namespace wr::e2e {
namespace fs = std::filesystem;

std::wstring BuildDir() {
  std::wstring dir = Widen(WR_E2E_BUILD_DIR);
  std::replace(dir.begin(), dir.end(), L'/', L'\\');
  return dir;
}

std::wstring Widen(const std::string& text) {
  if (text.empty()) return {};
  int n = MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
  std::wstring wide(static_cast<size_t>(n), L'\0');
  MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), wide.data(), n);
  return wide;
}

std::string ToUtf8(const std::wstring& text) {
  if (text.empty()) return {};
  int n = WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0,
                              nullptr, nullptr);
  std::string bytes(static_cast<size_t>(n), '\0');
  WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), bytes.data(), n,
                      nullptr, nullptr);
  return bytes;
}

std::string ReadBytes(const fs::path& file) {
  std::ifstream in(file, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void WriteBytes(const fs::path& file, const std::string& bytes) {
  std::ofstream out(file, std::ios::binary | std::ios::trunc);
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

// CopyFileW rather than std::filesystem::copy_file: the MinGW runtime's
// overwrite_existing refuses a target that is already there.
void CopyStandIn(const fs::path& target) {
  const fs::path source = fs::path(BuildDir()) / L"standin.exe";
  ASSERT_TRUE(CopyFileW(source.c_str(), target.c_str(), FALSE)) << "copy to " << target.string();
}

}  // namespace wr::e2e
