// Windows: the local application data known folder, as Qt's QStandardPaths
// finds it.
#define WIN32_LEAN_AND_MEAN
#define NOMINMAX
#define NOGDI
#include <windows.h>
#include <shlobj.h>

#include <cstdio>
#include <string>

#include "data_dir.h"
#include "text_win.h"

namespace brisvane::platform {

namespace {

// FOLDERID_LocalAppData, spelt out so that linking needs no uuid library.
constexpr GUID kLocalAppData = {
    0xF1B32785, 0x6FBA, 0x4FCF, {0x9D, 0x55, 0x7B, 0x8E, 0x7F, 0x15, 0x70, 0x91}};

}  // namespace

std::string UpgraderDataFile(const std::string& name, std::string* reason) {
  PWSTR path = nullptr;
  // Not verified, as Qt asks: the folder need not exist yet.
  const HRESULT result = SHGetKnownFolderPath(kLocalAppData, KF_FLAG_DONT_VERIFY, nullptr, &path);
  std::wstring folder;
  if (SUCCEEDED(result) && path != nullptr) folder = path;
  CoTaskMemFree(path);
  const std::string base = Narrow(folder);
  if (base.empty()) {
    char code[16];
    std::snprintf(code, sizeof code, "0x%08lX", static_cast<unsigned long>(result));
    *reason = std::string("the system names no local application data folder (") + code + ")";
    return std::string();
  }
  return base + "\\" + kOrganizationName + "\\" + kApplicationName + "\\" + name;
}

}  // namespace brisvane::platform
