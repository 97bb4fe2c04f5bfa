// Linux back end of the upgrader's request channel: a Unix stream socket in
// the runtime folder carrying length-prefixed frames, standing in for
// WM_COPYDATA. The sending side is in client/upgrade_client_posix.cpp.
#include "request_channel.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <sys/un.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <list>
#include <mutex>
#include <string>
#include <system_error>
#include <thread>
#include <utility>
#include <vector>

#include "deadline.h"
#include "last_error.h"
#include "request_frame.h"
#include "request_protocol.h"
#include "runtime_dir.h"

namespace brisvane::platform {

namespace {

using Clock = Deadline::Clock;

constexpr int kDefaultFrameTimeoutMs = 5000;
// Each connection lives at most one frame time-out, so this only bounds the
// descriptors a burst of same-user clients can pin at once.
constexpr std::size_t kMaxConnections = 64;
// Connections taken per round of the loop: those already taken get their
// turn to deliver before a burst of new ones could crowd them out.
constexpr int kAcceptsPerRound = 16;
// What peers can make the server log in a second; the rest is counted.
constexpr int kPeerReportsPerSecond = 10;
// After accept() runs out of descriptors the listener stays readable; back
// off instead of spinning on it.
constexpr int kAcceptBackoffMs = 100;
// A server still listening when Start() runs belongs to an upgrader that gave
// the single-instance guard up and is shutting down; wait this long for it to
// let the socket go, trying again at this interval.
constexpr int kTakeOverWaitMs = 3000;
constexpr int kTakeOverRetryMs = 100;

std::string Format(const char* format, ...) __attribute__((format(printf, 1, 2)));
std::string Format(const char* format, ...) {
  char buf[512];
  va_list args;
  va_start(args, format);
  std::vsnprintf(buf, sizeof buf, format, args);
  va_end(args);
  return buf;
}

// Fills `addr` with the socket path; false when it does not fit sun_path.
bool MakeAddress(const std::string& path, sockaddr_un* addr) {
  std::memset(addr, 0, sizeof *addr);
  addr->sun_family = AF_UNIX;
  if (path.size() >= sizeof addr->sun_path) return false;
  std::memcpy(addr->sun_path, path.data(), path.size());
  return true;
}

// True when a live server accepts connections at `addr`: its socket file is
// not stale, whatever the guard says.
bool SomeoneListens(const sockaddr_un& addr) {
  const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  if (fd < 0) return false;
  const bool live =
      connect(fd, reinterpret_cast<const sockaddr*>(&addr), sizeof addr) == 0 ||
      errno == EAGAIN;  // backlog full: alive, just busy
  close(fd);
  return live;
}

// Only the same user or root may deliver a request. Nothing wider: a root
// upgrader that took its login user's requests would run as root any file
// that user names.
bool PeerMayRequest(uid_t peerUid, uid_t ownEuid) {
  return peerUid == ownEuid || peerUid == 0;
}

// Creates the socket file with its final mode (owner only: only the same
// user or root may send). Changing the mode afterwards by name would follow
// whatever a user who owns the folder swapped in meanwhile. The umask is the
// process's: while it is set, files other threads create are only more
// private. Returns 0 or the error number.
int BindPrivate(int fd, const sockaddr_un& addr) {
  const mode_t previous = umask(0177);
  const int rc = bind(fd, reinterpret_cast<const sockaddr*>(&addr), sizeof addr);
  const int err = rc == 0 ? 0 : errno;
  umask(previous);
  return err;
}

// After a bind found `path` taken: clears the way for another try when a
// socket nobody listens on stands there (left behind by an upgrader that was
// killed: removed) or one whose server is on its way out (waited for a
// moment, until `giveUp`). False, with `err` set, when the name is not ours
// to take.
bool TakeOverStaleOrDeparting(const std::string& path, const sockaddr_un& addr,
                              const Deadline& giveUp, int* err) {
  struct stat st;
  if (lstat(path.c_str(), &st) != 0) {
    // Gone since the bind: its owner has just removed it.
    *err = errno;
    return *err == ENOENT;
  }
  // Only a socket is ever replaced: anything else at that name is not ours
  // to delete.
  if (!S_ISSOCK(st.st_mode)) return false;
  if (!SomeoneListens(addr)) {
    // We hold the single-instance guard, so no live server owns it.
    if (unlink(path.c_str()) == 0 || errno == ENOENT) return true;
    *err = errno;
    return false;
  }
  if (giveUp.Expired()) return false;
  // The previous upgrader, on its way out.
  std::this_thread::sleep_for(std::chrono::milliseconds(kTakeOverRetryMs));
  return true;
}

// Binds `fd` to `path`, taking the name over as TakeOverStaleOrDeparting
// allows. Returns 0 or the error number.
int BindTakingOver(int fd, const std::string& path, const sockaddr_un& addr) {
  const Deadline giveUp = Deadline::After(std::chrono::milliseconds(kTakeOverWaitMs));
  bool lastTry = false;
  for (;;) {
    int err = BindPrivate(fd, addr);
    if (err == 0) return 0;
    if (err != EADDRINUSE || !TakeOverStaleOrDeparting(path, addr, giveUp, &err)) return err;
    if (lastTry) return EADDRINUSE;
    // Past the deadline, only one more bind.
    lastTry = giveUp.Expired();
  }
}

// Bounds what peers can make the server log, so that nobody can fill the
// disk through it: at most kPeerReportsPerSecond lines in a second, then a
// count of what was left out once that second is over.
class PeerReportLimiter {
 public:
  // True when a line may be logged at `now`.
  bool Admit(Clock::time_point now) {
    if (now >= windowStart_ + kWindow) {
      windowStart_ = now;
      admitted_ = 0;
    }
    if (admitted_ < kPeerReportsPerSecond) {
      ++admitted_;
      return true;
    }
    ++leftOut_;
    return false;
  }
  // How many lines were left out in a second that is over by `now` (or in
  // any, when `final`); they are forgotten. 0 when there is nothing to tell.
  unsigned long long TakeLeftOut(Clock::time_point now, bool final) {
    if (leftOut_ == 0 || (!final && now < windowStart_ + kWindow)) return 0;
    const unsigned long long count = leftOut_;
    leftOut_ = 0;
    return count;
  }
  // When the count of lines left out is due; max() when none were.
  Clock::time_point SummaryDue() const {
    return leftOut_ > 0 ? windowStart_ + kWindow : Clock::time_point::max();
  }

 private:
  static constexpr std::chrono::seconds kWindow{1};
  Clock::time_point windowStart_;
  int admitted_ = 0;
  unsigned long long leftOut_ = 0;
};

}  // namespace

bool TakeCopyDataRequest(void* /*nativeMessage*/, Request* /*request*/) { return false; }

bool IsWithdrawMessage(void* /*nativeMessage*/) { return false; }

namespace {

// Replies given from other threads, waiting for the server thread: shared
// with every Responder, which may outlive the server.
class AnswerBox {
 public:
  AnswerBox() : fd_(eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {}
  ~AnswerBox() {
    if (fd_ >= 0) close(fd_);
  }
  AnswerBox(const AnswerBox&) = delete;
  AnswerBox& operator=(const AnswerBox&) = delete;
  int fd() const { return fd_; }

  void Put(std::uint64_t connection, std::int32_t reply) {
    {
      const std::lock_guard<std::mutex> lock(mutex_);
      answers_.emplace_back(connection, reply);
    }
    const std::uint64_t one = 1;
    while (write(fd_, &one, sizeof one) < 0 && errno == EINTR) {
    }
  }
  std::vector<std::pair<std::uint64_t, std::int32_t>> Take() {
    std::uint64_t count;
    while (read(fd_, &count, sizeof count) < 0 && errno == EINTR) {
    }
    const std::lock_guard<std::mutex> lock(mutex_);
    return std::move(answers_);
  }

 private:
  int fd_;
  std::mutex mutex_;
  std::vector<std::pair<std::uint64_t, std::int32_t>> answers_;
};

}  // namespace

// ---------------------------------------------------------------------------
// Server.

struct RequestServer::Impl {
  struct Connection {
    int fd = -1;
    Clock::time_point deadline;
    unsigned char header[kFrameHeaderBytes] = {};
    std::size_t headerBytes = 0;
    std::string body;
    std::size_t bodyBytes = 0;
    std::uint64_t serial = 0;
    bool awaiting = false;  // handed to the handler, its answer not yet here
    bool replying = false;
    unsigned char reply[kReplyBytes] = {};
    std::size_t replyBytes = 0;
  };

  Handler handler;
  ErrorReporter reportError;
  std::atomic<int> frameTimeoutMs{kDefaultFrameTimeoutMs};

  bool running = false;
  // Who may send requests besides root, fixed for one Start().
  uid_t ownEuid = 0;
  int listenFd = -1;
  int wakeFd = -1;
  std::string path;
  dev_t boundDev = 0;
  ino_t boundIno = 0;
  std::thread thread;
  std::shared_ptr<AnswerBox> answers;

  // Owned by the server thread while it runs.
  std::list<Connection> connections;
  std::uint64_t nextSerial = 0;
  Clock::time_point acceptPausedUntil;
  PeerReportLimiter peerReports;

  void Report(const std::string& message) {
    if (reportError) reportError(message);
  }
  // For what a peer caused: logged at a bounded rate.
  void ReportPeer(const std::string& message) {
    const Clock::time_point now = Clock::now();
    ReportLeftOut(now, false);
    if (peerReports.Admit(now)) Report(message);
  }
  void ReportLeftOut(Clock::time_point now, bool final) {
    const unsigned long long count = peerReports.TakeLeftOut(now, final);
    if (count > 0) {
      Report(Format("RequestServer left %llu more errors caused by peers out of the log", count));
    }
  }

  // Where reading a frame stands after one step.
  enum class ReadStep { kMore, kWait, kWhole, kClose };

  bool Bind();
  void Serve();
  // Fills the poll set of one round: the wake-up descriptor, the listener
  // (left out while accepting is paused) and the connections, which `owners`
  // maps to their entries. Returns when the round must end at the latest.
  Deadline PreparePoll(std::vector<pollfd>* fds,
                       std::vector<std::list<Connection>::iterator>* owners);
  void AcceptSome();
  // Takes a new connection; makes room by closing the oldest when full.
  void Add(int fd);
  // Each returns false when the connection is finished and must be closed.
  bool ServeConnection(Connection& c, short revents);
  bool ReadFrame(Connection& c);
  bool WriteReply(Connection& c);
  // Leaves awaiting for replying with `reply`, and sends what it can.
  bool BeginReply(Connection& c, std::int32_t reply);
  // Moves each answered connection on to its reply.
  void TakeAnswers();
  // At Stop: a request still awaiting its answer is told "closing" rather
  // than cut off, so that its sender knows what happened.
  void AnswerAwaitingAsClosing();
  // One receive towards the frame: kMore after some of its bytes.
  ReadStep ReceiveSome(Connection& c);
  // Counts `n` bytes just received into the header or the body.
  ReadStep Account(Connection& c, std::size_t n);
  void CloseAll();
};

bool RequestServer::Impl::Bind() {
  sockaddr_un addr;
  if (!MakeAddress(path, &addr)) {
    Report(Format("RequestServer::Start socket path too long: %s", path.c_str()));
    return false;
  }
  listenFd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  if (listenFd < 0) {
    Report("RequestServer::Start socket failed: " + ErrorWords(errno));
    return false;
  }
  const int err = BindTakingOver(listenFd, path, addr);
  if (err != 0) {
    Report(Format("RequestServer::Start bind %s failed: %s", path.c_str(),
                  ErrorWords(err).c_str()));
    return false;
  }
  struct stat st;
  if (lstat(path.c_str(), &st) != 0) {
    Report(Format("RequestServer::Start stat %s failed: %s", path.c_str(),
                  ErrorWords(errno).c_str()));
    return false;
  }
  boundDev = st.st_dev;
  boundIno = st.st_ino;
  if (listen(listenFd, SOMAXCONN) != 0) {
    Report(Format("RequestServer::Start listen on %s failed: %s", path.c_str(),
                  ErrorWords(errno).c_str()));
    unlink(path.c_str());
    return false;
  }
  return true;
}

void RequestServer::Impl::AcceptSome() {
  for (int taken = 0; taken < kAcceptsPerRound; ++taken) {
    int fd = accept4(listenFd, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
    if (fd < 0) {
      const int err = errno;
      if (err == EINTR || err == ECONNABORTED) continue;
      if (err == EAGAIN || err == EWOULDBLOCK) return;
      ReportPeer("RequestServer accept failed: " + ErrorWords(err));
      acceptPausedUntil = Clock::now() + std::chrono::milliseconds(kAcceptBackoffMs);
      return;
    }
    ucred cred;
    socklen_t len = sizeof cred;
    if (getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &cred, &len) != 0) {
      ReportPeer("RequestServer could not identify a peer: " + ErrorWords(errno));
      close(fd);
      continue;
    }
    if (!PeerMayRequest(cred.uid, ownEuid)) {
      ReportPeer(Format("RequestServer refused a request from uid %u",
                        static_cast<unsigned>(cred.uid)));
      close(fd);
      continue;
    }
    Add(fd);
  }
}

void RequestServer::Impl::Add(int fd) {
  if (connections.size() >= kMaxConnections) {
    // The oldest has had the most time to deliver; a sender writes its frame
    // right after connecting, so a crowd of idle connections cannot keep a
    // real request out.
    ReportPeer(Format("RequestServer closed a connection: %zu requests pending",
                      connections.size()));
    close(connections.front().fd);
    connections.pop_front();
  }
  Connection c;
  c.fd = fd;
  c.serial = ++nextSerial;
  c.deadline = Clock::now() + std::chrono::milliseconds(frameTimeoutMs.load());
  connections.push_back(std::move(c));
  // Its frame is usually here already: answer it in this round.
  if (!ReadFrame(connections.back())) {
    close(connections.back().fd);
    connections.pop_back();
  }
}

bool RequestServer::Impl::ReadFrame(Connection& c) {
  ReadStep step;
  while ((step = ReceiveSome(c)) == ReadStep::kMore) {
  }
  if (step != ReadStep::kWhole) return step == ReadStep::kWait;
  // The whole frame is here: the handler answers it, maybe later and from
  // another thread. Anything the peer sent after the frame is ignored.
  const FrameProgress progress = ReadFrameProgress(c.header, sizeof c.header + c.bodyBytes);
  FrameRequest request = SplitFrameBody(c.body, progress.hasRequestId);
  std::string().swap(c.body);
  Request taken{std::move(request.url), request.requestId};
  taken.withdraws = progress.withdraws;
  c.awaiting = true;
  const std::uint64_t serial = c.serial;
  std::weak_ptr<AnswerBox> box = answers;
  Responder respond([box, serial](std::int32_t reply) {
    if (auto live = box.lock()) live->Put(serial, reply);
  });
  if (handler) {
    handler(std::move(taken), std::move(respond));
  } else {
    respond(kReplyClosing);
  }
  return true;
}

void RequestServer::Impl::TakeAnswers() {
  for (const auto& [serial, reply] : answers->Take()) {
    for (auto it = connections.begin(); it != connections.end(); ++it) {
      if (it->serial != serial || !it->awaiting) continue;
      if (!BeginReply(*it, reply)) {
        close(it->fd);
        connections.erase(it);
      }
      break;
    }
  }
}

void RequestServer::Impl::AnswerAwaitingAsClosing() {
  for (Connection& c : connections) {
    // Four bytes into an unused socket buffer: one try is enough.
    if (c.awaiting) BeginReply(c, kReplyClosing);
  }
}

bool RequestServer::Impl::BeginReply(Connection& c, std::int32_t reply) {
  c.awaiting = false;
  c.replying = true;
  PutBigEndian32(static_cast<std::uint32_t>(reply), c.reply);
  return WriteReply(c);
}

RequestServer::Impl::ReadStep RequestServer::Impl::ReceiveSome(Connection& c) {
  unsigned char* dst;
  std::size_t want;
  if (c.headerBytes < sizeof c.header) {
    dst = c.header + c.headerBytes;
    want = sizeof c.header - c.headerBytes;
  } else {
    dst = reinterpret_cast<unsigned char*>(&c.body[0]) + c.bodyBytes;
    want = c.body.size() - c.bodyBytes;
  }
  if (want == 0) return ReadStep::kWhole;
  const ssize_t n = recv(c.fd, dst, want, 0);
  if (n < 0) {
    if (errno == EINTR) return ReadStep::kMore;
    if (errno == EAGAIN || errno == EWOULDBLOCK) return ReadStep::kWait;
    ReportPeer("RequestServer closed a connection: receive failed: " + ErrorWords(errno));
    return ReadStep::kClose;
  }
  if (n == 0) {
    // A peer that sent nothing made no request: a new upgrader checking
    // whether this one still listens.
    if (c.headerBytes > 0) {
      ReportPeer("RequestServer closed a connection: the peer left before a complete request");
    }
    return ReadStep::kClose;
  }
  return Account(c, static_cast<std::size_t>(n));
}

RequestServer::Impl::ReadStep RequestServer::Impl::Account(Connection& c, std::size_t n) {
  const bool headerWhole = c.headerBytes == sizeof c.header;
  (headerWhole ? c.bodyBytes : c.headerBytes) += n;
  const FrameProgress progress = ReadFrameProgress(c.header, c.headerBytes + c.bodyBytes);
  if (progress.step == FrameProgress::Step::kTooLong) {
    ReportPeer(Format("RequestServer closed a connection: request of %u bytes exceeds the limit of %u",
                      static_cast<unsigned>(progress.length),
                      static_cast<unsigned>(kMaxRequestBytes)));
    return ReadStep::kClose;
  }
  if (progress.step == FrameProgress::Step::kMalformed) {
    if ((GetBigEndian32(c.header) & kFrameWithdraws) != 0) {
      ReportPeer("RequestServer closed a connection: a withdrawal carrying more than its flag");
    } else {
      ReportPeer(Format("RequestServer closed a connection: a request id announced in %u bytes",
                        static_cast<unsigned>(progress.length)));
    }
    return ReadStep::kClose;
  }
  // The body's room is made once, when the header has just come in.
  if (!headerWhole && c.headerBytes == sizeof c.header) c.body.resize(progress.length);
  return progress.step == FrameProgress::Step::kWhole ? ReadStep::kWhole : ReadStep::kMore;
}

bool RequestServer::Impl::WriteReply(Connection& c) {
  while (c.replyBytes < sizeof c.reply) {
    const ssize_t n = send(c.fd, c.reply + c.replyBytes, sizeof c.reply - c.replyBytes,
                           MSG_NOSIGNAL);
    if (n < 0) {
      if (errno == EINTR) continue;
      if (errno == EAGAIN || errno == EWOULDBLOCK) return true;
      ReportPeer("RequestServer could not send a reply: " + ErrorWords(errno));
      return false;
    }
    c.replyBytes += static_cast<std::size_t>(n);
  }
  return false;  // replied: done with this connection
}

void RequestServer::Impl::Serve() {
  std::vector<pollfd> fds;
  std::vector<std::list<Connection>::iterator> owners;
  for (;;) {
    const Deadline roundEnd = PreparePoll(&fds, &owners);
    const int ready = poll(fds.data(), fds.size(), roundEnd.MillisecondsLeft());
    if (ready < 0) {
      if (errno == EINTR) continue;
      Report("RequestServer poll failed: " + ErrorWords(errno));
      return;  // Stop() still closes everything
    }
    if (fds[0].revents != 0) {
      // Stop(): answers given before it still reach their senders (the
      // request that ended the run, say).
      TakeAnswers();
      AnswerAwaitingAsClosing();
      return;
    }
    ReportLeftOut(Clock::now(), false);

    for (std::size_t i = 0; i < owners.size(); ++i) {
      if (!ServeConnection(*owners[i], fds[i + 3].revents)) {
        close(owners[i]->fd);
        connections.erase(owners[i]);
      }
    }
    if (fds[2].revents & POLLIN) TakeAnswers();
    if (fds[1].revents & POLLIN) AcceptSome();
  }
}

Deadline RequestServer::Impl::PreparePoll(std::vector<pollfd>* fds,
                                          std::vector<std::list<Connection>::iterator>* owners) {
  const Clock::time_point now = Clock::now();
  fds->clear();
  owners->clear();
  fds->push_back({wakeFd, POLLIN, 0});
  const bool acceptPaused = now < acceptPausedUntil;
  fds->push_back({acceptPaused ? -1 : listenFd, POLLIN, 0});
  fds->push_back({answers->fd(), POLLIN, 0});
  Clock::time_point wakeAt = Clock::time_point::max();
  if (acceptPaused) wakeAt = acceptPausedUntil;
  if (peerReports.SummaryDue() < wakeAt) wakeAt = peerReports.SummaryDue();
  for (auto it = connections.begin(); it != connections.end(); ++it) {
    // While its answer is awaited, only a hang-up is of interest.
    const short events = it->awaiting ? 0 : it->replying ? POLLOUT : POLLIN;
    fds->push_back({it->fd, events, 0});
    owners->push_back(it);
    if (it->deadline < wakeAt) wakeAt = it->deadline;
  }
  return Deadline(wakeAt);
}

bool RequestServer::Impl::ServeConnection(Connection& c, short revents) {
  bool keep = true;
  if (revents & POLLNVAL) {
    keep = false;
  } else if (c.replying && (revents & (POLLOUT | POLLERR | POLLHUP))) {
    keep = WriteReply(c);
  } else if (c.awaiting) {
    // The sender gave up waiting; its answer, when it comes, finds no one.
    keep = (revents & (POLLERR | POLLHUP)) == 0;
  } else if (!c.replying && (revents & (POLLIN | POLLERR | POLLHUP))) {
    keep = ReadFrame(c);
  }
  if (keep && Clock::now() >= c.deadline) {
    ReportPeer(Format(c.replying   ? "RequestServer closed a connection: the reply was not taken within %d ms"
                      : c.awaiting ? "RequestServer closed a connection: no answer to give within %d ms"
                                   : "RequestServer closed a connection: no complete request within %d ms",
                      frameTimeoutMs.load()));
    keep = false;
  }
  return keep;
}

void RequestServer::Impl::CloseAll() {
  for (Connection& c : connections) close(c.fd);
  connections.clear();
  if (listenFd >= 0) close(listenFd);
  if (wakeFd >= 0) close(wakeFd);
  listenFd = -1;
  wakeFd = -1;
  // Answers still to come find no box and go nowhere.
  answers.reset();
}

RequestServer::RequestServer(Handler handler, ErrorReporter reportError)
    : impl_(new Impl) {
  impl_->handler = std::move(handler);
  impl_->reportError = std::move(reportError);
}

RequestServer::~RequestServer() { Stop(); }

void RequestServer::SetFrameTimeoutMs(int ms) {
  impl_->frameTimeoutMs.store(ms > 0 ? ms : 1);
}

bool RequestServer::Start() {
  Impl& d = *impl_;
  if (d.running) return true;
  const std::string dir = RuntimeDir();
  if (dir.empty()) {
    d.Report("RequestServer::Start no runtime folder: " + ErrorWords(errno));
    return false;
  }
  d.path = dir + "/" + kSocketName;
  d.ownEuid = geteuid();
  if (!d.Bind()) {
    d.CloseAll();
    return false;
  }
  d.wakeFd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  d.answers = std::make_shared<AnswerBox>();
  if (d.wakeFd < 0 || d.answers->fd() < 0) {
    d.Report("RequestServer::Start eventfd failed: " + ErrorWords(errno));
    unlink(d.path.c_str());
    d.CloseAll();
    return false;
  }
  d.acceptPausedUntil = Clock::time_point();
  d.peerReports = PeerReportLimiter();
  try {
    d.thread = std::thread([&d] { d.Serve(); });
  } catch (const std::system_error& error) {
    d.Report(std::string("RequestServer::Start could not start its thread: ") + error.what());
    unlink(d.path.c_str());
    d.CloseAll();
    return false;
  }
  d.running = true;
  return true;
}

void RequestServer::Stop() {
  Impl& d = *impl_;
  if (!d.running) return;
  const std::uint64_t one = 1;
  while (write(d.wakeFd, &one, sizeof one) < 0 && errno == EINTR) {
  }
  d.thread.join();
  d.ReportLeftOut(Clock::now(), true);
  // The name goes while we still listen: a new server that finds it taken
  // waits for us rather than replacing it, so this cannot remove its socket.
  // A file that is no longer ours (replaced by hand) is left alone.
  struct stat st;
  if (lstat(d.path.c_str(), &st) == 0 && st.st_dev == d.boundDev &&
      st.st_ino == d.boundIno) {
    unlink(d.path.c_str());
  }
  d.CloseAll();
  d.running = false;
}

}  // namespace brisvane::platform
