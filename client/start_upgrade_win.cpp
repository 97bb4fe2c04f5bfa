// Windows back end of StartUpgrade: the upgrader is started through the
// shell with "runas", as its manifest asks, and watched through the process
// handle the shell gives back.
#define WIN32_LEAN_AND_MEAN
#define NOMINMAX
#include <windows.h>
#include <objbase.h>
#include <shellapi.h>

#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <string>
#include <system_error>
#include <thread>

#include "last_error.h"
#include "request_protocol.h"
#include "text_win.h"
#include "upgrade_client_backend.h"

namespace brisvane::backend {

namespace {

// One elevated start, shared by the call and the thread that runs it: the
// shell waits for the user's answer to the elevation prompt, which the call
// must not wait for beyond its limit.
struct ElevatedStart {
  std::wstring path;
  std::mutex mutex;
  std::condition_variable changed;
  bool done = false;
  bool abandoned = false;  // the call returned without it
  HANDLE process = nullptr;
  DWORD error = ERROR_SUCCESS;
};

void RunElevatedStart(const std::shared_ptr<ElevatedStart>& start) {
  // The shell may hand the verb to COM objects, which need an apartment.
  const HRESULT com = CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED | COINIT_DISABLE_OLE1DDE);
  SHELLEXECUTEINFOW info = {};
  info.cbSize = sizeof info;
  info.fMask = SEE_MASK_NOCLOSEPROCESS | SEE_MASK_NOASYNC | SEE_MASK_FLAG_NO_UI;
  info.lpVerb = L"runas";
  info.lpFile = start->path.c_str();
  info.nShow = SW_SHOWNORMAL;
  const bool started = ShellExecuteExW(&info) != FALSE && info.hProcess != nullptr;
  const DWORD error = started ? ERROR_SUCCESS : GetLastError();
  if (SUCCEEDED(com)) CoUninitialize();
  const std::lock_guard<std::mutex> lock(start->mutex);
  if (start->abandoned) {
    // Answered after the call gave up: nothing will hand this upgrader a
    // URL, so it must not wait as an idle window.
    if (started) {
      TerminateProcess(info.hProcess, ERROR_CANCELLED);
      CloseHandle(info.hProcess);
    }
    return;
  }
  start->process = started ? info.hProcess : nullptr;
  start->error = started ? ERROR_SUCCESS : (error != ERROR_SUCCESS ? error : ERROR_FILE_NOT_FOUND);
  start->done = true;
  start->changed.notify_all();
}

std::chrono::milliseconds Left(const platform::Deadline& deadline) {
  const int left = deadline.MillisecondsLeft();
  return std::chrono::milliseconds(left < 0 ? INT_MAX : left);
}

}  // namespace

bool GuardHeld() {
  const std::wstring name = platform::Widen(platform::kSingletonGuardName);
  HANDLE mutex = OpenMutexW(SYNCHRONIZE, FALSE, name.c_str());
  if (mutex != nullptr) {
    CloseHandle(mutex);
    return true;
  }
  // An elevated holder's mutex may refuse us, but it is there.
  return GetLastError() == ERROR_ACCESS_DENIED;
}

std::string DefaultUpgraderPath(std::string* reason) {
  std::wstring self(MAX_PATH, L'\0');
  for (;;) {
    const DWORD n = GetModuleFileNameW(nullptr, &self[0], static_cast<DWORD>(self.size()));
    if (n == 0) {
      *reason = "the calling executable's folder is unknown: " + platform::ErrorText(GetLastError());
      return std::string();
    }
    if (n < self.size()) {
      self.resize(n);
      break;
    }
    self.resize(self.size() * 2);
  }
  const std::size_t slash = self.find_last_of(L"\\/");
  return platform::Narrow(self.substr(0, slash + 1) + platform::kUpgraderExecutable);
}

StartedUpgrader::~StartedUpgrader() {
  if (native_ != -1) CloseHandle(reinterpret_cast<HANDLE>(native_));
}

StartedUpgrader::Launch StartedUpgrader::Start(const std::string& path, const Limit& limit,
                                               std::string* reason) {
  auto start = std::make_shared<ElevatedStart>();
  start->path = platform::Widen(path);
  try {
    std::thread([start] { RunElevatedStart(start); }).detach();
  } catch (const std::system_error& error) {
    *reason = std::string("the upgrader could not be started: ") + error.what();
    return Launch::kNotStarted;
  }
  std::unique_lock<std::mutex> lock(start->mutex);
  if (!start->changed.wait_for(lock, Left(limit.deadline), [&] { return start->done; })) {
    start->abandoned = true;
    *reason = "the elevation prompt for the upgrader was not answered within " + limit.text;
    return Launch::kNoAnswer;
  }
  if (start->error == ERROR_CANCELLED) {
    *reason = "the user declined to let the upgrader run with raised rights";
    return Launch::kDeclined;
  }
  if (start->process == nullptr) {
    *reason = "the upgrader " + path + " could not be started: " + platform::ErrorText(start->error);
    return Launch::kNotStarted;
  }
  native_ = reinterpret_cast<std::intptr_t>(start->process);
  return Launch::kStarted;
}

bool StartedUpgrader::Exited(std::string* how) {
  if (native_ == -1) return true;
  HANDLE process = reinterpret_cast<HANDLE>(native_);
  if (WaitForSingleObject(process, 0) != WAIT_OBJECT_0) return false;
  DWORD code = 0;
  *how = GetExitCodeProcess(process, &code) ? "exit code " + std::to_string(code)
                                            : "its end is unknown: " + platform::ErrorText(GetLastError());
  return true;
}

void StartedUpgrader::AwaitExit(const platform::Deadline& deadline) {
  if (native_ == -1) return;
  const int left = deadline.MillisecondsLeft();
  WaitForSingleObject(reinterpret_cast<HANDLE>(native_), left < 0 ? INFINITE : static_cast<DWORD>(left));
}

void StartedUpgrader::Terminate() {
  // It has not listened yet, so it has taken nothing: ending it loses nothing.
  if (native_ != -1) TerminateProcess(reinterpret_cast<HANDLE>(native_), ERROR_CANCELLED);
}

}  // namespace brisvane::backend
