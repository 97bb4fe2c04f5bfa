// Windows: processes are started through the shell ("runas") and waited on
// through their handles.
#define WIN32_LEAN_AND_MEAN
#define NOMINMAX
#define NOGDI
#include <windows.h>
#include <objbase.h>
#include <shellapi.h>

#include <cstdint>
#include <string>

#include "files_win.h"
#include "processes.h"
#include "text_win.h"

namespace brisvane::platform {

namespace {

// Asks the shell to start `file` elevated; `process` (if not null) receives
// the process to wait on.
int ShellRun(const std::wstring& file, const wchar_t* parameters, int show,
             Process* process, const wchar_t* directory = nullptr) {
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
  info.lpDirectory = directory;
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
  if (process != nullptr && info.hProcess != nullptr) {
    *process = Process(reinterpret_cast<std::intptr_t>(info.hProcess));
  }
  return result;
}

// The shell and the installers it starts expect "C:\..." or "\\server\...",
// not the "\\?\" forms.
std::wstring ShellPath(const std::wstring& held) {
  const std::wstring unc = L"\\\\?\\UNC\\", drive = L"\\\\?\\";
  if (held.compare(0, unc.size(), unc) == 0) return L"\\\\" + held.substr(unc.size());
  if (held.compare(0, drive.size(), drive) == 0) return held.substr(drive.size());
  return held;
}

}  // namespace

int LaunchInstaller(const std::string& path, Process* process) {
  *process = Process();
  return ShellRun(Widen(path), L"/verysilent", SW_HIDE, process);
}

int LaunchHeldInstaller(const HeldFile& file, const std::string&, Process* process,
                        const Folder* workingFolder) {
  *process = Process();
  // A file still open for writing would keep the shell from opening it.
  if (!file.valid() || !file.singleName() || file.writable()) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return 0;
  }
  // The name the held file has now, not the one it was asked for by: the
  // held handle and the caller's held folders keep it from changing until
  // the installer has exited.
  const std::wstring held = ShellPath(FinalPath(reinterpret_cast<HANDLE>(file.native())));
  if (held.empty()) return 0;
  // The folder by the name its held handle has, as the file's.
  std::wstring directory;
  if (workingFolder != nullptr) {
    directory = workingFolder->valid()
                    ? ShellPath(FinalPath(reinterpret_cast<HANDLE>(workingFolder->native())))
                    : std::wstring();
    if (directory.empty()) {
      SetLastError(ERROR_INVALID_PARAMETER);
      return 0;
    }
  }
  return ShellRun(held, L"/verysilent", SW_HIDE, process, directory.empty() ? nullptr : directory.c_str());
}

int LaunchScript(const std::string& path, Process* process) {
  *process = Process();
  // Quoted, as the shell expects a path that may hold spaces.
  return ShellRun(Widen("\"" + path + "\""), nullptr, SW_HIDE, process);
}

int LaunchClient(const std::string& path) {
  return ShellRun(Widen(path), nullptr, SW_SHOWNORMAL, nullptr);
}

std::uint32_t WaitForProcess(const Process& process, std::uint32_t timeoutMs,
                             std::optional<std::uint32_t>* exitCode) {
  if (exitCode != nullptr) exitCode->reset();
  if (!process) {
    SetLastError(ERROR_INVALID_HANDLE);
    return kWaitFailed;
  }
  const HANDLE handle = reinterpret_cast<HANDLE>(process.native());
  const DWORD result = WaitForSingleObject(handle, timeoutMs);
  DWORD code = 0;
  if (result == WAIT_OBJECT_0 && exitCode != nullptr && GetExitCodeProcess(handle, &code)) {
    *exitCode = code;
  }
  return result;
}

void Process::Close() {
  if (native_ == kNone) return;
  const DWORD error = GetLastError();
  CloseHandle(reinterpret_cast<HANDLE>(native_));
  native_ = kNone;
  SetLastError(error);
}

}  // namespace brisvane::platform
