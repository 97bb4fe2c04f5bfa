// Windows back end of the upgrade request channel: the request is a
// WM_COPYDATA message sent to the upgrade window.
#define WIN32_LEAN_AND_MEAN
#define NOMINMAX
#define NOGDI
#include <windows.h>

#include <string>

#include "platform.h"

namespace platform {

namespace {

constexpr wchar_t kWindowTitle[] = L"BrisvaneUpgrade";
constexpr UINT kReplyTimeoutMs = 30000;

std::string SystemErrorText(DWORD code) {
  wchar_t* text = nullptr;
  const DWORD length = FormatMessageW(
      FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM |
          FORMAT_MESSAGE_IGNORE_INSERTS,
      nullptr, code, 0, reinterpret_cast<wchar_t*>(&text), 0, nullptr);
  std::string result;
  if (length > 0 && text != nullptr) {
    const int size = WideCharToMultiByte(CP_UTF8, 0, text, static_cast<int>(length),
                                         nullptr, 0, nullptr, nullptr);
    if (size > 0) {
      result.resize(static_cast<std::size_t>(size));
      WideCharToMultiByte(CP_UTF8, 0, text, static_cast<int>(length), &result[0], size,
                          nullptr, nullptr);
    }
  }
  if (text != nullptr) LocalFree(text);
  // The system text ends in CR LF; the caller wants one line.
  while (!result.empty() && (result.back() == '\n' || result.back() == '\r' ||
                             result.back() == ' ' || result.back() == '.')) {
    result.pop_back();
  }
  return result + " (error " + std::to_string(code) + ")";
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
  HWND window = FindWindowW(nullptr, kWindowTitle);
  if (window == nullptr) {
    *error = "no upgrader is listening: no window titled BrisvaneUpgrade";
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
