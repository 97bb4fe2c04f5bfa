// Windows back end of the platform layer.
#define WIN32_LEAN_AND_MEAN
#define NOMINMAX
#define NOGDI
#include <windows.h>
#include <objbase.h>
#include <shellapi.h>

#include <fcntl.h>
#include <io.h>
#include <stdio.h>

#include <cstdint>
#include <string>

#include "platform.h"

namespace platform {

namespace {

std::wstring Widen(const std::string& utf8) {
  if (utf8.empty()) return std::wstring();
  const int size = static_cast<int>(utf8.size());
  const int count =
      MultiByteToWideChar(CP_UTF8, 0, utf8.data(), size, nullptr, 0);
  if (count <= 0) return std::wstring();
  std::wstring wide(static_cast<std::size_t>(count), L'\0');
  MultiByteToWideChar(CP_UTF8, 0, utf8.data(), size, &wide[0], count);
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

ProcessHandle ToProcessHandle(HANDLE handle) {
  return handle != nullptr ? reinterpret_cast<ProcessHandle>(handle)
                           : kNoProcess;
}

// Asks the shell to start `file` elevated; `process` (if not null) receives
// the handle to wait on.
int ShellRun(const std::wstring& file, const wchar_t* parameters, int show,
             ProcessHandle* process) {
  SHELLEXECUTEINFOW info;
  ZeroMemory(&info, sizeof(info));
  info.cbSize = sizeof(info);
  // No error box: a failure is the caller's to log, and a modal box left on a
  // worker thread of an unattended upgrade would stall it until someone
  // clicks it away (and can overwrite the last error meanwhile). The
  // elevation prompt itself is not affected. NOASYNC: the shell finishes the
  // launch before returning, since the upgrader exits right after starting
  // the client and the installer is started from a worker thread.
  info.fMask = (process != nullptr ? SEE_MASK_NOCLOSEPROCESS : 0) | SEE_MASK_FLAG_NO_UI |
               SEE_MASK_NOASYNC;
  info.lpVerb = L"runas";
  info.lpFile = file.c_str();
  info.lpParameters = parameters;
  info.nShow = show;
  // The shell may hand the launch to COM objects (file associations, the
  // elevation prompt), and this runs on a worker thread nobody initialised.
  // A thread already in another apartment (RPC_E_CHANGED_MODE) is used as it
  // is and must not be uninitialised.
  const HRESULT com =
      CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED | COINIT_DISABLE_OLE1DDE);
  const int result = ShellExecuteExW(&info) ? 1 : 0;
  const DWORD error = GetLastError();
  if (com == S_OK || com == S_FALSE) CoUninitialize();
  SetLastError(error);
  if (process != nullptr) *process = ToProcessHandle(info.hProcess);
  return result;
}

}  // namespace

GuardHandle CreateSingletonGuard(const std::string& name, bool* alreadyExists) {
  const std::wstring wide = Widen(name);
  HANDLE mutex = CreateMutexW(nullptr, FALSE, wide.c_str());
  const DWORD error = GetLastError();
  if (alreadyExists != nullptr) {
    *alreadyExists = mutex != nullptr && error == ERROR_ALREADY_EXISTS;
  }
  if (mutex == nullptr) return kNoGuard;
  return reinterpret_cast<GuardHandle>(mutex);
}

void ReleaseSingletonGuard(GuardHandle handle) {
  if (handle == kNoGuard) return;
  HANDLE mutex = reinterpret_cast<HANDLE>(handle);
  // The guard was created unowned, so this usually fails; that is harmless.
  ReleaseMutex(mutex);
  CloseHandle(mutex);
}

std::string RuntimeDir() { return std::string(); }

unsigned long LastErrorCode() { return GetLastError(); }

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

int LaunchInstaller(const std::string& path, ProcessHandle* process) {
  *process = kNoProcess;
  return ShellRun(Widen(path), L"/verysilent", SW_HIDE, process);
}

int LaunchScript(const std::string& quotedPath, ProcessHandle* process) {
  *process = kNoProcess;
  return ShellRun(Widen(quotedPath), nullptr, SW_HIDE, process);
}

int LaunchClient(const std::string& path) {
  return ShellRun(Widen(path), nullptr, SW_SHOWNORMAL, nullptr);
}

std::uint32_t WaitForProcess(ProcessHandle process, std::uint32_t timeoutMs) {
  if (process == kNoProcess) {
    SetLastError(ERROR_INVALID_HANDLE);
    return kWaitFailed;
  }
  return WaitForSingleObject(reinterpret_cast<HANDLE>(process), timeoutMs);
}

void CloseProcess(ProcessHandle process) {
  if (process != kNoProcess) CloseHandle(reinterpret_cast<HANDLE>(process));
}

}  // namespace platform
