// Windows back end of the client library: the request is a WM_COPYDATA
// message sent to the upgrade window, a withdrawal a registered message of
// its own, and the window procedure's result is the reply.
#define WIN32_LEAN_AND_MEAN
#define NOMINMAX
#define NOGDI
#include <windows.h>

#include <chrono>
#include <climits>
#include <cwchar>
#include <string>

#include "background_call.h"
#include "deadline.h"
#include "last_error.h"
#include "request_protocol.h"
#include "text_win.h"
#include "upgrade_client_backend.h"

namespace brisvane::backend {

namespace {

using platform::kUpgraderExecutable;
using platform::kWindowTitle;
using Status = HandOverResult::Status;

// How often AwaitUpgraderGone looks again when it cannot wait on the process.
constexpr std::chrono::milliseconds kGonePollInterval{20};

constexpr std::size_t kTitleLength = sizeof kWindowTitle / sizeof kWindowTitle[0] - 1;

// True when the process owning `window` runs an executable named
// BrisvaneUpgrade.exe. Limited query rights are granted even for an
// elevated upgrader.
bool OwnedByUpgrader(HWND window) {
  DWORD processId = 0;
  GetWindowThreadProcessId(window, &processId);
  if (processId == 0) return false;
  HANDLE process = OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, processId);
  if (process == nullptr) return false;
  std::wstring image(32768, L'\0');
  DWORD size = static_cast<DWORD>(image.size());
  const BOOL known = QueryFullProcessImageNameW(process, 0, &image[0], &size);
  CloseHandle(process);
  if (!known) return false;
  image.resize(size);
  const std::size_t slash = image.find_last_of(L"\\/");
  const wchar_t* name = image.c_str() + (slash == std::wstring::npos ? 0 : slash + 1);
  return CompareStringOrdinal(name, -1, kUpgraderExecutable, -1, TRUE) == CSTR_EQUAL;
}

struct WindowSearch {
  bool titled = false;   // some window has the upgrader's title
  HWND found = nullptr;  // the first of them that is the upgrader's
};

BOOL CALLBACK ConsiderWindow(HWND window, LPARAM context) {
  WindowSearch* search = reinterpret_cast<WindowSearch*>(context);
  // InternalGetWindowText reads the title without sending WM_GETTEXT, which
  // a hung window of this process would never answer.
  wchar_t title[kTitleLength + 2];
  const int length = InternalGetWindowText(window, title, sizeof title / sizeof title[0]);
  if (length != static_cast<int>(kTitleLength) || wcscmp(title, kWindowTitle) != 0) {
    return TRUE;
  }
  search->titled = true;
  if (!OwnedByUpgrader(window)) return TRUE;
  search->found = window;
  return FALSE;
}

// The upgrader's window, or nullptr with `*reason` filled. Any program may
// title a window "BrisvaneUpgrade" (an Explorer window of a folder of that
// name does): sent there, the request would be lost while the sender
// reports success.
HWND FindUpgraderWindow(std::string* reason) {
  WindowSearch search;
  EnumWindows(ConsiderWindow, reinterpret_cast<LPARAM>(&search));
  if (search.found == nullptr) {
    *reason = search.titled ? "no upgrader is listening: no window titled BrisvaneUpgrade "
                              "belongs to BrisvaneUpgrade.exe"
                            : "no upgrader is listening: no window titled BrisvaneUpgrade";
  }
  return search.found;
}

// What is left of the call's time for SendMessageTimeoutW: at least 1 ms,
// since 0 would not wait at all.
UINT TimeoutLeft(const platform::Deadline& deadline) {
  const int left = deadline.MillisecondsLeft();
  if (left < 0) return UINT_MAX;
  return left > 0 ? static_cast<UINT>(left) : 1;
}

// Sends `message` to `window` and reads the window procedure's result as the
// reply, filling `*result`. `what` names the message in a reason.
void SendToWindow(HWND window, UINT message, LPARAM parameter, const char* what,
                  const Limit& limit, HandOverResult* result, bool* gone) {
  // SendMessageW would wait forever on a hung window and gives no way to tell
  // a refused message (an elevated window filters ours) from a reply of 0.
  DWORD_PTR answer = 0;
  SetLastError(ERROR_SUCCESS);
  if (SendMessageTimeoutW(window, message, 0, parameter, SMTO_NORMAL | SMTO_ABORTIFHUNG,
                          TimeoutLeft(limit.deadline), &answer) != 0) {
    result->status = Status::kReplied;
    result->reply = static_cast<std::int32_t>(answer);
    return;
  }
  const DWORD code = GetLastError();
  if (code == ERROR_TIMEOUT || code == ERROR_SUCCESS) {
    result->reason = "no reply from the upgrade window within " + limit.text;
  } else if (code == ERROR_ACCESS_DENIED) {
    // The system's message filter: an upgrader with raised rights runs,
    // and hears only senders with raised rights.
    result->reason =
        "the upgrade window runs with raised rights and takes requests only from senders "
        "with raised rights; an upgrade may be under way";
  } else {
    // A window destroyed since it was found: its upgrader is going.
    *gone = code == ERROR_INVALID_WINDOW_HANDLE;
    result->reason = std::string("sending ") + what + " to the upgrade window failed: " +
                     platform::ErrorText(code);
  }
}

}  // namespace

HandOverResult Send(const Request& request, const Limit& limit, bool* vanished) {
  HandOverResult result;
  result.status = Status::kFailed;
  bool gone = false;
  HWND window = FindUpgraderWindow(&result.reason);
  if (window == nullptr) {
    result.status = Status::kNoUpgrader;
    if (vanished != nullptr) *vanished = true;
    return result;
  }
  if (request.withdraws) {
    const UINT message = RegisterWindowMessageW(platform::kWithdrawMessageName);
    if (message == 0) {
      result.reason = "the withdrawal message cannot be registered: " +
                      platform::ErrorText(GetLastError());
      return result;
    }
    SendToWindow(window, message, 0, "the withdrawal", limit, &result, &gone);
  } else {
    COPYDATASTRUCT cds;
    cds.dwData = static_cast<ULONG_PTR>(request.requestId);
    cds.cbData = static_cast<DWORD>(request.url.size());
    cds.lpData = request.url.empty() ? nullptr : const_cast<char*>(request.url.data());
    SendToWindow(window, WM_COPYDATA, reinterpret_cast<LPARAM>(&cds), "WM_COPYDATA", limit,
                 &result, &gone);
  }
  if (vanished != nullptr) *vanished = gone;
  return result;
}

bool AwaitUpgraderGone(const platform::Deadline& deadline) {
  std::string why;
  HWND window = FindUpgraderWindow(&why);
  if (window == nullptr) return true;
  DWORD processId = 0;
  GetWindowThreadProcessId(window, &processId);
  // Its process ending is what frees the guard; where the process cannot
  // be opened, the window going is all there is to watch.
  HANDLE process = processId == 0 ? nullptr : OpenProcess(SYNCHRONIZE, FALSE, processId);
  if (process != nullptr) {
    const int left = deadline.MillisecondsLeft();
    const DWORD waited =
        WaitForSingleObject(process, left < 0 ? INFINITE : static_cast<DWORD>(left));
    CloseHandle(process);
    if (waited == WAIT_OBJECT_0) return true;
    return !UpgraderReady(&why);
  }
  for (;;) {
    if (!UpgraderReady(&why)) return true;
    if (deadline.Expired()) return false;
    platform::SleepFor(kGonePollInterval);
  }
}

bool UpgraderReady(std::string* reason) { return FindUpgraderWindow(reason) != nullptr; }

}  // namespace brisvane::backend
