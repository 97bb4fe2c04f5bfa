#include "file_sync.h"

#include <windows.h>
#include <io.h>

#include <cstdio>

namespace bvhttptools {
namespace {

std::wstring Wide(const std::string& utf8) {
  if (utf8.empty()) return std::wstring();
  int n = ::MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()),
                                nullptr, 0);
  if (n <= 0) return std::wstring();
  std::wstring wide(static_cast<size_t>(n), L'\0');
  ::MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), &wide[0], n);
  return wide;
}

}  // namespace

std::FILE* OpenPartFile(const std::string& path) {
  std::wstring wide = Wide(path);
  if (wide.empty()) return nullptr;
  // "N": the handle is not inherited by processes we start later.
  return ::_wfopen(wide.c_str(), L"wbN");
}

// Windows' cache manager already writes behind on its own.
void StartWriteback(std::FILE*) {}

bool SyncFile(std::FILE* file) {
  if (std::fflush(file) != 0) return false;
  HANDLE handle = reinterpret_cast<HANDLE>(::_get_osfhandle(::_fileno(file)));
  return handle != INVALID_HANDLE_VALUE && ::FlushFileBuffers(handle) != 0;
}

bool ReplaceFile(const std::string& from, const std::string& to) {
  std::wstring wfrom = Wide(from), wto = Wide(to);
  if (wfrom.empty() || wto.empty()) return false;
  return ::MoveFileExW(wfrom.c_str(), wto.c_str(),
                       MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH) != 0;
}

void RemoveFile(const std::string& path) {
  std::wstring wide = Wide(path);
  if (!wide.empty()) ::DeleteFileW(wide.c_str());
}

bool IsDirectory(const std::string& path) {
  std::wstring wide = Wide(path);
  if (wide.empty()) return false;
  DWORD attributes = ::GetFileAttributesW(wide.c_str());
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

}  // namespace bvhttptools
