#include "file_sync.h"

#include <windows.h>
#include <fcntl.h>
#include <io.h>

#include <cstdint>
#include <cstdio>

#include "files_win.h"
#include "text_win.h"

namespace bvhttptools {

using platform::FolderOf;
using platform::OpenRealFolder;
using platform::Widen;

namespace {

// A virus scanner reads a file right after it is written and keeps others
// from moving it meanwhile; it lets go within a moment.
constexpr ULONGLONG kBusyWaitMs = 5000;
constexpr DWORD kBusyPollMs = 100;

}  // namespace

std::FILE* CreatePartFile(const std::string& path) {
  std::wstring wide = Widen(path);
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
void WriteBehind(std::FILE*, long long, long long) {}

bool SyncFile(std::FILE* file) {
  if (std::fflush(file) != 0) return false;
  HANDLE handle = reinterpret_cast<HANDLE>(::_get_osfhandle(::_fileno(file)));
  return handle != INVALID_HANDLE_VALUE && ::FlushFileBuffers(handle) != 0;
}

bool ReplaceFile(const std::string& from, const std::string& to) {
  std::wstring wfrom = Widen(from), wto = Widen(to);
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
  std::wstring wide = Widen(path);
  if (!wide.empty()) ::DeleteFileW(wide.c_str());
}

}  // namespace bvhttptools
