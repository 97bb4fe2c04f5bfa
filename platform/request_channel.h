// The upgrader's side of the upgrade request: WM_COPYDATA on Windows, a Unix
// socket on Linux; request_channel_win.cpp / request_channel_posix.cpp,
// chosen by CMake. Clients send through the client library (client/). Every
// descriptor or handle opened here is close-on-exec / not inheritable.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "request_protocol.h"

namespace brisvane::platform {

// Windows: if `nativeMessage` (a MSG*) is WM_COPYDATA, copies exactly cbData
// bytes of its payload into `payload` (empty when it carries no data) and
// returns true. Linux: always false.
bool TakeCopyDataPayload(void* nativeMessage, std::string* payload);

// Serves upgrade requests on Linux: the Unix socket "BrisvaneUpgrade" in
// RuntimeDir(), length-prefixed frames, peers of the same uid or root only.
// On Windows requests arrive as WM_COPYDATA and Start() does nothing.
class RequestServer {
 public:
  // Called on the server's own thread with each complete payload; its result
  // is sent back as the reply. Must not block for long.
  using Handler = std::function<std::int32_t(const std::string& payload)>;
  // Called on the server's thread with a line to log (peer refused, ...).
  using ErrorReporter = std::function<void(const std::string& message)>;

  RequestServer(Handler handler, ErrorReporter reportError);
  ~RequestServer();  // stops and joins the thread, removes nothing else
  RequestServer(const RequestServer&) = delete;
  RequestServer& operator=(const RequestServer&) = delete;

  // Binds and starts serving; replaces a stale socket file. Call only while
  // holding the single-instance guard. Returns false (and reports) on failure.
  bool Start();
  // Stops serving and joins the thread; idempotent.
  void Stop();

  // Time a connection may take to deliver its whole frame (default 5000 ms).
  void SetFrameTimeoutMs(int ms);

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace brisvane::platform

namespace platform = brisvane::platform;
