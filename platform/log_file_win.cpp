// Windows: the log is opened relative to its held folder without following
// links, refused when it or its folder is a link or it has other names before
// anything is written, and shared with readers only.
#define WIN32_LEAN_AND_MEAN
#define NOMINMAX
#define NOGDI
#include <windows.h>
#include <winternl.h>

#include <fcntl.h>
#include <io.h>
#include <stdio.h>

#include <cstdint>
#include <string>

#include "files_win.h"
#include "log_file.h"
#include "text_win.h"

namespace brisvane::platform {

namespace {

std::wstring LeafOf(const std::wstring& path) {
  const std::size_t slash = path.find_last_of(L"\\/");
  return slash == std::wstring::npos ? path : path.substr(slash + 1);
}

}  // namespace

FILE* OpenSharedLogFile(const std::string& utf8Path) {
  // The wide calls take any path; the narrow ones would read the UTF-8 bytes
  // in the ANSI code page and miss folders with non-ASCII names.
  const std::wstring wide = Widen(utf8Path);
  if (wide.empty()) return nullptr;
  const std::wstring logs = FolderOf(wide);
  Folder folder;
  if (!folder.Open(Narrow(FolderOf(logs)), {Narrow(LeafOf(logs))}, false)) return nullptr;
  return OpenSharedLogFile(folder, Narrow(LeafOf(wide)));
}

FILE* OpenSharedLogFile(const Folder& folder, const std::string& name) {
  if (!folder.valid() || name.empty() || name == "." || name == ".." ||
      name.find_first_of("\\/:") != std::string::npos) {
    return nullptr;
  }
  // Opened relative to the held folder's handle, never by a full path: the
  // folder cannot be re-pointed while the file is opened in it. Append
  // access only: not even this handle can overwrite what the log holds.
  // Readers share it, writers are shut out. Not inheritable from the moment
  // it exists, so a process started by another thread meanwhile cannot
  // inherit it. A link at the name is opened itself, not followed.
  HANDLE file = OpenInFolder(reinterpret_cast<HANDLE>(folder.native()), Widen(name),
                             {FILE_APPEND_DATA | FILE_READ_ATTRIBUTES, FILE_SHARE_READ,
                              FILE_OPEN_IF, FILE_NON_DIRECTORY_FILE});
  if (file == INVALID_HANDLE_VALUE) return nullptr;
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

}  // namespace brisvane::platform
