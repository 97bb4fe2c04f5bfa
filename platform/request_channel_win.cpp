// Windows back end of the upgrader's request channel: the request is a
// WM_COPYDATA message sent to the upgrade window. The sending side is in
// client/upgrade_client_win.cpp. The system's message filter stays as it is:
// an elevated upgrader hears only elevated senders, so no other program of
// the session can choose what runs under the consent the user gave. A
// client without raised rights puts its request on the command line the
// consent prompt shows instead (BrisvaneUpgrade/command_line_request.h).
#define WIN32_LEAN_AND_MEAN
#define NOMINMAX
#define NOGDI
#include <windows.h>

#include <string>

#include "request_channel.h"

namespace brisvane::platform {

bool TakeCopyDataRequest(void* nativeMessage, Request* request) {
  const MSG* msg = static_cast<const MSG*>(nativeMessage);
  if (msg == nullptr || msg->message != WM_COPYDATA) return false;
  // Always handled, even when malformed: passed on, the message would reach
  // the default handling and its sender would get no reply of ours. Without
  // data it is an empty request.
  const COPYDATASTRUCT* cds = reinterpret_cast<const COPYDATASTRUCT*>(msg->lParam);
  request->requestId = cds == nullptr ? kNoRequestId : static_cast<std::uint64_t>(cds->dwData);
  if (cds == nullptr || cds->cbData == 0 || cds->lpData == nullptr) {
    request->payload.clear();
    return true;
  }
  request->payload.assign(static_cast<const char*>(cds->lpData), cds->cbData);
  return true;
}

bool IsWithdrawMessage(void* nativeMessage) {
  // Registered once; 0 (registration failed) would match WM_NULL, so it
  // matches nothing.
  static const UINT withdraw = RegisterWindowMessageW(kWithdrawMessageName);
  const MSG* msg = static_cast<const MSG*>(nativeMessage);
  return withdraw != 0 && msg != nullptr && msg->message == withdraw;
}

// Requests arrive as window messages; there is nothing to serve.
struct RequestServer::Impl {};

RequestServer::RequestServer(Handler, ErrorReporter) : impl_(new Impl) {}
RequestServer::~RequestServer() = default;
bool RequestServer::Start() { return true; }
void RequestServer::Stop() {}
void RequestServer::SetFrameTimeoutMs(int) {}

}  // namespace brisvane::platform
