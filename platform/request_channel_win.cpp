// Windows back end of the upgrader's request channel: the request is a
// WM_COPYDATA message sent to the upgrade window. The sending side is in
// client/upgrade_client_win.cpp.
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

bool AcceptRequestsFromUnelevated(void* nativeWindow) {
  // User Interface Privilege Isolation drops WM_COPYDATA sent from a process
  // of lower integrity to this elevated one unless the window lets it in;
  // the message alone is let in, for this window alone.
  return ChangeWindowMessageFilterEx(static_cast<HWND>(nativeWindow), WM_COPYDATA, MSGFLT_ALLOW,
                                     nullptr) != FALSE;
}

// Requests arrive as window messages; there is nothing to serve.
struct RequestServer::Impl {};

RequestServer::RequestServer(Handler, ErrorReporter) : impl_(new Impl) {}
RequestServer::~RequestServer() = default;
bool RequestServer::Start() { return true; }
void RequestServer::Stop() {}
void RequestServer::SetFrameTimeoutMs(int) {}

}  // namespace brisvane::platform
