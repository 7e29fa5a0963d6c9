#include "tests/e2e/support.h"

#include <windows.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cwctype>
#include <fstream>
#include <iterator>
#include <vector>

namespace wr::e2e {
namespace fs = std::filesystem;

std::wstring OwnDir() {
  // Grown until the whole path fits: the kit may be unpacked deep.
  std::wstring path(MAX_PATH, L'\0');
  for (;;) {
    const DWORD n = GetModuleFileNameW(nullptr, path.data(), static_cast<DWORD>(path.size()));
    if (n == 0) return L".";
    if (n < path.size()) {
      path.resize(n);
      break;
    }
    path.resize(path.size() * 2);
  }
  const size_t slash = path.find_last_of(L"\\/");
  return slash == std::wstring::npos ? std::wstring(L".") : path.substr(0, slash);
}

fs::path FreshScratchDir(const std::wstring& name) {
  wchar_t temp[MAX_PATH + 1];
  const DWORD n = GetTempPathW(MAX_PATH + 1, temp);
  fs::path base = n > 0 && n <= MAX_PATH ? fs::path(std::wstring(temp, n)) : fs::path(OwnDir());
  // Windows may give the temporary folder in its 8.3 form (a long user name,
  // or one with spaces); the tests run the program from the full form, as a
  // user starting it from Explorer would.
  wchar_t full[MAX_PATH + 1];
  const DWORD m = GetLongPathNameW(base.c_str(), full, MAX_PATH + 1);
  if (m > 0 && m <= MAX_PATH) base = fs::path(std::wstring(full, m));
  const fs::path dir = base / L"winrepair-tests" / (name + L"-" + std::to_wstring(GetCurrentProcessId()));
  std::error_code ignored;
  fs::remove_all(dir, ignored);
  fs::create_directories(dir);
  return dir;
}

namespace {

bool TryRemove(const fs::path& dir, int attempts) {
  for (int attempt = 0; attempt < attempts; ++attempt) {
    std::error_code ignored;
    fs::remove_all(dir, ignored);
    if (!fs::exists(dir, ignored)) {
      // The shared parent goes too once the last test left it empty.
      fs::remove(dir.parent_path(), ignored);
      return true;
    }
    Sleep(100);
  }
  return false;
}

// Wine can hold a finished program's image open for seconds on a busy
// machine; what a test could not remove is tried again, longer, once all
// tests have run.
class LateRemoval : public ::testing::Environment {
 public:
  static LateRemoval& Get() {
    static LateRemoval* const instance =
        static_cast<LateRemoval*>(::testing::AddGlobalTestEnvironment(new LateRemoval));
    return *instance;
  }
  void Add(const fs::path& dir) { pending_.push_back(dir); }
  void TearDown() override {
    for (const fs::path& dir : pending_) {
      if (!TryRemove(dir, 300)) std::printf("could not remove %s\n", ToUtf8(dir.wstring()).c_str());
    }
    pending_.clear();
  }

 private:
  std::vector<fs::path> pending_;
};

// Registered before any test runs, so its TearDown comes after them all.
[[maybe_unused]] const LateRemoval& kLateRemoval = LateRemoval::Get();

}  // namespace

bool RemoveScratchDir(const fs::path& dir) {
  if (TryRemove(dir, 50)) return true;
  LateRemoval::Get().Add(dir);
  return false;
}

std::string SystemMessage(unsigned long code) {
  wchar_t text[2048];
  const DWORD n = FormatMessageW(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, code, 0, text,
                                 sizeof text / sizeof text[0], nullptr);
  std::wstring message(text, n);
  while (!message.empty() && iswspace(message.back())) message.pop_back();
  return ToUtf8(message);
}

bool UnderWine() { return GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "wine_get_version") != nullptr; }

std::wstring Widen(const std::string& text) {
  if (text.empty()) return {};
  int n = MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
  std::wstring wide(static_cast<size_t>(n), L'\0');
  MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), wide.data(), n);
  return wide;
}

std::string ToUtf8(const std::wstring& text) {
  if (text.empty()) return {};
  int n = WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0, nullptr, nullptr);
  std::string bytes(static_cast<size_t>(n), '\0');
  WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), bytes.data(), n, nullptr, nullptr);
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
  const fs::path source = fs::path(OwnDir()) / L"standin.exe";
  ASSERT_TRUE(CopyFileW(source.c_str(), target.c_str(), FALSE)) << "copy to " << target.string();
}

}  // namespace wr::e2e
