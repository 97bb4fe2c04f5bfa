// Windows: the log is opened without following links, refused when it or its
// folder is a link or it has other names, and shared with readers only.
#define WIN32_LEAN_AND_MEAN
#define NOMINMAX
#define NOGDI
#include <windows.h>

#include <fcntl.h>
#include <io.h>
#include <stdio.h>

#include <cstdint>
#include <string>

#include "log_file.h"
#include "text_win.h"

namespace platform {

namespace {

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
  HANDLE handle = CreateFileW(folder.c_str(), FILE_READ_ATTRIBUTES,
                              FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                              FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
  if (handle == INVALID_HANDLE_VALUE) return handle;
  BY_HANDLE_FILE_INFORMATION info;
  const bool known = GetFileInformationByHandle(handle, &info) != 0;
  const DWORD byName = GetFileAttributesW(folder.c_str());
  if (!known || (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0 ||
      (info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0 ||
      byName == INVALID_FILE_ATTRIBUTES || (byName & FILE_ATTRIBUTE_REPARSE_POINT) != 0) {
    CloseHandle(handle);
    SetLastError(ERROR_ACCESS_DENIED);
    return INVALID_HANDLE_VALUE;
  }
  return handle;
}

}  // namespace

FILE* OpenSharedLogFile(const std::string& utf8Path) {
  // The wide calls take any path; the narrow ones would read the UTF-8 bytes
  // in the ANSI code page and miss folders with non-ASCII names.
  const std::wstring wide = Widen(utf8Path);
  if (wide.empty()) return nullptr;
  HANDLE folder = OpenRealFolder(FolderOf(wide));
  if (folder == INVALID_HANDLE_VALUE) return nullptr;
  // Append access only: not even this handle can overwrite what the log
  // holds. Readers share it, writers are shut out. Not inheritable from the
  // moment it exists, so a process started by another thread meanwhile
  // cannot inherit it. A link at the name is opened itself, not followed.
  SECURITY_ATTRIBUTES noInherit{sizeof(SECURITY_ATTRIBUTES), nullptr, FALSE};
  HANDLE file = CreateFileW(wide.c_str(), FILE_APPEND_DATA | FILE_READ_ATTRIBUTES | SYNCHRONIZE,
                            FILE_SHARE_READ, &noInherit, OPEN_ALWAYS,
                            FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
  const DWORD error = GetLastError();
  CloseHandle(folder);
  if (file == INVALID_HANDLE_VALUE) {
    SetLastError(error);
    return nullptr;
  }
  // A link, or a file with a second name elsewhere, would send our lines
  // into a file the folder's owner chose.
  BY_HANDLE_FILE_INFORMATION info;
  if (!GetFileInformationByHandle(file, &info) ||
      (info.dwFileAttributes & (FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_DIRECTORY)) != 0 ||
      info.nNumberOfLinks != 1) {
    CloseHandle(file);
    SetLastError(ERROR_ACCESS_DENIED);
    return nullptr;
  }
  // Text mode: lines end in CR LF. _O_APPEND: every write goes to the end.
  const int fd = _open_osfhandle(reinterpret_cast<std::intptr_t>(file),
                                 _O_APPEND | _O_TEXT | _O_WRONLY);
  if (fd == -1) {
    CloseHandle(file);
    return nullptr;
  }
  FILE* stream = _fdopen(fd, "a");
  if (stream == nullptr) _close(fd);  // closes the handle with it
  return stream;
}

}  // namespace platform
