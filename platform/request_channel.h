// The upgrader's side of the upgrade request: WM_COPYDATA on Windows, a Unix
// socket on Linux; request_channel_win.cpp / request_channel_posix.cpp,
// chosen by CMake. Clients send through the client library (client/). Every
// descriptor or handle opened here is close-on-exec / not inheritable.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <utility>

#include "request_protocol.h"

namespace brisvane::platform {

// One request as it arrived: the URL's bytes as sent, and the id the sender
// gave it (kNoRequestId when none).
struct Request {
  std::string payload;
  std::uint64_t requestId = kNoRequestId;
  // A withdrawal (no payload, no id): the sender asks a window that has
  // taken nothing to close.
  bool withdraws = false;
};

// Windows: if `nativeMessage` (a MSG*) is WM_COPYDATA, copies exactly cbData
// bytes of its payload (empty when it carries no data) and its dwData as the
// request id into `request` and returns true. Linux: always false.
bool TakeCopyDataRequest(void* nativeMessage, Request* request);

// Windows: true when `nativeMessage` (a MSG*) is the registered withdrawal
// message (kWithdrawMessageName). Linux: always false (the withdrawal comes
// as a frame).
bool IsWithdrawMessage(void* nativeMessage);

// Sends the reply to one request, from any thread, once: later calls do
// nothing. When the last copy goes unanswered (the request was dropped with
// the window), kReplyClosing is sent, so that no sender waits in vain.
class Responder {
 public:
  explicit Responder(std::function<void(std::int32_t)> deliver)
      : state_(std::make_shared<State>(std::move(deliver))) {}
  void operator()(std::int32_t reply) const { state_->Answer(reply); }

 private:
  struct State {
    explicit State(std::function<void(std::int32_t)> d) : deliver(std::move(d)) {}
    ~State() { Answer(kReplyClosing); }
    void Answer(std::int32_t reply) {
      if (!answered.exchange(true) && deliver) deliver(reply);
    }
    std::function<void(std::int32_t)> deliver;
    std::atomic<bool> answered{false};
  };
  std::shared_ptr<State> state_;
};

// Serves upgrade requests on Linux: the Unix socket "BrisvaneUpgrade" in
// RuntimeDir(), length-prefixed frames, peers of the same uid or root only.
// On Windows requests arrive as WM_COPYDATA and Start() does nothing.
class RequestServer {
 public:
  // Called on the server's own thread with each complete request; what is
  // given to `respond` (from any thread, within the frame time-out) is sent
  // back as the reply. Must not block for long.
  using Handler = std::function<void(Request request, Responder respond)>;
  // Called on the server's thread with a line to log (peer refused, ...).
  using ErrorReporter = std::function<void(const std::string& message)>;

  RequestServer(Handler handler, ErrorReporter reportError);
  ~RequestServer();  // stops and joins the thread, removes nothing else
  RequestServer(const RequestServer&) = delete;
  RequestServer& operator=(const RequestServer&) = delete;

  // Binds and starts serving; replaces a stale socket file. Call only while
  // holding the single-instance guard. Returns false (and reports) on failure.
  bool Start();
  // Stops serving and joins the thread; idempotent. Answers already given
  // are still sent; a request still awaiting its answer is told
  // kReplyClosing.
  void Stop();

  // Time a connection may take to deliver its whole frame (default 5000 ms).
  void SetFrameTimeoutMs(int ms);

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace brisvane::platform

namespace platform = brisvane::platform;
