// Linux back end of the client library: one connection to the upgrader's
// Unix socket per request, carrying one length-prefixed frame and its reply.
#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstring>
#include <string>

#include "background_call.h"
#include "deadline.h"
#include "last_error.h"
#include "request_frame.h"
#include "request_protocol.h"
#include "runtime_dir.h"
#include "upgrade_client_backend.h"

namespace brisvane::backend {

namespace {

using platform::Deadline;
using Status = HandOverResult::Status;

// How often AwaitUpgraderGone looks again.
constexpr std::chrono::milliseconds kGonePollInterval{20};

// Owns one descriptor, closing it however the call ends.
class Socket {
 public:
  explicit Socket(int flags) : fd_(socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | flags, 0)) {}
  ~Socket() {
    if (fd_ >= 0) close(fd_);
  }
  Socket(const Socket&) = delete;
  Socket& operator=(const Socket&) = delete;
  int fd() const { return fd_; }

 private:
  int fd_;
};

// Where the upgrader listens; false with `*reason` filled when that cannot
// be named.
bool UpgraderAddress(std::string* path, sockaddr_un* addr, std::string* reason) {
  const std::string dir = platform::RuntimeDir();
  if (dir.empty()) {
    *reason = "no runtime folder: " + platform::ErrorWords(errno);
    return false;
  }
  *path = dir + "/" + platform::kSocketName;
  std::memset(addr, 0, sizeof *addr);
  addr->sun_family = AF_UNIX;
  if (path->size() >= sizeof addr->sun_path) {
    *reason = "socket path too long: " + *path;
    return false;
  }
  std::memcpy(addr->sun_path, path->data(), path->size());
  return true;
}

int ConnectTo(int fd, const sockaddr_un& addr) {
  int rc;
  do {
    rc = connect(fd, reinterpret_cast<const sockaddr*>(&addr), sizeof addr);
  } while (rc != 0 && errno == EINTR);
  return rc == 0 ? 0 : errno;
}

// The kernel keeps who listened at the name, whoever put the socket there:
// only an upgrader of this user's or root's is handed anything, not a
// listener someone moved in after setting the upgrader's socket aside.
bool ListenerMayTake(int fd, const std::string& path, std::string* reason) {
  ucred cred;
  socklen_t len = sizeof cred;
  if (getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &cred, &len) != 0) {
    *reason = "cannot tell who listens at " + path + ": " + platform::ErrorWords(errno);
    return false;
  }
  if (cred.uid == geteuid() || cred.uid == 0) return true;
  *reason = "the listener at " + path + " belongs to uid " + std::to_string(cred.uid) +
            ", not to this user or root: refused";
  return false;
}

bool NobodyListens(int err) { return err == ENOENT || err == ECONNREFUSED; }

// The listener went away under an exchange: an upgrader closing.
bool ChannelGone(int err) { return err == ECONNRESET || err == EPIPE; }

// A blocking connect waits while the listener's backlog is full: bounded by
// what is left of the call's time (never 0, which would mean no bound).
void BoundBlockingConnect(int fd, const Deadline& deadline) {
  const int left = deadline.MillisecondsLeft();
  if (left < 0) return;
  const int ms = left > 0 ? left : 1;
  timeval tv{ms / 1000, (ms % 1000) * 1000};
  setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
}

// Connects `fd` to the upgrader and makes it non-blocking. False, with
// `*result` filled, when that fails.
bool Connect(int fd, const sockaddr_un& addr, const std::string& path, const Limit& limit,
             HandOverResult* result) {
  BoundBlockingConnect(fd, limit.deadline);
  const int err = ConnectTo(fd, addr);
  if (err != 0) {
    result->status = NobodyListens(err) ? Status::kNoUpgrader : Status::kFailed;
    if (NobodyListens(err)) {
      result->reason = "no upgrader is listening on " + path;
    } else if (err == EAGAIN || err == EWOULDBLOCK) {
      result->reason = "the upgrader did not take the connection within " + limit.text;
    } else {
      result->reason = "connect to " + path + " failed: " + platform::ErrorWords(err);
    }
    return false;
  }
  if (fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK) != 0) {
    result->reason = "fcntl failed: " + platform::ErrorWords(errno);
    return false;
  }
  return true;
}

// Waits until `fd` is ready for `events`; on time-out or failure fills
// `*reason` (`late` says what did not happen in time) and returns false.
bool AwaitReady(int fd, short events, const Limit& limit, const char* late,
                std::string* reason) {
  for (;;) {
    pollfd p{fd, events, 0};
    const int r = poll(&p, 1, limit.deadline.MillisecondsLeft());
    if (r > 0) return true;
    if (r < 0 && errno == EINTR) continue;
    *reason = r == 0 ? late + limit.text : "poll failed: " + platform::ErrorWords(errno);
    return false;
  }
}

bool SendFrame(int fd, const std::string& frame, const Limit& limit, std::string* reason,
               bool* gone) {
  std::size_t sent = 0;
  while (sent < frame.size()) {
    const ssize_t n = send(fd, frame.data() + sent, frame.size() - sent, MSG_NOSIGNAL);
    if (n >= 0) {
      sent += static_cast<std::size_t>(n);
      continue;
    }
    if (errno == EINTR) continue;
    if (errno != EAGAIN && errno != EWOULDBLOCK) {
      *gone = ChannelGone(errno);
      *reason = "sending the request failed: " + platform::ErrorWords(errno);
      return false;
    }
    if (!AwaitReady(fd, POLLOUT, limit, "the upgrader did not take the request within ",
                    reason)) {
      return false;
    }
  }
  return true;
}

bool ReadReply(int fd, const Limit& limit, std::int32_t* reply, std::string* reason, bool* gone) {
  unsigned char answer[platform::kReplyBytes];
  std::size_t got = 0;
  while (got < sizeof answer) {
    const ssize_t n = recv(fd, answer + got, sizeof answer - got, 0);
    if (n > 0) {
      got += static_cast<std::size_t>(n);
      continue;
    }
    if (n == 0) {
      *gone = got == 0;
      *reason = "the upgrader closed the connection without a reply";
      return false;
    }
    if (errno == EINTR) continue;
    if (errno != EAGAIN && errno != EWOULDBLOCK) {
      *gone = got == 0 && ChannelGone(errno);
      *reason = "receiving the reply failed: " + platform::ErrorWords(errno);
      return false;
    }
    if (!AwaitReady(fd, POLLIN, limit, "no reply from the upgrader within ", reason)) {
      return false;
    }
  }
  *reply = static_cast<std::int32_t>(platform::GetBigEndian32(answer));
  return true;
}

}  // namespace

HandOverResult Send(const Request& request, const Limit& limit, bool* vanished) {
  bool gone = false;
  HandOverResult result;
  result.status = Status::kFailed;
  std::string path;
  sockaddr_un addr;
  if (!UpgraderAddress(&path, &addr, &result.reason)) return result;
  const Socket sock(0);
  if (sock.fd() < 0) {
    result.reason = "socket failed: " + platform::ErrorWords(errno);
    return result;
  }
  if (!Connect(sock.fd(), addr, path, limit, &result)) {
    if (vanished != nullptr) *vanished = result.status == Status::kNoUpgrader;
    return result;
  }
  if (!ListenerMayTake(sock.fd(), path, &result.reason)) return result;
  const std::string frame = request.withdraws ? platform::MakeWithdrawFrame()
                                              : platform::MakeFrame(request.url, request.requestId);
  if (!SendFrame(sock.fd(), frame, limit, &result.reason, &gone) ||
      !ReadReply(sock.fd(), limit, &result.reply, &result.reason, &gone)) {
    if (vanished != nullptr) *vanished = gone;
    return result;
  }
  result.status = Status::kReplied;
  return result;
}

bool UpgraderReady(std::string* reason) {
  std::string path;
  sockaddr_un addr;
  if (!UpgraderAddress(&path, &addr, reason)) return false;
  // Non-blocking: a full backlog answers at once (EAGAIN) instead of holding
  // the look up; it means someone listens.
  const Socket sock(SOCK_NONBLOCK);
  if (sock.fd() < 0) {
    *reason = "socket failed: " + platform::ErrorWords(errno);
    return false;
  }
  const int err = ConnectTo(sock.fd(), addr);
  // Whose listener it is, the hand-over checks and names: counted as not
  // ready here, it would have StartUpgrade start an upgrader that cannot
  // listen at the taken name, and report the wrong reason.
  if (err == 0 || err == EAGAIN) return true;
  *reason = NobodyListens(err) ? "no upgrader is listening on " + path
                               : "connect to " + path + " failed: " + platform::ErrorWords(err);
  return false;
}

bool AwaitUpgraderGone(const platform::Deadline& deadline) {
  // Its channel closes as it goes; what is left of it (the guard, the
  // process) the start looks at itself.
  std::string why;
  for (;;) {
    if (!UpgraderReady(&why)) return true;
    if (deadline.Expired()) return false;
    platform::SleepFor(kGonePollInterval);
  }
}

}  // namespace brisvane::backend
