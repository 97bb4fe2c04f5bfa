// Windows back end of StartUpgrade: the upgrader is started through the
// shell with "runas", as its manifest asks, and watched through the process
// handle the shell gives back. A caller without raised rights puts its
// request on that start's command line, which the elevation prompt shows.
#define WIN32_LEAN_AND_MEAN
#define NOMINMAX
#include <windows.h>
#include <objbase.h>
#include <shellapi.h>

#include <atomic>
#include <chrono>
#include <climits>
#include <memory>
#include <string>
#include <vector>

#include "background_call.h"
#include "command_line_quote.h"
#include "last_error.h"
#include "request_protocol.h"
#include "text_win.h"
#include "upgrade_client_backend.h"

namespace brisvane::backend {

namespace {

// One elevated start, shared by the call and the thread that runs it: the
// shell waits for the user's answer to the elevation prompt, which the call
// must not wait for beyond its limit. Whichever of the two comes second to
// `owner` deals with the process: the call takes it, or the thread ends it.
struct ElevatedStart {
  enum Owner : int { kRunning, kAnswered, kAbandoned };
  std::wstring path;
  std::wstring parameters;
  platform::Completion answered;
  std::atomic<int> owner{kRunning};
  HANDLE process = nullptr;  // written before `owner` leaves kRunning
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
  info.lpParameters = start->parameters.empty() ? nullptr : start->parameters.c_str();
  info.nShow = SW_SHOWNORMAL;
  const bool started = ShellExecuteExW(&info) != FALSE && info.hProcess != nullptr;
  const DWORD error = started ? ERROR_SUCCESS : GetLastError();
  if (SUCCEEDED(com)) CoUninitialize();
  start->process = started ? info.hProcess : nullptr;
  start->error = started ? ERROR_SUCCESS : (error != ERROR_SUCCESS ? error : ERROR_FILE_NOT_FOUND);
  int expected = ElevatedStart::kRunning;
  if (!start->owner.compare_exchange_strong(expected, ElevatedStart::kAnswered)) {
    // Answered after the call gave up: nothing will hand this upgrader a
    // URL, so it must not wait as an idle window.
    if (started) {
      TerminateProcess(info.hProcess, ERROR_CANCELLED);
      CloseHandle(info.hProcess);
    }
    return;
  }
  start->answered.Signal();
}

// Waits until the prompt was answered, by `deadline`. False when it was
// not: the call has given the start up, and the thread ends what it brings.
bool AwaitAnswer(ElevatedStart& start, const platform::Deadline& deadline) {
  const int left = deadline.MillisecondsLeft();
  if (start.answered.Wait(std::chrono::milliseconds(left < 0 ? INT_MAX : left))) return true;
  int expected = ElevatedStart::kRunning;
  // Answered just now: the process is the call's after all.
  return !start.owner.compare_exchange_strong(expected, ElevatedStart::kAbandoned);
}

// Longest command line CreateProcess takes, in UTF-16 units with its NUL.
constexpr std::size_t kMaxCommandLine = 32767;

// The parameters the shell puts after the quoted path; false when an
// argument is not UTF-8.
bool Parameters(const std::vector<std::string>& arguments, std::wstring* parameters) {
  std::string line;
  for (const std::string& argument : arguments) {
    if (!line.empty()) line += ' ';
    line += platform::QuoteCommandLineArgument(argument);
  }
  return platform::WidenStrict(line, parameters);
}

// The upgrader's window, made by the process `processId` itself: whatever
// else carries its title, only that one shows this start took its request.
struct OwnWindowSearch {
  DWORD processId = 0;
  bool found = false;
};

BOOL CALLBACK ConsiderOwnWindow(HWND window, LPARAM context) {
  OwnWindowSearch* search = reinterpret_cast<OwnWindowSearch*>(context);
  DWORD owner = 0;
  GetWindowThreadProcessId(window, &owner);
  if (owner != search->processId) return TRUE;
  constexpr std::size_t kTitleLength = sizeof platform::kWindowTitle / sizeof(wchar_t) - 1;
  wchar_t title[kTitleLength + 2];
  // Read without WM_GETTEXT, which a hung window would never answer.
  const int length = InternalGetWindowText(window, title, sizeof title / sizeof title[0]);
  search->found = length == static_cast<int>(kTitleLength) &&
                  std::wstring(title, kTitleLength) == platform::kWindowTitle;
  return search->found ? FALSE : TRUE;
}

}  // namespace

bool PassesRequestOnCommandLine() {
  HANDLE token = nullptr;
  if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token)) return true;
  TOKEN_ELEVATION elevation = {};
  DWORD size = 0;
  const BOOL read = GetTokenInformation(token, TokenElevation, &elevation, sizeof elevation, &size);
  CloseHandle(token);
  // Rights that cannot be read are taken as not raised: the command line
  // reaches the upgrader either way, a message might not.
  return !read || elevation.TokenIsElevated == 0;
}

std::string CommandLineProblem(const std::string& path, const std::vector<std::string>& arguments) {
  std::wstring parameters;
  if (!Parameters(arguments, &parameters)) {
    return "the request is not valid UTF-8, which a command line cannot carry";
  }
  std::wstring program;
  platform::WidenStrict(path, &program);
  // The shell starts "<path>" <parameters>.
  const std::size_t length = program.size() + 3 + parameters.size() + 1;
  if (length > kMaxCommandLine) {
    return "the request is too long for the upgrader's command line (" + std::to_string(length) +
           " characters, at most " + std::to_string(kMaxCommandLine) + ")";
  }
  return std::string();
}

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

StartedUpgrader::Launch StartedUpgrader::Start(const std::string& path,
                                               const std::vector<std::string>& arguments,
                                               const Limit& limit, std::string* reason) {
  auto start = std::make_shared<ElevatedStart>();
  start->path = platform::Widen(path);
  if (!Parameters(arguments, &start->parameters)) {
    *reason = "the upgrader's arguments are not valid UTF-8";
    return Launch::kNotStarted;
  }
  if (!platform::RunDetached([start] { RunElevatedStart(start); })) {
    *reason = "the upgrader could not be started: no thread could be made for the shell";
    return Launch::kNotStarted;
  }
  if (!AwaitAnswer(*start, limit.deadline)) {
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

bool StartedUpgrader::Exited(std::string* how, long long* exitCode) {
  if (exitCode != nullptr) *exitCode = -1;
  if (native_ == -1) return true;
  HANDLE process = reinterpret_cast<HANDLE>(native_);
  if (WaitForSingleObject(process, 0) != WAIT_OBJECT_0) return false;
  DWORD code = 0;
  const bool known = GetExitCodeProcess(process, &code) != FALSE;
  *how = known ? "exit code " + std::to_string(code)
               : "its end is unknown: " + platform::ErrorText(GetLastError());
  if (known && exitCode != nullptr) *exitCode = code;
  return true;
}

bool StartedUpgrader::Serving() {
  if (native_ == -1) return false;
  // The handle keeps the id from going to another process meanwhile.
  OwnWindowSearch search;
  search.processId = GetProcessId(reinterpret_cast<HANDLE>(native_));
  if (search.processId == 0) return false;
  EnumWindows(ConsiderOwnWindow, reinterpret_cast<LPARAM>(&search));
  return search.found;
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
