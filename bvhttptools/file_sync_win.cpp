#include "file_sync.h"

#include <windows.h>
#include <fcntl.h>
#include <io.h>

#include <cstdint>
#include <cstdio>

namespace bvhttptools {
namespace {

// A virus scanner reads a file right after it is written and keeps others
// from moving it meanwhile; it lets go within a moment.
constexpr ULONGLONG kBusyWaitMs = 5000;
constexpr DWORD kBusyPollMs = 100;

std::wstring Wide(const std::string& utf8) {
  if (utf8.empty()) return std::wstring();
  int n = ::MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()),
                                nullptr, 0);
  if (n <= 0) return std::wstring();
  std::wstring wide(static_cast<size_t>(n), L'\0');
  ::MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), &wide[0], n);
  return wide;
}

// The folder holding `path`; a drive's root keeps its backslash, since "C:"
// alone means the current folder of drive C.
std::wstring FolderOf(const std::wstring& path) {
  const std::size_t slash = path.find_last_of(L"\\/");
  if (slash == std::wstring::npos) return L".";
  if (slash == 0 || (slash == 2 && path[1] == L':')) return path.substr(0, slash + 1);
  return path.substr(0, slash);
}

// Opens the folder itself, not what a link standing in its place leads to,
// and refuses it when it is a link, a junction or no folder at all. The
// handle shares no delete access, so the folder cannot be renamed away and
// replaced by a junction while the caller works in it; the caller closes it.
// Wine shows its links only in the attributes looked up by name, hence the
// second look.
HANDLE OpenRealFolder(const std::wstring& folder) {
  HANDLE handle = ::CreateFileW(folder.c_str(), FILE_READ_ATTRIBUTES,
                                FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                                FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT,
                                nullptr);
  if (handle == INVALID_HANDLE_VALUE) return handle;
  BY_HANDLE_FILE_INFORMATION info;
  const bool known = ::GetFileInformationByHandle(handle, &info) != 0;
  const DWORD byName = ::GetFileAttributesW(folder.c_str());
  if (!known || (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0 ||
      (info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0 ||
      byName == INVALID_FILE_ATTRIBUTES || (byName & FILE_ATTRIBUTE_REPARSE_POINT) != 0) {
    ::CloseHandle(handle);
    ::SetLastError(ERROR_ACCESS_DENIED);
    return INVALID_HANDLE_VALUE;
  }
  return handle;
}

}  // namespace

std::FILE* CreatePartFile(const std::string& path) {
  std::wstring wide = Wide(path);
  if (wide.empty()) return nullptr;
  HANDLE folder = OpenRealFolder(FolderOf(wide));
  if (folder == INVALID_HANDLE_VALUE) return nullptr;
  // DeleteFileW removes a link itself, never its target. Whatever stands at
  // the name afterwards makes CREATE_NEW fail rather than be reused.
  ::DeleteFileW(wide.c_str());
  SECURITY_ATTRIBUTES noInherit{sizeof(SECURITY_ATTRIBUTES), nullptr, FALSE};
  HANDLE file = ::CreateFileW(wide.c_str(), GENERIC_WRITE, FILE_SHARE_READ, &noInherit,
                              CREATE_NEW, FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT,
                              nullptr);
  const DWORD error = ::GetLastError();
  ::CloseHandle(folder);
  if (file == INVALID_HANDLE_VALUE) {
    ::SetLastError(error);
    return nullptr;
  }
  const int fd = ::_open_osfhandle(reinterpret_cast<std::intptr_t>(file), _O_WRONLY | _O_BINARY);
  if (fd == -1) {
    ::CloseHandle(file);
    return nullptr;
  }
  std::FILE* stream = ::_fdopen(fd, "wb");
  if (stream == nullptr) ::_close(fd);  // closes the handle with it
  return stream;
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
  const ULONGLONG deadline = ::GetTickCount64() + kBusyWaitMs;
  for (;;) {
    if (::MoveFileExW(wfrom.c_str(), wto.c_str(),
                      MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH) != 0) {
      return true;
    }
    const DWORD error = ::GetLastError();
    if ((error != ERROR_SHARING_VIOLATION && error != ERROR_ACCESS_DENIED) ||
        ::GetTickCount64() >= deadline) {
      ::SetLastError(error);
      return false;
    }
    ::Sleep(kBusyPollMs);
  }
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
