// Windows back end of the upgrade request channel: the request is a
// WM_COPYDATA message sent to the upgrade window.
#define WIN32_LEAN_AND_MEAN
#define NOMINMAX
#define NOGDI
#include <windows.h>

#include <cwchar>
#include <string>

#include "request_channel.h"
#include "text_win.h"

namespace platform {

namespace {

constexpr wchar_t kWindowTitle[] = L"BrisvaneUpgrade";
constexpr wchar_t kUpgraderExecutable[] = L"BrisvaneUpgrade.exe";
constexpr UINT kReplyTimeoutMs = 30000;

std::string SystemErrorText(DWORD code) {
  wchar_t* text = nullptr;
  const DWORD length = FormatMessageW(
      FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM |
          FORMAT_MESSAGE_IGNORE_INSERTS,
      nullptr, code, 0, reinterpret_cast<wchar_t*>(&text), 0, nullptr);
  std::string result;
  if (length > 0 && text != nullptr) result = Narrow(std::wstring(text, length));
  if (text != nullptr) LocalFree(text);
  // The system text ends in CR LF; the caller wants one line.
  while (!result.empty() && (result.back() == '\n' || result.back() == '\r' ||
                             result.back() == ' ' || result.back() == '.')) {
    result.pop_back();
  }
  return result + " (error " + std::to_string(code) + ")";
}

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
  wchar_t title[sizeof kWindowTitle / sizeof kWindowTitle[0] + 1];
  const int length = InternalGetWindowText(window, title, sizeof title / sizeof title[0]);
  if (length != static_cast<int>(sizeof kWindowTitle / sizeof kWindowTitle[0]) - 1 ||
      wcscmp(title, kWindowTitle) != 0) {
    return TRUE;
  }
  search->titled = true;
  if (!OwnedByUpgrader(window)) return TRUE;
  search->found = window;
  return FALSE;
}

}  // namespace

bool TakeCopyDataPayload(void* nativeMessage, std::string* payload) {
  const MSG* msg = static_cast<const MSG*>(nativeMessage);
  if (msg == nullptr || msg->message != WM_COPYDATA) return false;
  // Always handled, even when malformed: passed on, the message would reach
  // the default handling and its sender would get no reply of ours. Without
  // data it is an empty request.
  const COPYDATASTRUCT* cds = reinterpret_cast<const COPYDATASTRUCT*>(msg->lParam);
  if (cds == nullptr || cds->cbData == 0 || cds->lpData == nullptr) {
    payload->clear();
    return true;
  }
  payload->assign(static_cast<const char*>(cds->lpData), cds->cbData);
  return true;
}

// Requests arrive as window messages; there is nothing to serve.
struct RequestServer::Impl {};

RequestServer::RequestServer(Handler, ErrorReporter) : impl_(new Impl) {}
RequestServer::~RequestServer() = default;
bool RequestServer::Start() { return true; }
void RequestServer::Stop() {}
void RequestServer::SetFrameTimeoutMs(int) {}

SendResult SendUpgradeRequest(const std::string& payload, std::int32_t* reply,
                              std::string* error) {
  std::string scratch;
  if (error == nullptr) error = &scratch;
  if (payload.size() > kMaxRequestBytes) {
    *error = "request of " + std::to_string(payload.size()) +
             " bytes exceeds the limit of " + std::to_string(kMaxRequestBytes);
    return SendResult::kFailed;
  }
  // Any program may title a window "BrisvaneUpgrade" (an Explorer window of
  // a folder of that name does): sent there, the request would be lost while
  // the sender reports success.
  WindowSearch search;
  EnumWindows(ConsiderWindow, reinterpret_cast<LPARAM>(&search));
  HWND window = search.found;
  if (window == nullptr) {
    *error = search.titled ? "no upgrader is listening: no window titled BrisvaneUpgrade "
                             "belongs to BrisvaneUpgrade.exe"
                           : "no upgrader is listening: no window titled BrisvaneUpgrade";
    return SendResult::kNoUpgrader;
  }
  COPYDATASTRUCT cds;
  cds.dwData = 0;
  cds.cbData = static_cast<DWORD>(payload.size());
  cds.lpData = payload.empty() ? nullptr : const_cast<char*>(payload.data());
  // SendMessageW would wait forever on a hung window and gives no way to tell
  // a refused message (an elevated window filters ours) from a reply of 0.
  DWORD_PTR result = 0;
  SetLastError(ERROR_SUCCESS);
  if (SendMessageTimeoutW(window, WM_COPYDATA, 0, reinterpret_cast<LPARAM>(&cds),
                          SMTO_NORMAL | SMTO_ABORTIFHUNG, kReplyTimeoutMs,
                          &result) == 0) {
    const DWORD code = GetLastError();
    if (code == ERROR_TIMEOUT || code == ERROR_SUCCESS) {
      *error = "no reply from the upgrade window within 30 s";
    } else {
      *error = "sending WM_COPYDATA to the upgrade window failed: " + SystemErrorText(code);
    }
    return SendResult::kFailed;
  }
  if (reply != nullptr) *reply = static_cast<std::int32_t>(result);
  error->clear();
  return SendResult::kReplied;
}

}  // namespace platform
