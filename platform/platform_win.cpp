// Windows back end of the platform layer.
#define WIN32_LEAN_AND_MEAN
#define NOMINMAX
#define NOGDI
#include <windows.h>
#include <objbase.h>
#include <shellapi.h>

#include <share.h>
#include <stdio.h>

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
  // elevation prompt itself is not affected.
  info.fMask = (process != nullptr ? SEE_MASK_NOCLOSEPROCESS : 0) | SEE_MASK_FLAG_NO_UI;
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
  // The wide open takes any path; the narrow one would read the UTF-8 bytes
  // in the ANSI code page and miss folders with non-ASCII names.
  const std::wstring wide = Widen(utf8Path);
  if (wide.empty()) return nullptr;
  // "N": not inheritable from the moment it exists, so a process started by
  // another thread meanwhile cannot inherit it.
  return _wfsopen(wide.c_str(), L"aN", _SH_DENYWR);
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
