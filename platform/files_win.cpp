// Windows: the file helpers of files.h and files_win.h.
#define WIN32_LEAN_AND_MEAN
#define NOMINMAX
#define NOGDI
#include <windows.h>

#include <string>
#include <vector>

#include "files.h"
#include "files_win.h"
#include "text_win.h"

namespace brisvane::platform {

bool IsDirectory(const std::string& utf8Path) {
  const std::wstring wide = Widen(utf8Path);
  if (wide.empty()) return false;
  const DWORD attributes = GetFileAttributesW(wide.c_str());
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

std::wstring FolderOf(const std::wstring& path) {
  const std::size_t slash = path.find_last_of(L"\\/");
  if (slash == std::wstring::npos) return L".";
  if (slash == 0 || (slash == 2 && path[1] == L':')) return path.substr(0, slash + 1);
  return path.substr(0, slash);
}

HANDLE OpenRealFolder(const std::wstring& folder) {
  // Listing access, not attributes alone: a handle without data access takes
  // no part in sharing. Without delete sharing the folder cannot be renamed
  // or removed while it is held.
  HANDLE handle = CreateFileW(folder.c_str(), FILE_LIST_DIRECTORY | FILE_READ_ATTRIBUTES,
                              FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                              FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
  if (handle == INVALID_HANDLE_VALUE) return handle;
  // Wine shows its links only in the attributes looked up by name, hence the
  // second look.
  BY_HANDLE_FILE_INFORMATION info;
  const bool known = GetFileInformationByHandle(handle, &info) != 0;
  const DWORD byName = GetFileAttributesW(folder.c_str());
  if (!known || (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0 ||
      (info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0 ||
      byName == INVALID_FILE_ATTRIBUTES || (byName & FILE_ATTRIBUTE_REPARSE_POINT) != 0) {
    CloseHandle(handle);
    SetLastError(kReparsePointRefused);
    return INVALID_HANDLE_VALUE;
  }
  return handle;
}

namespace {

// The components of `path`, "/" read as "\"; empty ones (doubled or
// trailing separators) left out.
std::vector<std::wstring> Components(const std::wstring& path) {
  std::vector<std::wstring> parts;
  std::wstring part;
  for (const wchar_t c : path + L"\\") {
    if (c != L'\\' && c != L'/') {
      part += c;
    } else if (!part.empty()) {
      parts.push_back(part);
      part.clear();
    }
  }
  return parts;
}

bool SameName(const std::wstring& a, const std::wstring& b) {
  return CompareStringOrdinal(a.c_str(), static_cast<int>(a.size()), b.c_str(),
                              static_cast<int>(b.size()), TRUE) == CSTR_EQUAL;
}

}  // namespace

bool InsideFolder(const std::wstring& folder, const std::wstring& path,
                  std::vector<std::wstring>* below) {
  const std::vector<std::wstring> outer = Components(folder), inner = Components(path);
  for (const std::vector<std::wstring>* parts : {&outer, &inner}) {
    for (const std::wstring& part : *parts) {
      if (part == L"." || part == L"..") return false;
    }
  }
  if (outer.empty() || inner.size() < outer.size()) return false;
  for (std::size_t i = 0; i < outer.size(); ++i) {
    if (!SameName(outer[i], inner[i])) return false;
  }
  if (below != nullptr) {
    below->assign(inner.begin() + static_cast<std::ptrdiff_t>(outer.size()), inner.end());
  }
  return true;
}

std::wstring FinalPath(HANDLE handle) {
  std::wstring path(MAX_PATH, L'\0');
  for (;;) {
    const DWORD n = GetFinalPathNameByHandleW(handle, &path[0], static_cast<DWORD>(path.size()),
                                              FILE_NAME_NORMALIZED | VOLUME_NAME_DOS);
    if (n == 0) return std::wstring();
    // Too small a buffer: n is the size needed, terminator included.
    if (n < path.size()) {
      path.resize(n);
      return path;
    }
    path.resize(n);
  }
}

std::wstring PathOnVolume(HANDLE handle) {
  std::vector<BYTE> buffer(sizeof(FILE_NAME_INFO) + 32768 * sizeof(wchar_t));
  auto* info = reinterpret_cast<FILE_NAME_INFO*>(buffer.data());
  if (!GetFileInformationByHandleEx(handle, FileNameInfo, info,
                                    static_cast<DWORD>(buffer.size()))) {
    return std::wstring();
  }
  return std::wstring(info->FileName, info->FileNameLength / sizeof(wchar_t));
}

}  // namespace brisvane::platform
